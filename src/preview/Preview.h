// TPreviewForm: the modal print preview window. It hosts one TGraphicPreview
// (GraphicPreview1), click panels that show and step the preview's settings, the print
// rectangle in pixels and millimetres, the information button and the print button. Its
// bounds and the three preview settings persist in the main window's settings store.
//
// The main window creates it for one modal showing:
//   TPreviewSource source{&picture, viewWidth, viewHeight, jpegQuality, &settings};
//   TPreviewForm form(source, this);
//   form.exec();
#pragma once

#include <functional>

#include <QDialog>
#include <QLabel>

class Graphic;
class QPrinter;
class QPushButton;
class TGraphicPreview;
class TParameter;

// What the window reads from its owner.
struct TPreviewSource {
    const Graphic* picture = nullptr; // the picture in view
    int width = 0;                    // its displayed size
    int height = 0;
    int jpegQuality = 90; // the JPEG quality control's position
    TParameter* settings = nullptr;
    // The print dialog: shown on printer; true when confirmed, with the copy count. Null
    // shows QPrintDialog.
    std::function<bool(QPrinter& printer, int& copies, QWidget* parent)> printDialog;
    // The printer to preview and print on (null: the program's shared printer).
    QPrinter* printer = nullptr;
};

// A panel that acts on a mouse press.
class TClickPanel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void(Qt::MouseButton, Qt::KeyboardModifiers)> OnPress;

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

class TPreviewForm : public QDialog {
    Q_OBJECT
public:
    explicit TPreviewForm(const TPreviewSource& source, QWidget* parent = nullptr);
    ~TPreviewForm() override;

    QWidget* Panel1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    TClickPanel* Panel2 = nullptr;
    TClickPanel* Panel3 = nullptr;
    TClickPanel* Panel4 = nullptr;
    TClickPanel* Panel5 = nullptr;
    TGraphicPreview* GraphicPreview1 = nullptr;
    QWidget* Panel6 = nullptr;
    TClickPanel* Panel7 = nullptr;
    TClickPanel* Panel8 = nullptr;
    TClickPanel* Panel9 = nullptr;
    TClickPanel* Panel10 = nullptr;
    TClickPanel* Panel11 = nullptr;
    TClickPanel* Panel12 = nullptr;
    TClickPanel* Panel13 = nullptr;
    TClickPanel* Panel14 = nullptr;
    QPushButton* Button3 = nullptr;

    void FormShow();
    void FormCloseQuery();
    void LoadPicture();
    void UpdateLabels();
    void Button1Click();
    void Button3Click();
    // The click panels' handlers.
    void Panel2MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void Panel3MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void Panel4MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void Panel5MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void PixelPanelMouseDown(int panel, Qt::MouseButton button, Qt::KeyboardModifiers shift);
    void MMPanelMouseDown(int panel, Qt::MouseButton button, Qt::KeyboardModifiers shift);

    // The step of a press: the first held key in the order Ctrl, Shift, Alt, else none.
    template <class T> static T StepOf(Qt::KeyboardModifiers shift, T ctrl, T sh, T alt, T none) {
        if (shift & Qt::ControlModifier) return ctrl;
        if (shift & Qt::ShiftModifier) return sh;
        if (shift & Qt::AltModifier) return alt;
        return none;
    }

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    // Shows the message of an exception that left a handler; the window stays usable.
    void Safely(const std::function<void()>& handler);

    TPreviewSource source_;
    bool shown_ = false;
    bool closed_ = false;
};
