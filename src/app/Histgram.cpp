#include "app/Histgram.h"

#include <algorithm>

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QTimer>

#include "app/Frame.h"
#include "app/PictureView.h"
#include "app/WindowBounds.h"
#include "document/Document.h"
#include "platform/Graphic.h"
#include "platform/Metafile.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

THistgramForm::THistgramForm(QWidget* parent, THistgramHost& host)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), host_(host) {
    setWindowTitle(QStringLiteral("Histgram"));
    if (parent) setFont(parent->font());
    resize(294 - 8, 209 - 27);
    move(491, 355);
}

THistgramForm::~THistgramForm() = default;

void THistgramForm::SetImage(std::unique_ptr<Graphic> picture) {
    image_ = std::move(picture);
    update();
}

namespace {
constexpr BoundsKeys kHistgramBounds{SettingsKeys::HLeft, SettingsKeys::HTop,
                                     SettingsKeys::HClientWidth, SettingsKeys::HClientHeight,
                                     SettingsKeys::HWindowState};
} // namespace

void THistgramForm::FormShow() {
    // A missing or malformed key takes its first-run value; the messages are raised once
    // the window stands where the other keys put it.
    std::vector<std::string> messages;
    const WindowBounds bounds =
        ReadWindowBounds(host_.HistgramSettings(), kHistgramBounds, messages);
    PlaceWindow(*this, bounds);
    resize(std::max(bounds.width, 1), std::max(bounds.height, 1));
    show();
    ApplyWindowState(*this, bounds.state);
    DrawHistogram();
    host_.HistgramShown(true);
    if (!messages.empty()) throw Exception(JoinMessages(messages));
}

void THistgramForm::DrawHistogram() {
    auto picture = std::make_unique<Metafile>();
    host_.WithoutOverlay([&] { host_.HistgramDocument().Engine.DrawHistogram(*picture, 2, 2, 0); });
    SetImage(std::move(picture));
}

void THistgramForm::WriteBounds() {
    WriteWindowBounds(host_.HistgramSettings(), kHistgramBounds, *this, pos(), size());
}

void THistgramForm::closeEvent(QCloseEvent* event) {
    WriteBounds();
    host_.HistgramShown(false);
    event->accept();
}

void THistgramForm::paintEvent(QPaintEvent*) {
    if (!image_ || image_->empty()) return;
    QPainter painter(this);
    image_->paint(painter, QRectF(rect()));
}

// ----- the main window's side -----

void TFrameForm::H1Click() {
    if (H1->isChecked()) {
        if (HistgramForm) HistgramForm->close();
        H1->setChecked(false);
        return;
    }
    // A new window each time; a closed one stays hidden until the main window goes.
    HistgramForm = new THistgramForm(this, *this);
    HistgramForm->FormShow();
}

TDocument& TFrameForm::HistgramDocument() {
    return Document;
}

TParameter& TFrameForm::HistgramSettings() {
    return *Parameter1;
}

void TFrameForm::WithoutOverlay(const std::function<void()>& work) {
    // The frame is drawn inverting: drawing it again takes it out.
    if (!A1->isChecked()) {
        work();
        return;
    }
    DrawTrimFrame();
    try {
        work();
    } catch (...) {
        DrawTrimFrame();
        throw;
    }
    DrawTrimFrame();
}

void TFrameForm::HistgramShown(bool shown) {
    H1->setChecked(shown);
}

void TFrameForm::RefreshHistogram() {
    histogramPending_ = false;
    if (!H1->isChecked() || !HistgramForm) return;
    HistgramForm->DrawHistogram();
}

void TFrameForm::RefreshHistogramAfterPaint() {
    if (!H1->isChecked() || !HistgramForm) return;
    histogramPending_ = true;
    FastPicture1View->AfterNextPaint([this] { RunPendingHistogram(); });
    QTimer::singleShot(kHistogramWaitMs, this, [this] { RunPendingHistogram(); });
}

void TFrameForm::RunPendingHistogram() {
    if (!histogramPending_) return;
    histogramPending_ = false;
    // Counting a large picture takes a moment the user can notice.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    struct RestoreCursor {
        ~RestoreCursor() { QGuiApplication::restoreOverrideCursor(); }
    } restore;
    Safely([this] { RefreshHistogram(); });
}
