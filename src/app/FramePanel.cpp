// The adjustment panel: tone sliders that always re-apply from the base image, the
// quality and conversion buttons, colour reduction and rotation menus, and the pixel
// format and handle type selectors.
#include <cmath>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>

#include "app/Frame.h"
#include "formats/Jpeg.h"
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
    // A JPEG picture in view is replaced by the toned bitmap: its decoded rows become the
    // buffer the tone pass writes into, which spares the allocation of a whole new picture
    // (the first slider move after opening a JPEG). The result does not depend on what the
    // view held before.
    if (auto* jpeg = FastPicture1.picture().as<TJPEGImage>(); jpeg && jpeg->hasBitmap()) {
        auto rows = std::make_unique<Bitmap>(jpeg->releaseBitmap());
        FastPicture1.picture().setGraphic(std::move(rows));
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

// ======================================================================================
// Sliders: captions and the neutral positions
// ======================================================================================

namespace {
// Every slider with its caption and neutral position, in the order they are reset.
struct SliderInfo {
    QSlider* TFrameForm::*slider;
    QLabel* TFrameForm::*caption;
    int neutral;
    unsigned group;
};
constexpr SliderInfo kSliders[] = {
    {&TFrameForm::TrackBar6, &TFrameForm::Label11, 0, TFrameForm::kAutomaticSlider},
    {&TFrameForm::TrackBar5, &TFrameForm::Label9, 0, TFrameForm::kToneSliders},
    {&TFrameForm::TrackBar4, &TFrameForm::Label7, 0, TFrameForm::kToneSliders},
    {&TFrameForm::TrackBar3, &TFrameForm::Label5, 100, TFrameForm::kToneSliders},
    {&TFrameForm::TrackBar2, &TFrameForm::Label3, 100, TFrameForm::kToneSliders},
    {&TFrameForm::TrackBar1, &TFrameForm::Label2, 100, TFrameForm::kRatioSlider},
};
} // namespace

QString TFrameForm::SliderCaption(const QSlider* slider, int position) const {
    if (slider == TrackBar1) return QString::fromUtf8("表示倍率 ( %1 % )").arg(position);
    if (slider == TrackBar2) return QString::fromUtf8("明るさ ( %1 % )").arg(position);
    if (slider == TrackBar3) return QString::fromUtf8("コントラスト ( %1 % )").arg(position);
    if (slider == TrackBar4) return GammaCaption(position);
    if (slider == TrackBar5) return LightCaption(position);
    return QString::fromUtf8("自動補正レベル ( %1 )").arg(position);
}

void TFrameForm::NeutralSliders(unsigned which) {
    const int saved = Tag;
    Tag = -1;
    for (const SliderInfo& info : kSliders) {
        if (!(info.group & which)) continue;
        QSlider* slider = this->*info.slider;
        slider->setValue(info.neutral);
        (this->*info.caption)->setText(SliderCaption(slider, info.neutral));
    }
    Tag = saved == -1 ? -1 : 0;
}

// The four tone sliders share one rule: caption, then (unless the program moves the
// sliders or there is nothing to adjust) neutral automatic correction and a fresh
// re-application from the base image.
static void toneSliderChanged(TFrameForm& form, QSlider* slider, QLabel* caption) {
    caption->setText(form.SliderCaption(slider, slider->value()));
    if (form.Tag == -1 || ignoresPicture(form.FastPicture1.GetPictureType())) return;
    form.NeutralSliders(TFrameForm::kAutomaticSlider);
    form.ApplyTone();
    form.UpdateCaption();
    form.RefreshHistogram();
}

void TFrameForm::TrackBar2Change() {
    toneSliderChanged(*this, TrackBar2, Label3);
}

void TFrameForm::TrackBar3Change() {
    toneSliderChanged(*this, TrackBar3, Label5);
}

void TFrameForm::TrackBar4Change() {
    toneSliderChanged(*this, TrackBar4, Label7);
}

void TFrameForm::TrackBar5Change() {
    toneSliderChanged(*this, TrackBar5, Label9);
}

void TFrameForm::TrackBar6Change() {
    int position = TrackBar6->value();
    Label11->setText(SliderCaption(TrackBar6, position));
    if (Tag == -1 || ignoresPicture(FastPicture1.GetPictureType())) return;
    TrimFrameOff();
    NeutralSliders(kToneSliders);
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
    NeutralSliders(kAutomaticSlider | kToneSliders);
}

// ======================================================================================
// Destructive operations: quality and conversion buttons, colour reduction, rotation
// ======================================================================================

namespace {

// Shows the wait cursor while an operation runs over the whole picture; the cursor comes
// back however the operation ends.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Turns the view's stretching on when the scope ends, also when an operation throws
// half-way through a rotation, so the view never stays unstretched.
class StretchOnAtEnd {
public:
    explicit StretchOnAtEnd(bool& stretch) : stretch_(stretch) {}
    ~StretchOnAtEnd() { stretch_ = true; }
    StretchOnAtEnd(const StretchOnAtEnd&) = delete;
    StretchOnAtEnd& operator=(const StretchOnAtEnd&) = delete;

private:
    bool& stretch_;
};

// Run before every destructive operation. Returns false when there is nothing to work on
// (no picture, or an icon). Otherwise the trimming frame is off and the picture in view is
// a bitmap: a JPEG, GIF or metafile picture is rebuilt from the base image with the
// current tone settings.
bool operationPrologue(TFrameForm& form) {
    if (ignoresPicture(form.FastPicture1.GetPictureType())) return false;
    form.TrimFrameOff();
    if (!form.ViewBitmap()) form.ApplyTone();
    return true;
}

// A filter or effect: prologue, the operation, then the caption and histogram. The
// current picture changes in place; the base image stays as it was.
template <class Operation> void runEffect(TFrameForm& form, Operation operation) {
    if (!operationPrologue(form)) return;
    {
        WaitCursor wait;
        operation(form.FastPicture1);
    }
    form.UpdateCaption();
    form.RefreshHistogram();
}

// A colour reduction: prologue, the reduction, and the reduced picture becomes the base.
template <class Operation> void runReduction(TFrameForm& form, Operation operation) {
    if (!operationPrologue(form)) return;
    {
        WaitCursor wait;
        operation(form);
    }
    form.Button2Click();
    form.UpdateCaption();
    form.RefreshHistogram();
}

// A quarter turn swaps the view's sides; the picture is turned with stretching off so
// that the view never paints it squeezed into the old shape.
void quarterTurn(TFrameForm& form, int angle) {
    if (!operationPrologue(form)) return;
    {
        WaitCursor wait;
        StretchOnAtEnd stretchOn(form.FastPicture1.Stretch);
        form.FastPicture1.Stretch = false;
        const int w = form.FastPicture1.Width;
        const int h = form.FastPicture1.Height;
        form.FastPicture1.Turn(angle);
        form.SetViewSize(h, w);
    }
    form.FastPicture1.Invalidate();
    form.Button2Click();
    form.UpdateCaption();
}

// A turn or mirror that keeps the view's size; the colours are unchanged, so the
// histogram is not redrawn.
template <class Operation> void runGeometry(TFrameForm& form, Operation operation) {
    if (!operationPrologue(form)) return;
    {
        WaitCursor wait;
        operation(form.FastPicture1);
    }
    form.Button2Click();
    form.UpdateCaption();
}

} // namespace

// ----- tab "画質" -----

void TFrameForm::Button4Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Edge(UpDown2->value()); });
}

