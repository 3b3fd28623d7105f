#include "app/Frame.h"

#include <algorithm>

#include <QAbstractSpinBox>
#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/FrameDialogs.h"
#include "app/FrameTexts.h"
#include "app/Histgram.h"
#include "app/PictureView.h"
#include "app/SliderLegend.h"
#include "app/WindowBounds.h"
#include "engine/Operations.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/GraphicBitmap.h"
#include "platform/Limits.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"

namespace {

QFrame* makePanel(QWidget* parent, QFrame::Shadow shadow, int lineWidth = 1) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Panel | shadow);
    f->setLineWidth(lineWidth);
    return f;
}

QLabel* makeLabel(QWidget* parent, const char* text, int x, int y, int pixelSize = 0) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    if (pixelSize > 0) {
        QFont f = l->font();
        f.setPixelSize(pixelSize);
        l->setFont(f);
    }
    l->move(x, y);
    l->adjustSize();
    return l;
}

QSlider* makeSlider(QWidget* parent, int min, int max, int line, int page, int tick, int pos,
                    const QRect& geometry) {
    auto* s = new QSlider(Qt::Horizontal, parent);
    s->setRange(min, max);
    s->setSingleStep(line);
    s->setPageStep(page);
    s->setTickInterval(tick);
    s->setTickPosition(QSlider::TicksBelow);
    s->setValue(pos);
    s->setGeometry(geometry);
    return s;
}

QSpinBox* makeLevel(QWidget* parent, int min, int max, int value, const QRect& geometry) {
    auto* s = new QSpinBox(parent);
    s->setRange(min, max);
    s->setSingleStep(1);
    s->setWrapping(false);
    s->setValue(value);
    s->setGeometry(geometry);
    return s;
}

// A level control offering the values an engine operation's argument works for.
QSpinBox* makeLevel(QWidget* parent, const engine::Argument& argument, int value,
                    const QRect& geometry) {
    return makeLevel(parent, argument.controlMinimum(), argument.controlMaximum(), value, geometry);
}

QPushButton* makeButton(QWidget* parent, const char* text, const char* hint,
                        const QRect& geometry) {
    auto* b = new QPushButton(QString::fromUtf8(text), parent);
    if (hint) b->setToolTip(QString::fromUtf8(hint));
    b->setGeometry(geometry);
    return b;
}

// A tab page: an upper area for the level rows above a frame of fixed height. Returns the
// upper area.
QWidget* addTab(QTabWidget* tabs, QWidget*& sheet, const char* title, QFrame*& bottom,
                int bottomHeight) {
    sheet = new QWidget;
    tabs->addTab(sheet, QString::fromUtf8(title));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* top = new QWidget(sheet);
    layout->addWidget(top, 1);
    bottom = new QFrame(sheet);
    bottom->setFixedHeight(bottomHeight);
    layout->addWidget(bottom);
    return top;
}

// A level spin box (one widget under its UpDown and Edit names) with the button that
// applies it, on one row.
struct LevelRow {
    QSpinBox** upDown;
    QSpinBox** edit;
    const engine::Argument* argument;
    int value;
    QPushButton** button;
    const char* text;
    const char* hint;
    int y;
};

void addLevelRows(QWidget* parent, std::initializer_list<LevelRow> rows) {
    for (const LevelRow& r : rows) {
        *r.upDown = *r.edit = makeLevel(parent, *r.argument, r.value, QRect(8, r.y, 64, 22));
        *r.button = makeButton(parent, r.text, r.hint, QRect(80, r.y, 92, 22));
    }
}

} // namespace

int ScaledSize(int size, int ratio) {
    return static_cast<int>(static_cast<int64_t>(size) * ratio / 100);
}

// ======================================================================================
// Construction and layout
// ======================================================================================

TFrameForm::TFrameForm(QWidget* parent)
    : QMainWindow(parent), Parameter1(std::make_unique<TParameter>()),
      Dialogs(std::make_unique<TQtFrameDialogs>()) {
    setWindowTitle(QString::fromUtf8(texts::kTitle));
    QFont font(QString::fromUtf8(texts::kFontName));
    font.setPixelSize(12);
    setFont(font);
    CreateControls();
    CreateMenu();
    ConnectHandlers();
    CreateExchange();
    // Design size 658 × 554 including the frame: a client area of 650 × 500 below the menu.
    SetClientSize(650, 500);
    // Files dragged from the file manager are opened (dropEvent).
    setAcceptDrops(true);
    FastPicture1.Stretch = true;
    FastPicture1.OnInvalidate = [this] { FastPicture1View->PictureChanged(); };
    SetViewSize(105, 105);
}

TFrameForm::~TFrameForm() {
    FormDestroy();
    FastPicture1.OnInvalidate = nullptr;
}

