#include "dragdrop/DropTarget.h"

#include <cstdlib>

#include <QAbstractScrollArea>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QScrollBar>

#include "platform/Exceptions.h"

namespace dragdrop {

namespace {

KeyState keysOf(Qt::KeyboardModifiers m) {
    return {m.testFlag(Qt::ShiftModifier), m.testFlag(Qt::ControlModifier)};
}

uint32_t offeredOf(Qt::DropActions a) {
    uint32_t e = 0;
    if (a & Qt::CopyAction) e |= kEffectCopy;
    if (a & Qt::MoveAction) e |= kEffectMove;
    if (a & Qt::LinkAction) e |= kEffectLink;
    return e;
}

// Tells the dragging program the effect: accepted with that action, or refused.
void answer(QDropEvent* event, uint32_t effect) {
    const uint32_t e = effect & kAllDragTypes;
    if (e & kEffectCopy)
        event->setDropAction(Qt::CopyAction);
    else if (e & kEffectMove)
        event->setDropAction(Qt::MoveAction);
    else if (e & kEffectLink)
        event->setDropAction(Qt::LinkAction);
    if (e)
        event->accept();
    else
        event->ignore();
}

QWidget* receiverOf(QWidget& control) {
    if (auto* area = qobject_cast<QAbstractScrollArea*>(&control)) return area->viewport();
    return &control;
}

} // namespace

// ======================================================================================
// Proxy
// ======================================================================================

TWinControlProxy::TWinControlProxy(TDropTarget& target, QWidget& control)
    : QObject(&target), target_(target), control_(&control), receiver_(receiverOf(control)) {
    receiver_->setAcceptDrops(true);
    receiver_->installEventFilter(this);
}

TWinControlProxy::~TWinControlProxy() {
    if (receiver_) {
        receiver_->removeEventFilter(this);
        receiver_->setAcceptDrops(false);
    }
}

bool TWinControlProxy::eventFilter(QObject* watched, QEvent* event) {
    if (watched != receiver_ || !control_) return false;
    switch (event->type()) {
    case QEvent::DragEnter: {
        auto* e = static_cast<QDragEnterEvent*>(event);
        uint32_t effect = offeredOf(e->possibleActions());
        target_.DragEnter(control_, e->mimeData(), keysOf(e->modifiers()), e->position().toPoint(),
                          effect);
        answer(e, effect);
        return true;
    }
    case QEvent::DragMove: {
        auto* e = static_cast<QDragMoveEvent*>(event);
        uint32_t effect = offeredOf(e->possibleActions());
        target_.DragOver(keysOf(e->modifiers()), e->position().toPoint(), effect);
        answer(e, effect);
        return true;
    }
    case QEvent::DragLeave:
        target_.DragLeave();
        return true;
    case QEvent::Drop: {
        auto* e = static_cast<QDropEvent*>(event);
        uint32_t effect = offeredOf(e->possibleActions());
        target_.Drop(e->mimeData(), keysOf(e->modifiers()), e->position().toPoint(), effect);
        answer(e, effect);
        return true;
    }
    default:
        return false;
    }
}

// ======================================================================================
// Target
// ======================================================================================

TDropTarget::TDropTarget(QObject* owner) : QObject(owner) {
    timer_.setInterval(100);
    connect(&timer_, &QTimer::timeout, this, [this] { AutoScroll(); });
}

TDropTarget::~TDropTarget() {
    Unregister();
}

bool TDropTarget::IsRegistered(const QWidget* control) const {
    for (const auto& s : sites_)
        if (s == control) return true;
    return false;
}

void TDropTarget::Register(QWidget* control) {
    if (!control) throw Exception("Failed to Register ");
    if (IsRegistered(control)) return;
    sites_.emplace_back(control);
    proxies_.emplace_back(new TWinControlProxy(*this, *control));
}

void TDropTarget::Unregister(QWidget* control) {
    if (!control) {
        while (!sites_.empty()) {
            QWidget* last = sites_.back();
            if (last) {
                Unregister(last);
            } else {
                sites_.pop_back();
                delete proxies_.back().data();
                proxies_.pop_back();
            }
        }
        return;
    }
    for (size_t i = 0; i < sites_.size(); ++i) {
        if (sites_[i] != control) continue;
        sites_.erase(sites_.begin() + static_cast<ptrdiff_t>(i));
        delete proxies_[i].data();
        proxies_.erase(proxies_.begin() + static_cast<ptrdiff_t>(i));
        if (current_ == control) {
            timer_.stop();
            current_ = nullptr;
            data_ = nullptr;
        }
        return;
    }
}

void TDropTarget::DoEnter(KeyState keys, QPoint point, uint32_t& effect) {
    if (OnEnter) OnEnter(this, keys, point, effect);
}

void TDropTarget::DoDragOver(KeyState keys, QPoint point, uint32_t& effect) {
    if (OnDragOver) OnDragOver(this, keys, point, effect);
}

void TDropTarget::DoDrop(KeyState keys, QPoint point, uint32_t& effect) {
    if (OnDrop) OnDrop(this, keys, point, effect);
}

void TDropTarget::DoLeave() {
    if (OnLeave) OnLeave(this);
}

uint32_t TDropTarget::ChooseDropEffect(KeyState keys, QPoint point, uint32_t offered) {
    if (OnGetDropEffect) {
        uint32_t effect = offered & Dragtypes;
        OnGetDropEffect(this, keys, point, effect);
        return effect;
    }
    uint32_t effect = chooseEffect(keys, offered, Dragtypes);
    QWidget* client = current_ ? receiverOf(*current_) : nullptr;
    if (directions_ && client && inScrollZone(point, client->size(), margin_, directions_))
        effect |= kEffectScroll;
    return effect;
}

void TDropTarget::DragEnter(QWidget* control, const QMimeData* data, KeyState keys, QPoint point,
                            uint32_t& effect) {
    ClearData();
    data_ = data;
    current_ = control;
    offered_ = effect;
    if (!control || !IsRegistered(control)) {
        data_ = nullptr;
        current_ = nullptr;
        effect = kEffectNone;
        return;
    }
    lastPoint_ = point;
    if (!data_ || !HasValidFormats()) {
        data_ = nullptr;
        effect = kEffectNone;
        return;
    }
    directions_ = 0;
    margin_ = std::abs(QFontMetrics(control->font()).height());
    if (auto* area = qobject_cast<QAbstractScrollArea*>(control)) {
        if (area->horizontalScrollBar()->isVisible()) directions_ |= kScrollHorizontal;
        if (area->verticalScrollBar()->isVisible()) directions_ |= kScrollVertical;
    }
    if (GetDataOnEnter) {
        try {
            FetchData();
        } catch (const std::exception&) {
            // Read again on the drop, which reports the error.
            ClearData();
        }
    }
    effect = ChooseDropEffect(keys, point, offered_);
    DoEnter(keys, point, effect);
}

void TDropTarget::DragOver(KeyState keys, QPoint point, uint32_t& effect) {
    offered_ = effect;
    lastPoint_ = point;
    if (!data_) {
        effect = kEffectNone;
        timer_.stop();
        return;
    }
    effect = ChooseDropEffect(keys, point, offered_);
    DoDragOver(keys, point, effect);
    if (directions_ && (effect & kEffectScroll)) {
        if (!timer_.isActive()) timer_.start();
    } else {
        timer_.stop();
    }
}

void TDropTarget::DragLeave() {
    ClearData();
    timer_.stop();
    data_ = nullptr;
    DoLeave();
    current_ = nullptr;
}

void TDropTarget::Drop(const QMimeData* data, KeyState keys, QPoint point, uint32_t& effect) {
    if (!data_) {
        effect = kEffectNone;
        return;
    }
    // The data of the drop is the data of the drag.
    if (data) data_ = data;
    timer_.stop();
    lastPoint_ = point;
    effect = ChooseDropEffect(keys, point, effect);
    bool fetched = false;
    QString error;
    try {
        fetched = FetchData();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    if (fetched && (effect & kAllDragTypes)) {
        DoDrop(keys, point, effect);
    } else {
        effect = kEffectNone;
    }
    ClearData();
    data_ = nullptr;
    current_ = nullptr;
    if (!error.isEmpty() && OnError) OnError(this, error);
}

void TDropTarget::AutoScroll() {
    auto* area = qobject_cast<QAbstractScrollArea*>(current_.data());
    if (!area) return;
    QWidget* client = area->viewport();
    if (lastPoint_.y() < margin_)
        area->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (lastPoint_.y() > client->height() - margin_)
        area->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    if (lastPoint_.x() < margin_)
        area->horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (lastPoint_.x() > client->width() - margin_)
        area->horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
}

} // namespace dragdrop
