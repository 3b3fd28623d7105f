#include "preview/Preview.h"

#include <QFont>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QVBoxLayout>

#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"
#include "preview/GrphPrev.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

namespace {

QString u8(const char* text) {
    return QString::fromUtf8(text);
}

const char* kInfo = "情報";
const char* kPicture = "画像";
const char* kInfoHint = "紙情報を表示します。";
const char* kPictureHint = "画像を表示します。";
const char* kStepHint = "左クリックで - 、右クリックで +";

// Direction of a press: a left press decreases, a right press increases, any other button
// changes nothing.
int directionOf(Qt::MouseButton button) {
    return button == Qt::LeftButton ? -1 : button == Qt::RightButton ? 1 : 0;
}

QString f2(double v) {
    return QString::asprintf("%.2f", v);
}

// Reads an integer key; a key that cannot be read keeps the given value.
int readInteger(TParameter* p, std::string_view name, int fallback) {
    if (!p) return fallback;
    try {
        return p->ReadInteger(name);
    } catch (const std::exception&) {
        return fallback;
    }
}

} // namespace

void TClickPanel::mousePressEvent(QMouseEvent* event) {
    if (OnPress) OnPress(event->button(), event->modifiers());
}

TPreviewForm::TPreviewForm(const TPreviewSource& source, QWidget* parent)
    : QDialog(parent), source_(source) {
    setWindowTitle(u8("印刷プレビュー"));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    setModal(true);
    QFont font(u8("ＭＳ Ｐゴシック"));
    font.setPixelSize(12);
    setFont(font);
    CreateControls();
    setGeometry(240, 235, 454, 294);
}

TPreviewForm::~TPreviewForm() = default;

