#include "app/Histgram.h"

#include <algorithm>

#include <QAction>
#include <QCloseEvent>
#include <QPainter>

#include "app/Frame.h"
#include "platform/Graphic.h"
#include "platform/Metafile.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

THistgramForm::THistgramForm(TFrameForm* owner)
    : QWidget(owner, Qt::Tool | Qt::WindowStaysOnTopHint), owner_(owner) {
    setWindowTitle(QStringLiteral("Histgram"));
    setFont(owner->font());
    resize(294 - 8, 209 - 27);
    move(491, 355);
}

THistgramForm::~THistgramForm() = default;

void THistgramForm::SetImage(std::unique_ptr<Graphic> picture) {
    image_ = std::move(picture);
    update();
}

void THistgramForm::FormShow() {
    TParameter& p = *owner_->Parameter1;
    using namespace SettingsKeys;
    // A missing or malformed key takes its first-run value; the messages are raised once
    // the window stands where the other keys put it.
    std::vector<std::string> messages;
    const int left = SettingsKeys::ReadInteger(p, HLeft, messages);
    const int top = SettingsKeys::ReadInteger(p, HTop, messages);
    const int width = SettingsKeys::ReadInteger(p, HClientWidth, messages);
    const int height = SettingsKeys::ReadInteger(p, HClientHeight, messages);
    const int state = SettingsKeys::ReadInteger(p, HWindowState, messages);
    constexpr int kFar = QWIDGETSIZE_MAX;
    move(std::clamp(left, -kFar, kFar), std::clamp(top, -kFar, kFar));
    resize(std::max(width, 1), std::max(height, 1));
    show();
    if (state == 2)
        setWindowState(Qt::WindowMaximized);
    else if (state == 1)
        setWindowState(Qt::WindowMinimized);
    DrawHistogram();
    owner_->H1->setChecked(true);
    if (!messages.empty()) {
        std::string text;
        for (const std::string& m : messages)
            text += (text.empty() ? "" : "\n") + m;
        throw Exception(text);
    }
}

void THistgramForm::DrawHistogram() {
    bool frameOn = owner_->A1->isChecked();
    if (frameOn) owner_->DrawTrimFrame();
    auto picture = std::make_unique<Metafile>();
    try {
        owner_->FastPicture1.DrawHistogram(*picture, 2, 2, 0);
    } catch (...) {
        if (frameOn) owner_->DrawTrimFrame();
        throw;
    }
    if (frameOn) owner_->DrawTrimFrame();
    SetImage(std::move(picture));
}

void THistgramForm::WriteBounds() {
    TParameter& p = *owner_->Parameter1;
    using namespace SettingsKeys;
    Qt::WindowStates states = windowState();
    int state = (states & Qt::WindowMinimized) ? 1 : (states & Qt::WindowMaximized) ? 2 : 0;
    if (state != 2) {
        p.WriteInteger(HLeft, x());
        p.WriteInteger(HTop, y());
        p.WriteInteger(HClientWidth, width());
        p.WriteInteger(HClientHeight, height());
    }
    p.WriteInteger(HWindowState, state);
}

void THistgramForm::closeEvent(QCloseEvent* event) {
    WriteBounds();
    owner_->H1->setChecked(false);
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
    HistgramForm = new THistgramForm(this);
    HistgramForm->FormShow();
}

void TFrameForm::RefreshHistogram() {
    if (!H1->isChecked() || !HistgramForm) return;
    HistgramForm->DrawHistogram();
}