void TFrameForm::CreateControls() {
    ClientArea = new QWidget(this);
    setCentralWidget(ClientArea);
    auto* clientLayout = new QHBoxLayout(ClientArea);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);

    // ----- left panel: the three tabs above Panel2 -----
    Panel1 = makePanel(ClientArea, QFrame::Sunken);
    Panel1->setFixedWidth(186);
    clientLayout->addWidget(Panel1);
    auto* leftLayout = new QVBoxLayout(Panel1);
    leftLayout->setContentsMargins(1, 1, 1, 1);
    leftLayout->setSpacing(0);
    PageControl1 = new QTabWidget(Panel1);
    leftLayout->addWidget(PageControl1, 1);
    Panel2 = makePanel(Panel1, QFrame::Sunken);
    Panel2->setFixedHeight(168);
    leftLayout->addWidget(Panel2);

    CreateToneTab();
    CreateQualityTab();
    CreateConversionTab();
    CreateKindPanel();
    CreateView();
}

// The tone tab: five sliders, each with its caption above and its legend below.
void TFrameForm::CreateToneTab() {
    TabSheet1 = new QWidget;
    PageControl1->addTab(TabSheet1, QString::fromUtf8("明るさ"));
    struct SliderRow {
        QLabel** caption;
        const char* captionText;
        QSlider** slider;
        int min, max, line, page, tick, pos;
        TSliderLegend** legend;
        std::initializer_list<std::pair<int, const char*>> marks;
    };
    const SliderRow rows[] = {
        {&Label3,
         "明るさ ( 100 % )",
         &TrackBar2,
         40,
         160,
         2,
         10,
         10,
         100,
         &Label4,
         {{40, "40"}, {100, "100"}, {160, "160"}}},
        {&Label5,
         "コントラスト ( 100 % )",
         &TrackBar3,
         0,
         200,
         2,
         10,
         10,
         100,
         &Label6,
         {{0, "0"}, {100, "100"}, {200, "200"}}},
        {&Label7,
         "ガンマ値 ( 1.00 )",
         &TrackBar4,
         -30,
         30,
         1,
         5,
         5,
         0,
         &Label8,
         {{-30, "0.32"}, {0, "1.00"}, {30, "3.16"}}},
        {&Label9,
         "輝度 ( +0 )",
         &TrackBar5,
         -100,
         100,
         2,
         10,
         20,
         0,
         &Label10,
         {{-100, "-100"}, {0, "0"}, {100, "+100"}}},
        {&Label11,
         "自動補正レベル ( 0 )",
         &TrackBar6,
         0,
         50,
         1,
         2,
         10,
         0,
         &Label17,
         {{0, "0"}, {10, "10"}, {20, "20"}, {30, "30"}, {40, "40"}, {50, "50"}}},
    };
    int y = 6;
    for (const SliderRow& r : rows) {
        *r.caption = makeLabel(TabSheet1, r.captionText, 8, y);
        (*r.caption)->setMinimumWidth(160);
        *r.slider = makeSlider(TabSheet1, r.min, r.max, r.line, r.page, r.tick, r.pos,
                               QRect(2, y + 15, 176, 24));
        *r.legend = new TSliderLegend(*r.slider, y + 40, 11, r.marks);
        y += 58;
    }
    // The automatic-correction slider comes first in the page's tab order.
    QWidget::setTabOrder(TrackBar6, TrackBar2);
    QWidget::setTabOrder(TrackBar2, TrackBar3);
    QWidget::setTabOrder(TrackBar3, TrackBar4);
    QWidget::setTabOrder(TrackBar4, TrackBar5);
}

// The quality tab: filter levels and buttons, pixel format, handle type, JPEG quality.
void TFrameForm::CreateQualityTab() {
    QWidget* top = addTab(PageControl1, TabSheet2, "画質", Panel6, 150);
    addLevelRows(top, {
                          {&UpDown2, &Edit3, &engine::operationArgument("Edge", "Level"), 1,
                           &Button4, "エッジ強調", "左記のレベルでエッジ強調をします。", 10},
                          {&UpDown3, &Edit4, &engine::operationArgument("Median", "Level"), 0,
                           &Button5, "ノイズ除去", "左記のレベルでノイズ除去をします。", 40},
                          {&UpDown4, &Edit5, &engine::operationArgument("Sobel", "Level"), 1,
                           &Button7, "輪郭描画", "左記のレベルで輪郭描画をします。", 70},
                      });
    Button6 = makeButton(top, "ぼかし", "画像をぼかします。", QRect(80, 100, 92, 22));
    Label15 = makeLabel(Panel6, "PixelFormat の値", 8, 4);
    ComboBox2 = new QComboBox(Panel6);
    for (const char* item : {"pfDevice", " pf1bit", " pf4bit", " pf8bit", " pf15bit", " pf16bit",
                             " pf24bit", " pf32bit", " pfcustom"})
        ComboBox2->addItem(QString::fromUtf8(item));
    ComboBox2->setToolTip(QString::fromUtf8("PixelFormat の値を変更します。"));
    ComboBox2->setGeometry(8, 20, 120, 22);
    Label16 = makeLabel(Panel6, "HandleType の値", 8, 50);
    ComboBox3 = new QComboBox(Panel6);
    ComboBox3->addItems({QStringLiteral("bmDIB"), QStringLiteral("bmDDB")});
    ComboBox3->setToolTip(QString::fromUtf8("HandleType の値を変更します。"));
    ComboBox3->setGeometry(8, 66, 120, 22);
    Label19 = makeLabel(Panel6, "JPEGの画質の値", 8, 96);
    UpDown1 = Edit2 = makeLevel(Panel6, 1, 100, 70, QRect(8, 112, 64, 22));
    Label20 = makeLabel(Panel6, "%", 78, 116);
}