void TPreviewForm::CreateControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(56);
    auto button = [](QWidget* parent, const char* caption, int x, int y, int w, int h) {
        auto* b = new QPushButton(u8(caption), parent);
        b->setGeometry(x, y, w, h);
        return b;
    };
    auto panel = [](QWidget* parent, const char* caption, const char* hint, int x, int y, int w,
                    int h, bool bordered) {
        auto* p = new TClickPanel(u8(caption), parent);
        p->setGeometry(x, y, w, h);
        if (hint) p->setToolTip(u8(hint));
        if (bordered) {
            p->setFrameStyle(QFrame::Panel | QFrame::Raised);
            p->setAlignment(Qt::AlignCenter);
        } else {
            p->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        }
        return p;
    };
    Button1 = button(Panel1, "印刷", 8, 6, 53, 19);
    Button2 = button(Panel1, "閉じる", 72, 6, 53, 19);
    Panel2 = panel(Panel1, "倍率", "現在の印刷モード", 8, 30, 53, 19, true);
    Panel3 = panel(Panel1, "Metafile", "現在のグラフィックモード", 72, 30, 53, 19, true);
    Panel4 = panel(Panel1, "印刷の倍率 = 100 %", kStepHint, 136, 6, 145, 19, true);
    Panel5 = panel(Panel1, "プレビューの倍率 = 20 %", kStepHint, 136, 30, 145, 19, true);
    layout->addWidget(Panel1);

    GraphicPreview1 = new TGraphicPreview(this, source_.printer);
    GraphicPreview1->SetMouseAction(true);
    layout->addWidget(GraphicPreview1, 1);

    Panel6 = new QWidget(this);
    Panel6->setFixedHeight(42);
    Panel7 = panel(Panel6, "印刷  (10000,", nullptr, 4, 2, 81, 19, false);
    Panel8 = panel(Panel6, "20000,", nullptr, 84, 2, 49, 19, false);
    Panel9 = panel(Panel6, "30000,", nullptr, 132, 2, 49, 19, false);
    Panel10 = panel(Panel6, "40000) Pixel", nullptr, 180, 2, 67, 19, false);
    Panel11 = panel(Panel6, "範囲  (110.01,", nullptr, 4, 21, 81, 19, false);
    Panel12 = panel(Panel6, "220.02,", nullptr, 84, 21, 49, 19, false);
    Panel13 = panel(Panel6, "330.03,", nullptr, 132, 21, 49, 19, false);
    Panel14 = panel(Panel6, "440.04) mm", nullptr, 180, 21, 67, 19, false);
    Button3 = button(Panel6, kInfo, 250, 12, 35, 19);
    Button3->setToolTip(u8(kInfoHint));
    layout->addWidget(Panel6);

    auto wire = [this](TClickPanel* p, auto handler) {
        p->OnPress = [this, handler](Qt::MouseButton b, Qt::KeyboardModifiers s) {
            Safely([&] {
                (this->*handler)(b, s);
                UpdateLabels();
            });
        };
    };
    wire(Panel2, &TPreviewForm::Panel2MouseDown);
    wire(Panel3, &TPreviewForm::Panel3MouseDown);
    wire(Panel4, &TPreviewForm::Panel4MouseDown);
    wire(Panel5, &TPreviewForm::Panel5MouseDown);
    TClickPanel* pixelPanels[] = {Panel7, Panel8, Panel9, Panel10};
    TClickPanel* mmPanels[] = {Panel11, Panel12, Panel13, Panel14};
    for (int i = 0; i < 4; ++i) {
        pixelPanels[i]->OnPress = [this, i](Qt::MouseButton b, Qt::KeyboardModifiers s) {
            Safely([&] {
                PixelPanelMouseDown(7 + i, b, s);
                UpdateLabels();
            });
        };
        mmPanels[i]->OnPress = [this, i](Qt::MouseButton b, Qt::KeyboardModifiers s) {
            Safely([&] {
                MMPanelMouseDown(11 + i, b, s);
                UpdateLabels();
            });
        };
    }
    GraphicPreview1->OnMouseDown = [this](Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        UpdateLabels();
    };
    connect(Button1, &QPushButton::clicked, this, [this] { Safely([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button3, &QPushButton::clicked, this, [this] { Safely([this] { Button3Click(); }); });
}

void TPreviewForm::Safely(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        QMessageBox::critical(this, windowTitle(), QString::fromUtf8(e.what()));
    }
}

void TPreviewForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Safely([this] { FormShow(); });
}

void TPreviewForm::FormShow() {
    using namespace SettingsKeys;
    TParameter* p = source_.settings;
    const int left = readInteger(p, PLeft, x());
    const int top = readInteger(p, PTop, y());
    const int width = readInteger(p, PClientWidth, this->width());
    const int height = readInteger(p, PClientHeight, this->height());
    const int state = readInteger(p, PWindowState, 0);
    move(left, top);
    resize(std::max(width, 1), std::max(height, 1));
    if (state == 2)
        setWindowState(Qt::WindowMaximized);
    else if (state == 1)
        setWindowState(Qt::WindowMinimized);
    GraphicPreview1->SetPrintRatio(readInteger(p, PrintRatio, GraphicPreview1->PrintRatio()));
    GraphicPreview1->SetPreviewRatio(readInteger(p, PreviewRatio, GraphicPreview1->PreviewRatio()));
    GraphicPreview1->SetGraphicMode(readInteger(p, GraphicMode, GraphicPreview1->GraphicMode()));
    LoadPicture();
    UpdateLabels();
}

void TPreviewForm::done(int result) {
    if (!closed_) {
        closed_ = true;
        Safely([this] { FormCloseQuery(); });
    }
    QDialog::done(result);
}

