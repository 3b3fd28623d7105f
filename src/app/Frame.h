// TFrameForm: the main window. It owns the picture in view (FastPicture1), the base image,
// the settings component and every control of the adjustment panel.
//
// The class is spread over several files by subject:
//   Frame.cpp          construction and layout, show and close, display ratio, picture
//                      kind, caption, clicked-colour readout
//   FrameDocument.cpp  open, save, undo, revert, clear, base image, temporary copies
//   FramePanel.cpp     the adjustment panel: tone sliders, quality and conversion
//                      buttons, colour reduction and rotation menus, pixel format and
//                      handle type selectors
//   FrameExchange.cpp  clipboard, picture drops, trimming frame, help, printing
// The histogram window is THistgramForm (Histgram.h).
#pragma once

#include <optional>

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>

#include "app/Histgram.h"
#include "document/Document.h"
#include "engine/FastPicture.h"

class QAction;
class QComboBox;
class QFrame;
class QKeyEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSlider;
class QSpinBox;
class QTabWidget;
class QWidget;

class Bitmap;
class Graphic;
class TParameter;
class TFrameDialogs;
class THistgramForm;
class TPictureView;
class TSliderLegend;
namespace dragdrop {
class TDropPictureTarget;
class TDropBMPSource;
class TDropMetaSource;
} // namespace dragdrop

class TFrameForm : public QMainWindow, public THistgramHost {
    Q_OBJECT
public:
    explicit TFrameForm(QWidget* parent = nullptr);
    ~TFrameForm() override;

    // ----- non-visual members -----
    TFastPicture FastPicture1;
    // The picture's copies, its files and the document commands' work.
    TDocument Document{FastPicture1};
    std::unique_ptr<TParameter> Parameter1;
    // OpenDialog1, SaveDialog1 and the message boxes.
    std::unique_ptr<TFrameDialogs> Dialogs;

    // ----- document state (held by Document, named here as the window's handlers and
    // the other windows know it) -----
    QString& SourcePath = Document.SourcePath;
    QString& DisplayName = Document.DisplayName;
    QString& SizeText = Document.SizeText;
    QString& OpenDir = Document.OpenDir;
    QString& SaveDir = Document.SaveDir;
    std::unique_ptr<Bitmap>& BaseBitmap = Document.BaseBitmap;
    QString DimensionText;
    QString DepthText;
    QString FormatText;
    TRect TrimRect{0, 0, 100, 100};
    QPoint DownPoint;
    // Slider guard: -1 while the program itself moves sliders.
    int Tag = 0;
    // The histogram window in use (null until first switched on).
    QPointer<THistgramForm> HistgramForm;

    // The program's command-line arguments after the program name; the first one is
    // opened when the window is first shown.
    QStringList CommandLine;
    // Folder for the temporary copies; empty means this instance's own folder (see
    // TInstanceFolder).
    std::filesystem::path& TemporaryFolderOverride = Document.TemporaryFolderOverride;

    // ----- drag-and-drop components (owned by the window, FrameExchange.cpp) -----
    dragdrop::TDropPictureTarget* DropPictureTarget1 = nullptr;
    dragdrop::TDropBMPSource* DropBMPSource1 = nullptr;
    dragdrop::TDropMetaSource* DropMetaSource1 = nullptr;

    // ----- controls -----
    QWidget* ClientArea = nullptr;
    QFrame* Panel1 = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QWidget* TabSheet3 = nullptr;
    QFrame* Panel2 = nullptr;
    QFrame* Panel3 = nullptr;
    QFrame* Panel4 = nullptr;
    QFrame* Panel5 = nullptr;
    QFrame* Panel6 = nullptr;
    QFrame* Panel7 = nullptr;
    QScrollArea* ScrollBox1 = nullptr;
    QWidget* ScrollContents = nullptr;
    TPictureView* FastPicture1View = nullptr;

    TSliderLegend* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    TSliderLegend* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    TSliderLegend* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    TSliderLegend* Label8 = nullptr;
    QLabel* Label9 = nullptr;
    TSliderLegend* Label10 = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label13 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label15 = nullptr;
    QLabel* Label16 = nullptr;
    TSliderLegend* Label17 = nullptr;
    QLabel* Label18 = nullptr;
    QLabel* Label19 = nullptr;
    QLabel* Label20 = nullptr;
    QLabel* Label21 = nullptr;

    QSlider* TrackBar1 = nullptr;
    QSlider* TrackBar2 = nullptr;
    QSlider* TrackBar3 = nullptr;
    QSlider* TrackBar4 = nullptr;
    QSlider* TrackBar5 = nullptr;
    QSlider* TrackBar6 = nullptr;

