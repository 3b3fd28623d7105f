// THistgramForm: the tool window that shows the colour histogram of the document's
// picture. It stays on top, keeps its bounds in the main window's settings and redraws
// whenever the main window refreshes it. It knows the main window only through the small
// THistgramHost interface.
#pragma once

#include <functional>
#include <memory>

#include <QWidget>

class Graphic;
class TDocument;
class TParameter;

// What the histogram window needs from the window that owns it.
class THistgramHost {
public:
    virtual ~THistgramHost() = default;
    // The document whose picture is counted.
    virtual TDocument& HistgramDocument() = 0;
    // The settings the window's bounds are kept in.
    virtual TParameter& HistgramSettings() = 0;
    // Runs work with anything the owner draws over the picture's pixels (the trimming
    // frame) taken out, and puts it back afterwards, also when work throws.
    virtual void WithoutOverlay(const std::function<void()>& work) = 0;
    // Told when the histogram window is shown or closed (the menu item's check mark).
    virtual void HistgramShown(bool shown) = 0;
};

class THistgramForm : public QWidget {
    Q_OBJECT
public:
    THistgramForm(QWidget* parent, THistgramHost& host);
    ~THistgramForm() override;

    // The histogram picture shown stretched over the whole client area.
    void SetImage(std::unique_ptr<Graphic> picture);
    const Graphic* Image() const { return image_.get(); }

    // Restores the bounds from the settings, shows the window, draws the histogram and
    // tells the host it is shown.
    void FormShow();
    // Draws the histogram of the document's picture.
    void DrawHistogram();
    // Writes the bounds (unless maximised) and the window state to the settings.
    void WriteBounds();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    THistgramHost& host_;
    std::unique_ptr<Graphic> image_;
};