void TPreviewForm::FormCloseQuery() {
    using namespace SettingsKeys;
    TParameter* p = source_.settings;
    if (!p) return;
    const Qt::WindowStates states = windowState();
    const int state = (states & Qt::WindowMinimized) ? 1 : (states & Qt::WindowMaximized) ? 2 : 0;
    if (state != 2) {
        p->WriteInteger(PLeft, x());
        p->WriteInteger(PTop, y());
        p->WriteInteger(PClientWidth, width());
        p->WriteInteger(PClientHeight, height());
    }
    p->WriteInteger(PWindowState, state);
    p->WriteInteger(PrintRatio, GraphicPreview1->PrintRatio());
    p->WriteInteger(PreviewRatio, GraphicPreview1->PreviewRatio());
    p->WriteInteger(GraphicMode, GraphicPreview1->GraphicMode());
}

void TPreviewForm::LoadPicture() {
    const Graphic* picture = source_.picture;
    const int w = source_.width, h = source_.height;
    if (!picture || picture->empty() || w <= 0 || h <= 0) {
        GraphicPreview1->SetGraphic(nullptr);
        return;
    }
    if (picture->kind() == GraphicKind::Metafile) {
        // Recorded again at the displayed size; measured from its physical size it comes
        // out w x h after the preview's screen correction.
        Metafile recording;
        recording.setWidth(w);
        recording.setHeight(h);
        {
            MetafileCanvas canvas(recording);
            canvas.stretchDraw(QRect(0, 0, w, h), *picture);
        }
        recording.setLogicalInch(true);
        GraphicPreview1->SetGraphic(&recording);
        return;
    }
    const Bitmap bitmap = graphicToBitmap(*picture, w, h);
    if (picture->kind() == GraphicKind::Jpeg || picture->kind() == GraphicKind::Gif) {
        // The picture as the encoder gives it back (JPEG at the chosen quality).
        SaveOptions options;
        options.jpegQuality = source_.jpegQuality;
        const GraphicKind kind = picture->kind();
        const std::vector<uint8_t> bytes = savePictureBytes(bitmap, kind, options);
        const std::unique_ptr<Graphic> encoded =
            loadPictureBytes(bytes, kind == GraphicKind::Jpeg ? "jpg" : "gif");
        GraphicPreview1->SetGraphic(encoded.get());
    } else {
        GraphicPreview1->SetGraphic(&bitmap);
    }
}

void TPreviewForm::UpdateLabels() {
    const TGraphicPreview& g = *GraphicPreview1;
    Panel2->setText(u8(g.PrintMode() == pmRatio ? "倍率" : "範囲"));
    Panel3->setText(g.GraphicMode() == gmMetafile ? QStringLiteral("Metafile")
                                                  : QStringLiteral("Graphic"));
    Panel4->setText(u8("印刷の倍率 = ") + QString::number(g.PrintRatio()) + QStringLiteral(" %"));
    Panel5->setText(u8("プレビューの倍率 = ") + QString::number(g.PreviewRatio()) +
                    QStringLiteral(" %"));
    const TPxRect r = g.GetPrintRect();
    Panel7->setText(u8("印刷  (") + QString::number(r.Left) + QStringLiteral(","));
    Panel8->setText(QString::number(r.Top) + QStringLiteral(","));
    Panel9->setText(QString::number(r.Right) + QStringLiteral(","));
    Panel10->setText(QString::number(r.Bottom) + QStringLiteral(") Pixel"));
    const TMMRect m = g.GetPrintRectMM();
    Panel11->setText(u8("範囲  (") + f2(m.Left) + QStringLiteral(","));
    Panel12->setText(f2(m.Top) + QStringLiteral(","));
    Panel13->setText(f2(m.Right) + QStringLiteral(","));
    Panel14->setText(f2(m.Bottom) + QStringLiteral(") mm"));
}

void TPreviewForm::Panel2MouseDown(Qt::MouseButton, Qt::KeyboardModifiers) {
    GraphicPreview1->SetPrintMode(GraphicPreview1->PrintMode() == pmRatio ? pmArea : pmRatio);
}

void TPreviewForm::Panel3MouseDown(Qt::MouseButton, Qt::KeyboardModifiers) {
    GraphicPreview1->SetGraphicMode(GraphicPreview1->GraphicMode() == gmMetafile ? gmGraphic
                                                                                 : gmMetafile);
}