    QComboBox* ComboBox1 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QComboBox* ComboBox3 = nullptr;

    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* Button5 = nullptr;
    QPushButton* Button6 = nullptr;
    QPushButton* Button7 = nullptr;
    QPushButton* Button8 = nullptr;
    QPushButton* Button9 = nullptr;
    QPushButton* Button10 = nullptr;
    QPushButton* Button11 = nullptr;
    QPushButton* Button12 = nullptr;
    QPushButton* Button13 = nullptr;
    QPushButton* Button14 = nullptr;
    QPushButton* Button15 = nullptr;

    // An edit box with its attached up-down control is one spin box; the EditN names
    // refer to the same widget as their UpDownN.
    QSpinBox* UpDown1 = nullptr;
    QSpinBox* UpDown2 = nullptr;
    QSpinBox* UpDown3 = nullptr;
    QSpinBox* UpDown4 = nullptr;
    QSpinBox* UpDown5 = nullptr;
    QSpinBox* UpDown6 = nullptr;
    QSpinBox* UpDown7 = nullptr;
    QSpinBox* UpDown8 = nullptr;
    QSpinBox* UpDown9 = nullptr;
    QSpinBox* UpDown10 = nullptr;
    QSpinBox* Edit2 = nullptr;
    QSpinBox* Edit3 = nullptr;
    QSpinBox* Edit4 = nullptr;
    QSpinBox* Edit5 = nullptr;
    QSpinBox* Edit6 = nullptr;
    QSpinBox* Edit7 = nullptr;
    QSpinBox* Edit8 = nullptr;
    QSpinBox* Edit9 = nullptr;
    QSpinBox* Edit10 = nullptr;
    QSpinBox* Edit11 = nullptr;

    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton2 = nullptr;

    // ----- main menu -----
    QMenuBar* MainMenu1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* Open1 = nullptr;
    QAction* Save1 = nullptr;
    QAction* T2 = nullptr;
    QAction* V1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Edit1 = nullptr;
    QAction* U1 = nullptr;
    QAction* O1 = nullptr;
    QAction* L1 = nullptr;
    QAction* Copy1 = nullptr;
    QAction* Paste1 = nullptr;
    QAction* A1 = nullptr;
    QAction* T1 = nullptr;
    QMenu* N3 = nullptr;
    QAction* Octree2561 = nullptr;
    QAction* MedianCut2561 = nullptr;
    QAction* MedianCutByVariance2561 = nullptr;
    QAction* MedianCut2562 = nullptr;
    QAction* MedianCut2563 = nullptr;
    QAction* N4 = nullptr;
    QAction* PixelFormat2561 = nullptr;
    QMenu* N5 = nullptr;
    QAction* N901 = nullptr;
    QAction* N1801 = nullptr;
    QAction* N2701 = nullptr;
    QAction* R1 = nullptr;
    QMenu* O2 = nullptr;
    QAction* S1 = nullptr;
    QAction* H1 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* H2 = nullptr;
    QAction* About1 = nullptr;

    // ----- window events (Frame.cpp) -----
    void FormShow();
    void FormCloseQuery();
    void FormDestroy();