// The conversion tab: effect levels and buttons, and the picture-frame effect.
void TFrameForm::CreateConversionTab() {
    QWidget* top = addTab(PageControl1, TabSheet3, "変換", Panel5, 90);
    addLevelRows(top,
                 {
                     {&UpDown5, &Edit6, &engine::operationArgument("Mosaic", "BlockSize"), 2,
                      &Button8, "モザイク", "左記のレベルでモザイク調に変換します。", 8},
                     {&UpDown6, &Edit7, &engine::operationArgument("Posterization", "Levels"), 2,
                      &Button9, "ﾎﾟｽﾀﾘｾﾞｰｼｮﾝ", "左記のレベルで階調変更処理を施します。", 36},
                     {&UpDown7, &Edit8, &engine::operationArgument("Sobel", "Level"), 1, &Button10,
                      "輪郭抽出", "左記のレベルで輪郭抽出を行ないます。", 64},
                     {&UpDown10, &Edit11, &engine::operationArgument("BlackAndWhite", "Threshold"),
                      -1, &Button15, "白黒表示", "左記のレベルで白黒表示に変換します。", 92},
                 });
    Button12 = makeButton(top, "モノクロ", "モノクロ調に変換します。", QRect(8, 122, 80, 22));
    Button14 = makeButton(top, "ネガティブ", "色を反転します。", QRect(92, 122, 80, 22));
    Button13 = makeButton(top, "セピア", "セピア調に変換します。", QRect(8, 148, 80, 22));
    Label13 = makeLabel(Panel5, "額縁の幅", 8, 2);
    UpDown8 = Edit9 =
        makeLevel(Panel5, engine::operationArgument("Framing", "Width"), 1, QRect(8, 18, 60, 22));
    Label14 = makeLabel(Panel5, "コントラスト", 84, 2);
    UpDown9 = Edit10 = makeLevel(Panel5, engine::operationArgument("Framing", "Contrast"), 105,
                                 QRect(84, 18, 60, 22));
    RadioButton1 = new QRadioButton(QString::fromUtf8("左方向の光"), Panel5);
    RadioButton1->setGeometry(8, 44, 90, 20);
    RadioButton1->setChecked(true);
    RadioButton2 = new QRadioButton(QString::fromUtf8("右方向の光"), Panel5);
    RadioButton2->setGeometry(8, 64, 90, 20);
    Button11 = makeButton(Panel5, "額縁調", "額縁調に変換します。", QRect(104, 56, 68, 22));
    PageControl1->setCurrentIndex(0);
}

// Panel2: picture kind, colour readout, display ratio.
void TFrameForm::CreateKindPanel() {
    Panel3 = makePanel(Panel2, QFrame::Raised);
    Panel3->setGeometry(1, 1, 182, 58);
    Label12 = makeLabel(Panel3, "グラフィックの種類", 6, 6);
    ComboBox1 = new QComboBox(Panel3);
    ComboBox1->addItems({QStringLiteral("Empty"), QStringLiteral("JPEG"), QStringLiteral("GIF"),
                         QStringLiteral("Bitmap"), QStringLiteral("Metafile"),
                         QStringLiteral("Icon"), QStringLiteral("Others")});
    ComboBox1->setCurrentIndex(0);
    ComboBox1->setToolTip(QString::fromUtf8("グラフィックの種類を変更します。"));
    ComboBox1->setGeometry(6, 26, 112, 22);
    Panel4 = makePanel(Panel3, QFrame::Raised);
    Panel4->setGeometry(182 - 56 - 2, 2, 56, 54);
    Button2 = makeButton(Panel4, "OK", "現在の画質を基準にします。", QRect(7, 27, 41, 17));

    Label18 = makeLabel(Panel2, "クリック点の色", 8, 64);
    Label21 = makeLabel(Panel2, "$00FFFFFF  =", 8, 82);
    Label21->setMinimumWidth(96);
    Panel7 = makePanel(Panel2, QFrame::Sunken);
    Panel7->setGeometry(110, 64, 65, 29);
    Panel7->setAutoFillBackground(true);
    {
        QPalette pal = Panel7->palette();
        pal.setColor(QPalette::Window, Qt::white);
        Panel7->setPalette(pal);
    }
    Label2 = makeLabel(Panel2, "表示倍率 ( 100 % )", 8, 100);
    Label2->setMinimumWidth(120);
    Button1 =
        makeButton(Panel2, "OK", "現在の大きさを基準( 100 % )にします。", QRect(134, 98, 41, 17));
    TrackBar1 = makeSlider(Panel2, 0, 200, 10, 20, 10, 100, QRect(2, 116, 180, 26));
    Label1 = new TSliderLegend(TrackBar1, 146, 11, {{0, "0"}, {100, "100"}, {200, "200"}});
}

