// The widget that shows FastPicture1 inside the scroll box. The engine is a model; this
// widget paints what it holds at the size the main window gives it.
//
// Painting stays cheap on large pictures: the view keeps a display-ready copy of the
// picture (opaque RGB32 for bitmaps and JPEG pictures, premultiplied ARGB for pictures with
// transparency) and rebuilds it only when the engine announces a change (PictureChanged),
// never per paint. A 24-bit picture is not copied at once: right after a change it is
// painted straight from its rows (which shows the same pixels), and the copy is made once
// the picture has stayed unchanged for a moment, so that opening a picture and moving a
// slider do not wait for a pass over the whole picture. Metafiles are played once at the
// view's size and the result is kept until the picture or the size changes. An animated GIF
// picture plays through its painter.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QImage>
#include <QWidget>

class QTimer;
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
    // Runs work once, soon after the next paint that draws a picture, when the frame is on
    // the screen.
    void AfterNextPaint(std::function<void()> work);

    // How many times a display copy was rebuilt (for benchmarks and tests).
    int RebuildCount() const { return rebuilds_; }
    // Whether the display copy of the picture in view is up to date (tests).
    bool DisplayCopyReady() const { return naturalValid_; }

    // How long a 24-bit picture must stay unchanged before its display copy is made; until
    // then it is painted from its own rows.
    static constexpr int kDisplayCopyDelayMs = 300;

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
    QTimer* copyTimer_;
    std::vector<std::function<void()>> afterPaint_;
    int rebuilds_ = 0;
};