    // ----- display ratio, picture kind, caption, readout (Frame.cpp) -----
    void TrackBar1Change();
    void Button1Click();
    void ComboBox1Change();
    void S1Click();
    void UpdateCaption();
    int PictureKind() const;
    int PixelFormatIndex() const;
    int HandleTypeIndex() const;
    static int FitRatio(int width, int height);
    void FastPicture1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    void FastPicture1MouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x, int y);
    // The trimming-frame part of a press on the picture (after the colour readout).
    void FastPicture1MouseDownTrim(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x,
                                   int y);

    // ----- document (FrameDocument.cpp) -----
    void Open1Click();
    // Opens a file named by the shell (a file dropped from the file manager, or the
    // command-line argument) as the open command does after its dialog.
    void OpenFromShell(const QString& path);
    void OpenPicture(QString path); // by value: callers pass SourcePath, which it clears
    void Save1Click();
    void U1Click();
    void RestoreBase();
    void O1Click();
    void L1Click();
    void Exit1Click();
    void TakeBase();
    void SaveTemporaryCopy();
    void DeleteTemporaryCopy();
    // A picture that arrived without a file (paste, drop): the panel goes neutral, the
    // document takes the picture (temporary copy under label, base image) and the view
    // fits it at the ratio for a new picture.
    void PictureArrived(std::unique_ptr<Graphic> picture, const QString& label);
    // Brings the view to a newly arrived picture at FitRatio.
    void FitView();

    // ----- adjustment panel (FramePanel.cpp) -----
    void ApplyTone();
    void TrackBar2Change();
    void TrackBar3Change();
    void TrackBar4Change();
    void TrackBar5Change();
    void TrackBar6Change();
    void Button2Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void Button7Click();
    void Button8Click();
    void Button9Click();
    void Button10Click();
    void Button11Click();
    void Button12Click();
    void Button13Click();
    void Button14Click();
    void Button15Click();
    void ComboBox2Change();
    void ComboBox3Change();
    void Octree2561Click();
    void MedianCut2561Click();
    void MedianCutByVariance2561Click();
    void MedianCut2562Click();
    void MedianCut2563Click();
    void N4Click();
    void PixelFormat2561Click();
    void N901Click();
    void N1801Click();
    void N2701Click();
    void R1Click();

    // ----- clipboard, drops, trimming, help, printing (FrameExchange.cpp) -----
    void Copy1Click();
    void Paste1Click();
    void PasteJpeg();
    void PasteGif();
    bool PutClipboardStream(const QString& format, const QByteArray& stream);
    bool GetClipboardStream(const QString& format, QByteArray& stream);
    void DropPictureTarget1Drop();
    void A1Click();
    void T1Click();
    void ShowTrimFrame();
    void DrawTrimFrame();
    void HideTrimFrame();
    void H2Click();
    void About1Click();
    void T2Click();
    void V1Click();
    // Creates the drag sources and the drop target and registers the scroll box.
    void CreateExchange();

    // ----- histogram window (Histgram.cpp) -----
    void H1Click();
    // Redraws the histogram window from the picture in view, when it is open.
    void RefreshHistogram();
    // The same once the view has painted the picture that just arrived (or after a while,
    // should it not paint), so that a new picture shows before its histogram is counted. A
    // RefreshHistogram in between makes it unnecessary.
    void RefreshHistogramAfterPaint();
    // How long RefreshHistogramAfterPaint waits at most for the view's paint.
    static constexpr int kHistogramWaitMs = 500;
    // What the histogram window asks of the main window.
    TDocument& HistgramDocument() override;
    TParameter& HistgramSettings() override;
    void WithoutOverlay(const std::function<void()>& work) override;
    void HistgramShown(bool shown) override;

    // ----- helpers shared by the files above -----
    // Sets the engine's display size and brings the view widget to it.
    void SetViewSize(int width, int height);
    // The client area below the menu bar.
    void SetClientSize(int width, int height);
    QSize ClientSize() const;
    // Sets sliders and their captions to neutral with the guard raised: the automatic
    // correction TrackBar6, the tone sliders TrackBar2..5, the display ratio TrackBar1.
    enum : unsigned { kAutomaticSlider = 1, kToneSliders = 2, kRatioSlider = 4 };
    void NeutralSliders(unsigned which = kAutomaticSlider | kToneSliders | kRatioSlider);
    // A slider's caption for a position.
    QString SliderCaption(const QSlider* slider, int position) const;
    // Switches the trimming frame off when it is shown; returns whether it was.
    bool TrimFrameOff();
    // The picture is a bitmap (the view holds one).
    Bitmap* ViewBitmap();
    const Bitmap* ViewBitmap() const;
    // Runs a handler under the default exception handler: an exception leaving it is
    // shown in a message box and the window stays usable.
    void Safely(const std::function<void()>& handler);
    void ShowException(const std::exception& e);

protected:
    // Keeps the menu shortcuts (Ctrl+Z, Ctrl+C, Ctrl+V, ...) for the menu commands while
    // a level spin box has the focus, instead of its text's undo, copy and paste.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void CreateControls();
    void CreateToneTab();
    void CreateQualityTab();
    void CreateConversionTab();
    void CreateKindPanel();
    void CreateView();
    void CreateMenu();
    void ConnectHandlers();
    // The menu command whose shortcut key is, or nullptr.
    QAction* MenuCommandFor(const QKeyEvent* key) const;
    void ReadSettings();
    void WriteFirstRunSettings();
    void WriteSettings();
    std::vector<std::pair<std::string_view, QSpinBox*>> LevelKeys() const;

    bool shown_ = false;
    bool closed_ = false;
    // A histogram redraw waits for the view's paint (RefreshHistogramAfterPaint).
    bool histogramPending_ = false;
    void RunPendingHistogram();
    // The position read from the settings and where the window stood after being placed
    // there: while it stays put, the close writes back what was read, which the window
    // system may not be able to represent (a far-off Left of 2147483647, say).
    QPoint readPosition_;
    std::optional<QPoint> placedPosition_;
};

// ----- small rules the window uses, kept apart for the tests -----
// Whole pixels of a size at a display ratio, in integer arithmetic.
int ScaledSize(int size, int ratio);
// "$" + eight upper-case hexadecimal digits + "  =".
QString ColorText(uint32_t color);
// The trimming frame drawn by inversion (every pixel's bits inverted, as a black pen in
// pmNotXor mode does) on the bitmap's own pixels: a 2-pixel outline of frame (Right and
// Bottom exclusive, corners in any order). Drawing it twice restores every pixel. Returns
// the changed areas.
std::vector<QRect> InvertTrimFrame(Bitmap& bitmap, const TRect& frame);
// The name a picture that arrived without a file is shown under.
QString ArrivalLabel(const Graphic* graphic, bool dropped);
// Caption texts of the sliders.
QString GammaCaption(int position);
QString LightCaption(int position);
