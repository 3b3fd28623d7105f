// The adjustment panel: tone sliders that always re-apply from the base image, the
// quality and conversion buttons, colour reduction and rotation menus, and the pixel
// format and handle type selectors.
#include <cmath>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QSlider>

#include "app/Frame.h"
#include "platform/Bitmap.h"

QString GammaCaption(int position) {
    long double gamma = std::pow(10.0L, static_cast<long double>(position) / 60.0L);
    return QString::fromUtf8("ガンマ値 ( %1 )").arg(static_cast<double>(gamma), 0, 'f', 2);
}

QString LightCaption(int position) {
    return QString::fromUtf8("輝度 ( %1%2 )")
        .arg(position >= 0 ? QStringLiteral("+") : QString())
        .arg(position);
}

void TFrameForm::ApplyTone() {
    bool frameOn = A1->isChecked();
    if (frameOn) {
        HideTrimFrame();
        A1->setChecked(false);
        T1->setEnabled(false);
    }
    FastPicture1.ApplyToneFromBase(
        *BaseBitmap, TrackBar5->value(),
        std::pow(10.0L, static_cast<long double>(TrackBar4->value()) / 60.0L), TrackBar3->value(),
        TrackBar2->value());
    if (frameOn) {
        ShowTrimFrame();
        A1->setChecked(true);
        T1->setEnabled(true);
    }
}

namespace {
bool ignoresPicture(TPictureType type) {
    return type == picNil || type == picIcon;
}
} // namespace

// The four tone sliders share one rule: caption, then (unless the program moves the
// sliders or there is nothing to adjust) neutral automatic correction and a fresh
// re-application from the base image.
static void toneSliderChanged(TFrameForm& form) {
    if (form.Tag == -1 || ignoresPicture(form.FastPicture1.GetPictureType())) return;
    form.Tag = -1;
    form.TrackBar6->setValue(0);
    form.Label11->setText(QString::fromUtf8("自動補正レベル ( 0 )"));
    form.Tag = 0;
    form.ApplyTone();
    form.UpdateCaption();
    form.RefreshHistogram();
}

void TFrameForm::TrackBar2Change() {
    Label3->setText(QString::fromUtf8("明るさ ( %1 % )").arg(TrackBar2->value()));
    toneSliderChanged(*this);
}

void TFrameForm::TrackBar3Change() {
    Label5->setText(QString::fromUtf8("コントラスト ( %1 % )").arg(TrackBar3->value()));
    toneSliderChanged(*this);
}

void TFrameForm::TrackBar4Change() {
    Label7->setText(GammaCaption(TrackBar4->value()));
    toneSliderChanged(*this);
}

void TFrameForm::TrackBar5Change() {
    Label9->setText(LightCaption(TrackBar5->value()));
    toneSliderChanged(*this);
}

void TFrameForm::TrackBar6Change() {
    int position = TrackBar6->value();
    Label11->setText(QString::fromUtf8("自動補正レベル ( %1 )").arg(position));
    if (Tag == -1 || ignoresPicture(FastPicture1.GetPictureType())) return;
    TrimFrameOff();
    Tag = -1;
    TrackBar5->setValue(0);
    Label9->setText(LightCaption(0));
    TrackBar4->setValue(0);
    Label7->setText(GammaCaption(0));
    TrackBar3->setValue(100);
    Label5->setText(QString::fromUtf8("コントラスト ( 100 % )"));
    TrackBar2->setValue(100);
    Label3->setText(QString::fromUtf8("明るさ ( 100 % )"));
    Tag = 0;
    FastPicture1.picture().assign(BaseBitmap.get());
    FastPicture1.Invalidate();
    // Position 0 passes -1 as an unsigned value, which the operation refuses.
    FastPicture1.Automatic(static_cast<unsigned>(position - 1));
    UpdateCaption();
    RefreshHistogram();
}

void TFrameForm::Button2Click() {
    TrimFrameOff();
    TakeBase();
    Tag = -1;
    TrackBar6->setValue(0);
    Label11->setText(QString::fromUtf8("自動補正レベル ( 0 )"));
    TrackBar5->setValue(0);
    Label9->setText(LightCaption(0));
    TrackBar4->setValue(0);
    Label7->setText(GammaCaption(0));
    TrackBar3->setValue(100);
    Label5->setText(QString::fromUtf8("コントラスト ( 100 % )"));
    TrackBar2->setValue(100);
    Label3->setText(QString::fromUtf8("明るさ ( 100 % )"));
    Tag = 0;
}

// The quality and conversion buttons, the colour reduction and rotation menus and the
// two selectors are not wired to the engine yet.
void TFrameForm::Button4Click() {}
void TFrameForm::Button5Click() {}
void TFrameForm::Button6Click() {}
void TFrameForm::Button7Click() {}
void TFrameForm::Button8Click() {}
void TFrameForm::Button9Click() {}
void TFrameForm::Button10Click() {}
void TFrameForm::Button11Click() {}
void TFrameForm::Button12Click() {}
void TFrameForm::Button13Click() {}
void TFrameForm::Button14Click() {}
void TFrameForm::Button15Click() {}
void TFrameForm::ComboBox2Change() {
    ComboBox2->setCurrentIndex(PixelFormatIndex());
}
void TFrameForm::ComboBox3Change() {
    ComboBox3->setCurrentIndex(HandleTypeIndex());
}
void TFrameForm::Octree2561Click() {}
void TFrameForm::MedianCut2561Click() {}
void TFrameForm::MedianCutByVariance2561Click() {}
void TFrameForm::MedianCut2562Click() {}
void TFrameForm::MedianCut2563Click() {}
void TFrameForm::N4Click() {}
void TFrameForm::PixelFormat2561Click() {}
void TFrameForm::N901Click() {}
void TFrameForm::N1801Click() {}
void TFrameForm::N2701Click() {}
void TFrameForm::R1Click() {}