// The view in its scroll box, right of the panel.
void TFrameForm::CreateView() {
    ScrollBox1 = new QScrollArea(ClientArea);
    ScrollBox1->setWidgetResizable(true);
    ScrollContents = new QWidget;
    ScrollBox1->setWidget(ScrollContents);
    static_cast<QHBoxLayout*>(ClientArea->layout())->addWidget(ScrollBox1, 1);
    FastPicture1View = new TPictureView(FastPicture1, ScrollContents);
    FastPicture1View->move(8, 8);
}

void TFrameForm::CreateMenu() {
    MainMenu1 = menuBar();
    auto item = [this](QMenu* menu, QAction*& action, const char* text, QKeySequence key = {}) {
        action = menu->addAction(QString::fromUtf8(text));
        if (!key.isEmpty()) action->setShortcut(key);
    };
    File1 = MainMenu1->addMenu(QString::fromUtf8("ファイル(&F)"));
    item(File1, Open1, "開く(&O)...");
    item(File1, Save1, "保存(&S)...");
    File1->addSeparator();
    item(File1, T2, "印刷設定(&T)...");
    item(File1, V1, "印刷プレビュー(&V)");
    File1->addSeparator();
    item(File1, Exit1, "終了(&X)");

    Edit1 = MainMenu1->addMenu(QString::fromUtf8("編集(&E)"));
    item(Edit1, U1, "アンドウ(&U)", QKeySequence(Qt::CTRL | Qt::Key_Z));
    item(Edit1, O1, "もとの画像(&O)", QKeySequence(Qt::CTRL | Qt::Key_O));
    item(Edit1, L1, "ｸﾘｱｰ(&L)", QKeySequence(Qt::CTRL | Qt::Key_L));
    Edit1->addSeparator();
    item(Edit1, Copy1, "ｺﾋﾟｰ(&C)", QKeySequence(Qt::CTRL | Qt::Key_C));
    item(Edit1, Paste1, "貼り付け(&P)", QKeySequence(Qt::CTRL | Qt::Key_V));
    Edit1->addSeparator();
    item(Edit1, A1, "トリミングエリアの表示(&A)");
    A1->setCheckable(true);
    item(Edit1, T1, "トリミングの実行(&T)");
    T1->setEnabled(false);

    N3 = MainMenu1->addMenu(QString::fromUtf8("減色(&D)"));
    item(N3, Octree2561, "Octree で 256色へ減色");
    item(N3, MedianCut2561, "MedianCut で 256色へ減色");
    item(N3, MedianCutByVariance2561, "MedianCut + 分散で 256色へ減色");
    item(N3, MedianCut2562, "MedianCut + 誤差拡散で 256色へ減色");
    item(N3, MedianCut2563, "MedianCut + 分散 + 誤差拡散で 256色へ減色");
    item(N3, N4, "固定パレット + 誤差拡散で 256色へ減色");
    item(N3, PixelFormat2561, "PixelFormat で 256色へ減色");

    N5 = MainMenu1->addMenu(QString::fromUtf8("回転(&T)"));
    item(N5, N901, "90°回転(&Q)");
    item(N5, N1801, "180°回転(&H)");
    item(N5, N2701, "270°回転(&T)");
    N5->addSeparator();
    item(N5, R1, "反転(&R)");

    O2 = MainMenu1->addMenu(QString::fromUtf8("オプション(&O)"));
    item(O2, S1, "スムーズな拡大・縮小(&S)");
    S1->setCheckable(true);
    O2->addSeparator();
    item(O2, H1, "ヒストグラム(&H)");
    H1->setCheckable(true);

    Help1 = MainMenu1->addMenu(QString::fromUtf8("ﾍﾙﾌﾟ(&H)"));
    item(Help1, H2, "ﾄﾋﾟｯｸの検索(H)", QKeySequence(Qt::Key_F1));
    item(Help1, About1, "ﾊﾞｰｼﾞｮﾝ情報(&A)");
}

