// The widget that shows FastPicture1 inside the scroll box. The engine is a model; this
// widget paints what it holds at the size the main window gives it.
//
// Painting stays cheap on large pictures: the view keeps a display-ready copy of the
// picture (opaque RGB32 for bitmaps, premultiplied ARGB for pictures with transparency)
// and rebuilds it only when the engine announces a change (PictureChanged), never per
// paint. Metafiles are played once at the view's size and the result is kept until the
// picture or the size changes.
#pragma once

#include <functional>

#include <QImage>
#include <QWidget>

class TFastPicture;

class TPictureView : public QWidget {
    Q_OBJECT
public:
    TPictureView(TFastPicture& picture, QWidget* parent);

    // The held picture changed: drop the display copies and repaint.
    void PictureChanged();
    // Brings the widget's size to the engine's display size.
    void SyncSize();

    // An image shown in place of the held picture (a running GIF animation's current
    // frame); a null image returns to the held picture.
    void SetOverlay(const QImage& frame);

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

    TFastPicture& picture_;
    QImage natural_;
    bool naturalValid_ = false;
    QImage scaled_;
    bool scaledValid_ = false;
    QImage overlay_;
    int rebuilds_ = 0;
};