void TPreviewForm::Panel4MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift) {
    const int step = StepOf(shift, 1, 2, 5, 10);
    int ratio = GraphicPreview1->PrintRatio();
    const int dir = directionOf(button);
    if (dir < 0) ratio = std::max(ratio - step, 10);
    if (dir > 0) ratio = std::min(ratio + step, 1000);
    GraphicPreview1->SetPrintRatio(ratio);
    if (GraphicPreview1->PrintMode() != pmRatio) GraphicPreview1->SetPrintMode(pmRatio);
}

void TPreviewForm::Panel5MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift) {
    const int step = StepOf(shift, 1, 2, 5, 10);
    int ratio = GraphicPreview1->PreviewRatio();
    const int dir = directionOf(button);
    if (dir < 0) ratio = std::max(ratio - step, 10);
    if (dir > 0) ratio = std::min(ratio + step, 100);
    GraphicPreview1->SetPreviewRatio(ratio);
}

void TPreviewForm::PixelPanelMouseDown(int panel, Qt::MouseButton button,
                                       Qt::KeyboardModifiers shift) {
    const int d = StepOf(shift, 1, 5, 20, 50) * directionOf(button);
    TPxRect r = GraphicPreview1->GetPrintRect();
    switch (panel) {
    case 7:
        r.Left += d;
        r.Right += d;
        break;
    case 8:
        r.Top += d;
        r.Bottom += d;
        break;
    case 9:
        r.Right += d;
        break;
    default:
        r.Bottom += d;
        break;
    }
    if ((panel == 7 || panel == 8) && GraphicPreview1->PrintMode() == pmRatio)
        GraphicPreview1->SetPrintPos(QPoint(r.Left, r.Top));
    else
        GraphicPreview1->SetPrintRect(r);
}

void TPreviewForm::MMPanelMouseDown(int panel, Qt::MouseButton button,
                                    Qt::KeyboardModifiers shift) {
    const double d = StepOf(shift, 0.5, 1.0, 2.0, 5.0) * directionOf(button);
    TMMRect r = GraphicPreview1->GetPrintRectMM();
    switch (panel) {
    case 11:
        r.Left += d;
        r.Right += d;
        break;
    case 12:
        r.Top += d;
        r.Bottom += d;
        break;
    case 13:
        r.Right += d;
        break;
    default:
        r.Bottom += d;
        break;
    }
    if ((panel == 11 || panel == 12) && GraphicPreview1->PrintMode() == pmRatio)
        GraphicPreview1->SetPrintPosMM(TMMPoint{r.Left, r.Top});
    else
        GraphicPreview1->SetPrintRectMM(r);
}

void TPreviewForm::Button3Click() {
    Button2->setFocus();
    if (Button3->text() == u8(kInfo)) {
        GraphicPreview1->ShowPaperInfo();
        Button3->setText(u8(kPicture));
        Button3->setToolTip(u8(kPictureHint));
    } else if (Button3->text() == u8(kPicture)) {
        LoadPicture();
        Button3->setText(u8(kInfo));
        Button3->setToolTip(u8(kInfoHint));
    }
    UpdateLabels();
}

void TPreviewForm::Button1Click() {
    QPrinter& printer = GraphicPreview1->Printer();
    int copies = 1;
    bool confirmed = false;
    if (source_.printDialog) {
        confirmed = source_.printDialog(printer, copies, this);
    } else {
        QPrintDialog dialog(&printer, this);
        confirmed = dialog.exec() == QDialog::Accepted;
        copies = printer.copyCount();
    }
    if (!confirmed) return;
    // The copies are printed sheet by sheet here, not multiplied by the printer again.
    const int chosen = printer.copyCount();
    printer.setCopyCount(1);
    try {
        GraphicPreview1->Print(copies);
    } catch (...) {
        printer.setCopyCount(chosen);
        throw;
    }
    printer.setCopyCount(chosen);
}