void TFrameForm::ConnectHandlers() {
    auto on = [this](auto* sender, auto signal, void (TFrameForm::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { Safely([this, handler] { (this->*handler)(); }); });
    };
    on(TrackBar1, &QSlider::valueChanged, &TFrameForm::TrackBar1Change);
    on(TrackBar2, &QSlider::valueChanged, &TFrameForm::TrackBar2Change);
    on(TrackBar3, &QSlider::valueChanged, &TFrameForm::TrackBar3Change);
    on(TrackBar4, &QSlider::valueChanged, &TFrameForm::TrackBar4Change);
    on(TrackBar5, &QSlider::valueChanged, &TFrameForm::TrackBar5Change);
    on(TrackBar6, &QSlider::valueChanged, &TFrameForm::TrackBar6Change);
    // Combo boxes react to the user's choice only, never to programmatic selection.
    on(ComboBox1, &QComboBox::activated, &TFrameForm::ComboBox1Change);
    on(ComboBox2, &QComboBox::activated, &TFrameForm::ComboBox2Change);
    on(ComboBox3, &QComboBox::activated, &TFrameForm::ComboBox3Change);

    const std::pair<QPushButton*, void (TFrameForm::*)()> buttons[] = {
        {Button1, &TFrameForm::Button1Click},   {Button2, &TFrameForm::Button2Click},
        {Button4, &TFrameForm::Button4Click},   {Button5, &TFrameForm::Button5Click},
        {Button6, &TFrameForm::Button6Click},   {Button7, &TFrameForm::Button7Click},
        {Button8, &TFrameForm::Button8Click},   {Button9, &TFrameForm::Button9Click},
        {Button10, &TFrameForm::Button10Click}, {Button11, &TFrameForm::Button11Click},
        {Button12, &TFrameForm::Button12Click}, {Button13, &TFrameForm::Button13Click},
        {Button14, &TFrameForm::Button14Click}, {Button15, &TFrameForm::Button15Click},
    };
    for (const auto& [button, handler] : buttons)
        on(button, &QPushButton::clicked, handler);

    const std::pair<QAction*, void (TFrameForm::*)()> actions[] = {
        {Open1, &TFrameForm::Open1Click},
        {Save1, &TFrameForm::Save1Click},
        {T2, &TFrameForm::T2Click},
        {V1, &TFrameForm::V1Click},
        {Exit1, &TFrameForm::Exit1Click},
        {U1, &TFrameForm::U1Click},
        {O1, &TFrameForm::O1Click},
        {L1, &TFrameForm::L1Click},
        {Copy1, &TFrameForm::Copy1Click},
        {Paste1, &TFrameForm::Paste1Click},
        {T1, &TFrameForm::T1Click},
        {Octree2561, &TFrameForm::Octree2561Click},
        {MedianCut2561, &TFrameForm::MedianCut2561Click},
        {MedianCutByVariance2561, &TFrameForm::MedianCutByVariance2561Click},
        {MedianCut2562, &TFrameForm::MedianCut2562Click},
        {MedianCut2563, &TFrameForm::MedianCut2563Click},
        {N4, &TFrameForm::N4Click},
        {PixelFormat2561, &TFrameForm::PixelFormat2561Click},
        {N901, &TFrameForm::N901Click},
        {N1801, &TFrameForm::N1801Click},
        {N2701, &TFrameForm::N2701Click},
        {R1, &TFrameForm::R1Click},
        {H2, &TFrameForm::H2Click},
        {About1, &TFrameForm::About1Click},
    };
    for (const auto& [action, handler] : actions)
        on(action, &QAction::triggered, handler);

    // Check items: their handlers toggle the mark themselves (they are also run by the
    // program), so the toggle Qt makes on a menu click is undone first.
    const std::pair<QAction*, void (TFrameForm::*)()> checkItems[] = {
        {A1, &TFrameForm::A1Click}, {S1, &TFrameForm::S1Click}, {H1, &TFrameForm::H1Click}};
    for (const auto& [action, handler] : checkItems) {
        connect(action, &QAction::triggered, this, [this, action = action, handler = handler] {
            action->setChecked(!action->isChecked());
            Safely([this, handler] { (this->*handler)(); });
        });
    }

    // Menu shortcuts win over the level spin boxes' own editing keys.
    for (QAbstractSpinBox* box : findChildren<QAbstractSpinBox*>()) {
        box->installEventFilter(this);
        for (QLineEdit* edit : box->findChildren<QLineEdit*>())
            edit->installEventFilter(this);
    }

    FastPicture1View->OnMouseDown = [this](Qt::MouseButton b, Qt::KeyboardModifiers m, int x,
                                           int y) {
        Safely([&] { FastPicture1MouseDown(b, m, x, y); });
    };
    FastPicture1View->OnMouseMove = [this](Qt::MouseButtons b, Qt::KeyboardModifiers m, int x,
                                           int y) {
        Safely([&] { FastPicture1MouseMove(b, m, x, y); });
    };
}

QAction* TFrameForm::MenuCommandFor(const QKeyEvent* key) const {
    const QKeySequence pressed(key->keyCombination());
    for (QAction* action : {U1, O1, L1, Copy1, Paste1})
        if (action->isEnabled() && action->shortcut() == pressed) return action;
    return nullptr;
}