void TFrameForm::Button5Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Median(UpDown3->value()); });
}

void TFrameForm::Button6Click() {
    runEffect(*this, [](TFastPicture& p) { p.Blur(); });
}

void TFrameForm::Button7Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Sobel(UpDown4->value(), true); });
}

// ----- tab "変換" -----

void TFrameForm::Button8Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Mosaic(UpDown5->value()); });
}

void TFrameForm::Button9Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Posterization(UpDown6->value()); });
}

void TFrameForm::Button10Click() {
    runEffect(*this, [this](TFastPicture& p) { p.Sobel(UpDown7->value(), false); });
}

void TFrameForm::Button11Click() {
    runEffect(*this, [this](TFastPicture& p) {
        p.Framing(UpDown8->value(), UpDown9->value(), RadioButton1->isChecked());
    });
}

void TFrameForm::Button12Click() {
    runEffect(*this, [](TFastPicture& p) { p.GrayScale(); });
}

void TFrameForm::Button13Click() {
    runEffect(*this, [](TFastPicture& p) { p.Sepia(); });
}

void TFrameForm::Button14Click() {
    runEffect(*this, [](TFastPicture& p) { p.Negative(); });
}

// Level -1 asks for an automatic threshold; the level box then shows the threshold that
// was applied, so pressing the button again repeats the same result. A refused operation
// leaves Used at -1.
void TFrameForm::Button15Click() {
    const int threshold = UpDown10->value();
    int used = threshold;
    runEffect(*this, [threshold, &used](TFastPicture& p) { p.BlackAndWhite(threshold, used); });
    if (threshold == -1) UpDown10->setValue(used);
}

