// The widget that shows FastPicture1 inside the scroll box. The engine is a model; this
// widget paints what it holds at the size the main window gives it.
//
// Painting stays cheap on large pictures: the view keeps a display-ready copy of the
// picture (opaque RGB32 for bitmaps, premultiplied ARGB for pictures with transparency)
// and rebuilds it only when the engine announces a change (PictureChanged), never per
// paint. Metafiles are played once at the view's size and the result is kept until the
// picture or the size changes. An animated GIF picture plays through its painter.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QImage>
#include <QWidget>

class TFastPicture;
class TGIFImage;
class TGIFPainter;

class TPictureView : public QWidget {
    Q_OBJECT
public:
    TPictureView(TFastPicture& picture, QWidget* parent);
    ~TPictureView() override;

    // The held picture changed: drop the display copies and repaint.
    void PictureChanged();
    // Some pixels of the held bitmap changed in place (the trimming frame): the display
    // copy is brought up to date in those areas only, and they are repainted.
    void PixelsChanged(const std::vector<QRect>& pictureAreas);
    // Brings the widget's size to the engine's display size.
    void SyncSize();

    // Whether a GIF animation is playing in the view.
    bool Animating() const;

    // Mouse handlers of the main window: button (for presses), buttons held, modifiers
    // and the position in view coordinates.
    std::function<void(Qt::MouseButton, Qt::KeyboardModifiers, int, int)> OnMouseDown;
    std::function<void(Qt::MouseButtons, Qt::KeyboardModifiers, int, int)> OnMouseMove;

    // Called after every paint that drew a picture.
    std::function<void()> OnPainted;

    // How many times a display copy was rebuilt (for benchmarks and tests).
    int RebuildCount() const { return rebuilds_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QRect TargetRect() const;
    const QImage& NaturalCopy();
    const QImage& ScaledMetafile(const QSize& size);
    void StopAnimation();
    void StartAnimation();

    TFastPicture& picture_;
    QImage natural_;
    bool naturalValid_ = false;
    QImage scaled_;
    bool scaledValid_ = false;
    // A playing GIF animation runs on the view's own copy of the picture, so that the
    // painter never outlives the image it reads, whatever happens to the held picture.
    std::unique_ptr<TGIFImage> animImage_;
    std::unique_ptr<TGIFPainter> animPainter_;
    int rebuilds_ = 0;
};