bool TFrameForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (QAction* action = MenuCommandFor(key)) {
            // Accepting the override keeps the shortcut machinery out; the key press then
            // runs the command here, once, and never reaches the spin box's text.
            event->accept();
            if (event->type() == QEvent::KeyPress) action->trigger();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ======================================================================================
// Exceptions
// ======================================================================================

void TFrameForm::Safely(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

void TFrameForm::ShowException(const std::exception& e) {
    Dialogs->ShowError(this, QString::fromUtf8(e.what()));
}

// ======================================================================================
// Window events
// ======================================================================================

void TFrameForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Safely([this] { FormShow(); });
}

void TFrameForm::closeEvent(QCloseEvent* event) {
    // The close is never refused; a failure to write the settings is shown.
    if (!closed_) {
        closed_ = true;
        Safely([this] { FormCloseQuery(); });
    }
    event->accept();
}

void TFrameForm::FormShow() {
    // A settings file that cannot be loaded (unreadable, a folder in its place, too large)
    // is reported, and the window goes on as on a first run: with the defaults, and with
    // the picture named on the command line.
    try {
        Parameter1->Open();
    } catch (const std::exception& e) {
        Parameter1->Clear();
        ShowException(e);
    }
    if (Parameter1->GetCount() == 0) {
        WriteFirstRunSettings();
    } else {
        // A missing key or a malformed value stops the reading with the settings
        // component's message; the window then goes on with what it has.
        try {
            ReadSettings();
        } catch (const std::exception& e) {
            ShowException(e);
        }
    }
    SourcePath.clear();
    DisplayName.clear();
    SizeText.clear();
    DimensionText.clear();
    DepthText.clear();
    FormatText.clear();
    FastPicture1.picture().clear();
    FastPicture1.Invalidate();
    BaseBitmap = std::make_unique<Bitmap>();
    TrimRect = TRect{0, 0, 100, 100};
    if (!CommandLine.isEmpty()) OpenFromShell(CommandLine.first());
}

void TFrameForm::FormCloseQuery() {
    // The base image and the temporary copy go even when writing the settings fails.
    struct Release {
        TFrameForm& form;
        ~Release() {
            form.BaseBitmap->clear();
            form.DeleteTemporaryCopy();
        }
    } release{*this};
    WriteSettings();
    // The file always starts with its header line, whatever the file read at start held.
    if (Parameter1->GetCount() == 0 || Parameter1->GetLine(0) != SettingsKeys::Header)
        Parameter1->Insert(0, std::string(SettingsKeys::Header));
    Parameter1->Save();
}

void TFrameForm::FormDestroy() {
    // The drop target's registrations end with the window's widgets.
}

// ======================================================================================
// Display ratio
// ======================================================================================

void TFrameForm::SetViewSize(int width, int height) {
    FastPicture1.SetBounds(width, height);
    FastPicture1View->SyncSize();
    ScrollContents->setMinimumSize(width + 16, height + 16);
}

void TFrameForm::TrackBar1Change() {
    int position = TrackBar1->value();
    if (position == 0) {
        // Ratio 0 is not allowed: snap to the tick frequency (the change runs again).
        TrackBar1->setValue(TrackBar1->tickInterval());
        return;
    }
    Label2->setText(SliderCaption(TrackBar1, position));
    TPictureType type = FastPicture1.GetPictureType();
    if (Tag == -1 || type == picNil || type == picIcon) return;
    bool frameOn = TrimFrameOff();
    SetViewSize(ScaledSize(FastPicture1.picture().width(), position),
                ScaledSize(FastPicture1.picture().height(), position));
    if (frameOn) A1Click();
    UpdateCaption();
}

int TFrameForm::FitRatio(int width, int height) {
    int m = std::max(width, height);
    if (m <= 1024) return 100;
    int ratio = (102400 / m) / 10 * 10;
    return ratio == 0 ? 10 : ratio;
}

void TFrameForm::Button1Click() {
    if (TrackBar1->value() == 100) return;
    TPictureType type = FastPicture1.GetPictureType();
    if (type == picNil || type == picIcon) return;
    TrimFrameOff();
    const GraphicKind kind = FastPicture1.picture().graphic()->kind();
    SaveOptions shown;
    shown.width = FastPicture1.Width;
    shown.height = FastPicture1.Height;
    limits::checkPictureSize(shown.width, shown.height);

    if (type == picMetafile) {
        FastPicture1.picture().setGraphic(
            convertPicture(*FastPicture1.picture().graphic(), GraphicKind::Metafile, shown));
        FastPicture1.Invalidate();
        Button2Click();
    } else {
        if (S1->isChecked()) {
            FastPicture1.picture().assign(BaseBitmap.get());
            if (TrackBar1->value() <= 100)
                FastPicture1.Shrink(shown.width, shown.height);
            else
                FastPicture1.Enlarge(shown.width, shown.height);
        } else {
            FastPicture1.picture().setGraphic(
                std::make_unique<Bitmap>(graphicToBitmap(*BaseBitmap, shown.width, shown.height)));
            FastPicture1.Invalidate();
        }
        TakeBase();
        ApplyTone();
    }
    if (kind == GraphicKind::Bitmap && TrackBar6->value() > 0)
        FastPicture1.Automatic(static_cast<unsigned>(TrackBar6->value() - 1));
    // A JPEG or GIF picture goes back to its kind (a JPEG re-encoded at the chosen quality).
    if ((kind == GraphicKind::Jpeg || kind == GraphicKind::Gif) &&
        FastPicture1.picture().graphic()->kind() != kind)
        Document.ConvertKind(kind, UpDown1->value());
    Tag = -1;
    TrackBar1->setValue(100);
    Tag = 0;
    // The picture now has the shown size at 100 %.
    SetViewSize(FastPicture1.picture().width(), FastPicture1.picture().height());
    UpdateCaption();
    RefreshHistogram();
}

void TFrameForm::S1Click() {
    S1->setChecked(!S1->isChecked());
}

// ======================================================================================
// Picture kind
// ======================================================================================

namespace {
// The picture-kind selector's items after "Empty", in their order.
constexpr GraphicKind kSelectorKinds[] = {GraphicKind::Jpeg,   GraphicKind::Gif,
                                          GraphicKind::Bitmap, GraphicKind::Metafile,
                                          GraphicKind::Icon,   GraphicKind::Other};
} // namespace

int TFrameForm::PictureKind() const {
    const Graphic* g = FastPicture1.picture().graphic();
    if (!g) return 0;
    const GraphicKind kind = g->kind();
    for (int i = 0; i < int(std::size(kSelectorKinds)); ++i)
        if (kSelectorKinds[i] == kind) return i + 1;
    return int(std::size(kSelectorKinds));
}

Bitmap* TFrameForm::ViewBitmap() {
    return FastPicture1.picture().as<Bitmap>();
}
const Bitmap* TFrameForm::ViewBitmap() const {
    return FastPicture1.picture().as<Bitmap>();
}

int TFrameForm::PixelFormatIndex() const {
    const Bitmap* bmp = ViewBitmap();
    if (!bmp) bmp = BaseBitmap.get();
    if (!bmp) return 0;
    int index = static_cast<int>(bmp->pixelFormat());
    return index >= 0 && index <= 8 ? index : 0;
}

int TFrameForm::HandleTypeIndex() const {
    const Bitmap* bmp = ViewBitmap();
    if (!bmp) bmp = BaseBitmap.get();
    if (!bmp) return 0;
    return bmp->handleType() == bmDDB ? 1 : 0;
}

void TFrameForm::ComboBox1Change() {
    const int a = PictureKind();
    const int s = ComboBox1->currentIndex();
    // Icons and other pictures are never made; without a picture nothing is converted.
    const bool makeable = s >= 1 && s <= int(std::size(kSelectorKinds)) &&
                          kSelectorKinds[s - 1] != GraphicKind::Icon &&
                          kSelectorKinds[s - 1] != GraphicKind::Other;
    if (s == a || a == 0 || (s != 0 && !makeable)) {
        ComboBox1->setCurrentIndex(a);
        return;
    }
    if (s == 0) {
        L1Click();
        return;
    }
    TrimFrameOff();
    Document.ConvertKind(kSelectorKinds[s - 1], UpDown1->value());
    UpdateCaption();
    RefreshHistogram();
}

// ======================================================================================
// Caption
// ======================================================================================

void TFrameForm::UpdateCaption() {
    const Graphic* g = FastPicture1.picture().graphic();
    if (g) {
        const Bitmap* bmp = ViewBitmap();
        if (!bmp) bmp = BaseBitmap.get();
        DimensionText =
            QStringLiteral("  ( %1 × %2 )").arg(FastPicture1.Width).arg(FastPicture1.Height);
        int depth = bmp ? bmp->bitsPerPixel() : 0;
        if (g->kind() == GraphicKind::Gif) depth = 8;
        DepthText = QStringLiteral("  -  %1 bit Color").arg(depth);
        static const char* const formats[] = {" ( pfDevice - ", " ( pf1bit - ",  " ( pf4bit - ",
                                              " ( pf8bit - ",   " ( pf15bit - ", " ( pf16bit - ",
                                              " ( pf24bit - ",  " ( pf32bit - ", " ( pfcustom - "};
        int index = PixelFormatIndex();
        FormatText =
            QString::fromLatin1(index >= 0 && index <= 8 ? formats[index] : " ( pfUnknown - ");
        int handle = HandleTypeIndex();
        FormatText += QString::fromLatin1(handle == 0   ? "bmDIB )"
                                          : handle == 1 ? "bmDDB )"
                                                        : "bmUnknown )");
        // What reading the file changed (transparency over white, 16 bits rounded to 8).
        if (const std::string note = g->loadNote(); !note.empty())
            FormatText +=
                QStringLiteral("  ( ") + QString::fromStdString(note) + QStringLiteral(" )");
        setWindowTitle(DisplayName + SizeText + DimensionText + DepthText + FormatText);
    } else {
        SourcePath.clear();
        DisplayName.clear();
        SizeText.clear();
        DimensionText.clear();
        DepthText.clear();
        FormatText.clear();
        setWindowTitle(QString::fromUtf8(texts::kTitle));
    }
    ComboBox1->setCurrentIndex(PictureKind());
    ComboBox2->setCurrentIndex(PixelFormatIndex());
    ComboBox3->setCurrentIndex(HandleTypeIndex());
}

// ======================================================================================
// Clicked-colour readout
// ======================================================================================

QString ColorText(uint32_t color) {
    return QStringLiteral("$") +
           QStringLiteral("%1").arg(color, 8, 16, QLatin1Char('0')).toUpper() +
           QStringLiteral("  =");
}

void TFrameForm::FastPicture1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x,
                                       int y) {
    DownPoint = QPoint(x, y);
    if (ComboBox1->currentIndex() == 3) {
        if (const Bitmap* bmp = ViewBitmap()) {
            int ratio = TrackBar1->value();
            int px = x, py = y;
            if (ratio != 100 && ratio > 0) {
                px = static_cast<int>(int64_t(x) * 100 / ratio);
                py = static_cast<int>(int64_t(y) * 100 / ratio);
            }
            // A point beyond the picture (a view not at the slider's ratio) reads nothing.
            if (px >= 0 && py >= 0 && px < bmp->width() && py < bmp->height()) {
                uint32_t color = bmp->pixelColor(px, py);
                QPalette pal = Panel7->palette();
                pal.setColor(QPalette::Window,
                             QColor(GetRValue(color), GetGValue(color), GetBValue(color)));
                Panel7->setPalette(pal);
                Label21->setText(ColorText(color));
            }
        }
    }
    FastPicture1MouseDownTrim(button, shift, x, y);
}

