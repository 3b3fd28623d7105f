// TDropTarget: the base of the drop targets. Controls are registered as drop sites; while
// a drag passes over one the target proposes an effect from the keys held
// (ChooseDropEffect), scrolls the control when the cursor rests in its border zone, and on
// a drop fetches the data (FetchData of the class) and raises OnDrop.
//
// Registration puts a TWinControlProxy on the control: an event filter that forwards the
// control's drag events here and makes the control accept drops. For a scroll area the
// drops land on its viewport, whose coordinates are the control's client coordinates.
#pragma once

#include <functional>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "dragdrop/DropFormats.h"

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;

namespace dragdrop {

class TDropTarget;

class TWinControlProxy : public QObject {
    Q_OBJECT
public:
    TWinControlProxy(TDropTarget& target, QWidget& control);
    ~TWinControlProxy() override;
    QWidget* Control() const { return control_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TDropTarget& target_;
    QPointer<QWidget> control_;
    QPointer<QWidget> receiver_; // the widget the drag events arrive on
};

class TDropTarget : public QObject {
    Q_OBJECT
public:
    using TDropTargetEvent =
        std::function<void(TDropTarget* Sender, KeyState Shift, QPoint Point, uint32_t& Effect)>;

    explicit TDropTarget(QObject* owner = nullptr);
    ~TDropTarget() override;

    TDragTypes Dragtypes = kEffectCopy;
    bool GetDataOnEnter = false;
    TDropTargetEvent OnEnter;
    TDropTargetEvent OnDragOver;
    TDropTargetEvent OnDrop;
    TDropTargetEvent OnGetDropEffect;
    std::function<void(TDropTarget* Sender)> OnLeave;
    // Raised with the message when reading the dropped data failed (OnDrop is not raised).
    std::function<void(TDropTarget* Sender, const QString& Message)> OnError;

    // The drag image is drawn by the dragging program here; the flag is kept for callers.
    bool ShowImage() const { return showImage_; }
    void SetShowImage(bool show) { showImage_ = show; }

    void Register(QWidget* control);
    // nullptr unregisters every drop site, last first.
    void Unregister(QWidget* control = nullptr);
    bool IsRegistered(const QWidget* control) const;

    // ----- drop-target side (called with the control's drag events) -----
    void DragEnter(QWidget* control, const QMimeData* data, KeyState keys, QPoint point,
                   uint32_t& effect);
    void DragOver(KeyState keys, QPoint point, uint32_t& effect);
    void DragLeave();
    void Drop(const QMimeData* data, KeyState keys, QPoint point, uint32_t& effect);

    // The effect for the keys, point and offered effects, with the scroll flag in the
    // border zone (unless OnGetDropEffect decides).
    virtual uint32_t ChooseDropEffect(KeyState keys, QPoint point, uint32_t offered);

    // ----- state, for the window and tests -----
    const QMimeData* DataObject() const { return data_; }
    QWidget* CurrentControl() const { return current_; }
    int ScrollDirections() const { return directions_; }
    int ScrollMargin() const { return margin_; }
    bool Scrolling() const { return timer_.isActive(); }
    QPoint LastPoint() const { return lastPoint_; }
    // One step of the auto-scroll timer.
    void AutoScroll();

protected:
    virtual void DoEnter(KeyState keys, QPoint point, uint32_t& effect);
    virtual void DoDragOver(KeyState keys, QPoint point, uint32_t& effect);
    virtual void DoDrop(KeyState keys, QPoint point, uint32_t& effect);
    virtual void DoLeave();
    // Reads the data of the drag; true when a picture arrived. May throw the reader's error.
    virtual bool FetchData() = 0;
    virtual void ClearData() = 0;
    virtual bool HasValidFormats() = 0;

private:
    std::vector<QPointer<QWidget>> sites_;
    std::vector<QPointer<TWinControlProxy>> proxies_;
    const QMimeData* data_ = nullptr;
    QPointer<QWidget> current_;
    QTimer timer_;
    int margin_ = 0;
    int directions_ = 0;
    QPoint lastPoint_;
    uint32_t offered_ = 0;
    bool showImage_ = true;
};

} // namespace dragdrop