// ----- pixel format and handle type selectors -----

// Converts the bitmap in view to the chosen pixel format. When the conversion is refused
// (pfcustom), the selector shows the format the bitmap still has before the error goes on
// to the message box.
void TFrameForm::ComboBox2Change() {
    const int a = PixelFormatIndex();
    const int s = ComboBox2->currentIndex();
    Bitmap* bmp = ViewBitmap();
    if (s == a || FastPicture1.GetPictureType() != picBitmap || !bmp || s < 0 || s > 8) {
        ComboBox2->setCurrentIndex(a);
        return;
    }
    try {
        WaitCursor wait;
        bmp->setPixelFormat(static_cast<PixelFormat>(s));
    } catch (...) {
        ComboBox2->setCurrentIndex(PixelFormatIndex());
        throw;
    }
    FastPicture1.Invalidate();
    UpdateCaption();
    RefreshHistogram();
}

void TFrameForm::ComboBox3Change() {
    const int a = HandleTypeIndex();
    const int s = ComboBox3->currentIndex();
    Bitmap* bmp = ViewBitmap();
    if (s == a || FastPicture1.GetPictureType() != picBitmap || !bmp || s < 0 || s > 1) {
        ComboBox3->setCurrentIndex(a);
        return;
    }
    bmp->setHandleType(s == 0 ? bmDIB : bmDDB);
    FastPicture1.Invalidate();
    UpdateCaption();
    RefreshHistogram();
}

// ----- menu "減色" -----

void TFrameForm::Octree2561Click() {
    runReduction(*this, [](TFrameForm& f) { f.FastPicture1.Reduce(engine::ReduceMethod::Octree); });
}

void TFrameForm::MedianCut2561Click() {
    runReduction(*this,
                 [](TFrameForm& f) { f.FastPicture1.Reduce(engine::ReduceMethod::MedianCut); });
}

void TFrameForm::MedianCutByVariance2561Click() {
    runReduction(*this, [](TFrameForm& f) {
        f.FastPicture1.Reduce(engine::ReduceMethod::MedianCutVariance);
    });
}

void TFrameForm::MedianCut2562Click() {
    runReduction(*this, [](TFrameForm& f) {
        f.FastPicture1.Reduce(engine::ReduceMethod::MedianCutDiffusion);
    });
}

void TFrameForm::MedianCut2563Click() {
    runReduction(*this, [](TFrameForm& f) {
        f.FastPicture1.Reduce(engine::ReduceMethod::MedianCutVarianceDiffusion);
    });
}

void TFrameForm::N4Click() {
    runReduction(*this,
                 [](TFrameForm& f) { f.FastPicture1.Reduce(engine::ReduceMethod::FixedPalette); });
}

// No quantizer: the bitmap class maps every pixel onto its halftone palette.
void TFrameForm::PixelFormat2561Click() {
    runReduction(*this, [](TFrameForm& f) {
        f.ViewBitmap()->setPixelFormat(pf8bit);
        f.FastPicture1.Invalidate();
    });
}

// ----- menu "回転" -----

void TFrameForm::N901Click() {
    quarterTurn(*this, 90);
}

void TFrameForm::N1801Click() {
    runGeometry(*this, [](TFastPicture& p) { p.Turn(180); });
}

void TFrameForm::N2701Click() {
    quarterTurn(*this, 270);
}

void TFrameForm::R1Click() {
    runGeometry(*this, [](TFastPicture& p) { p.Reverse(); });
}