// ======================================================================================
// Settings
// ======================================================================================

namespace {

constexpr BoundsKeys kMainBounds{SettingsKeys::Left, SettingsKeys::Top, SettingsKeys::ClientWidth,
                                 SettingsKeys::ClientHeight, SettingsKeys::WindowState};

} // namespace

// The nine level spin boxes with their keys, in the file's order.
std::vector<std::pair<std::string_view, QSpinBox*>> TFrameForm::LevelKeys() const {
    using namespace SettingsKeys;
    return {
        {JPEGQuality, UpDown1},  {EdgeLevel, UpDown2},   {NoiseLevel, UpDown3},
        {ContourLevel, UpDown4}, {MosaicLevel, UpDown5}, {PosterizeLevel, UpDown6},
        {OutlineLevel, UpDown7}, {FrameWidth, UpDown8},  {FrameContrast, UpDown9},
    };
}

void TFrameForm::SetClientSize(int width, int height) {
    resize(std::max(width, 1), std::max(height, 1) + MainMenu1->sizeHint().height());
}

QSize TFrameForm::ClientSize() const {
    return QSize(width(), height() - MainMenu1->sizeHint().height());
}

void TFrameForm::WriteFirstRunSettings() {
    // A client area of 650 × 500 below the menu bar.
    SetClientSize(650, 500);
    SettingsKeys::WriteFirstRun(*Parameter1, x(), y());
    // The main window's keys then take the controls' values, keeping their places.
    WriteSettings();
}

void TFrameForm::ReadSettings() {
    TParameter& p = *Parameter1;
    using namespace SettingsKeys;
    // A key that is missing or malformed takes its first-run value and its message is
    // shown once everything else has been read, so one bad line loses nothing but itself.
    std::vector<std::string> messages;
    const WindowBounds bounds = ReadWindowBounds(p, kMainBounds, messages, pos());
    PlaceWindow(*this, bounds);
    SetClientSize(bounds.width, bounds.height);
    readPosition_ = QPoint(bounds.left, bounds.top);
    placedPosition_ = pos();
    ApplyWindowState(*this, bounds.state);
    for (const auto& [name, control] : LevelKeys())
        control->setValue(SettingsKeys::ReadInteger(p, name, messages));
    if (SettingsKeys::ReadBool(p, FrameLight, messages))
        RadioButton1->setChecked(true);
    else
        RadioButton2->setChecked(true);
    OpenDir = FromPath(SettingsKeys::ReadString(p, SettingsKeys::OpenDir, messages));
    SaveDir = FromPath(SettingsKeys::ReadString(p, SettingsKeys::SaveDir, messages));
    const bool smooth = SettingsKeys::ReadBool(p, Smooth, messages);
    const bool histogram = SettingsKeys::ReadBool(p, Histgram, messages);
    if (!messages.empty()) ShowException(Exception(JoinMessages(messages)));
    if (smooth) S1Click();
    if (histogram) H1Click();
}

void TFrameForm::WriteSettings() {
    TParameter& p = *Parameter1;
    using namespace SettingsKeys;
    // A far-off position read from the file is written back as it was read while the
    // window has not been moved (Qt cannot hold it).
    const QPoint at = placedPosition_ && pos() == *placedPosition_ ? readPosition_ : pos();
    WriteWindowBounds(p, kMainBounds, *this, at, ClientSize());
    for (const auto& [name, control] : LevelKeys())
        p.WriteInteger(name, control->value());
    p.WriteBool(FrameLight, RadioButton1->isChecked());
    p.WriteString(SettingsKeys::OpenDir, ToPath(OpenDir).native());
    p.WriteString(SettingsKeys::SaveDir, ToPath(SaveDir).native());
    p.WriteBool(Smooth, S1->isChecked());
    if (H1->isChecked() && HistgramForm) HistgramForm->WriteBounds();
    p.WriteBool(Histgram, H1->isChecked());
}
