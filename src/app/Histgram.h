// THistgramForm: the tool window that shows the colour histogram of the main window's
// picture. It stays on top, keeps its bounds in the main window's settings and redraws
// whenever the main window refreshes it.
#pragma once

#include <memory>

#include <QWidget>

class Graphic;
class TFrameForm;

class THistgramForm : public QWidget {
    Q_OBJECT
public:
    explicit THistgramForm(TFrameForm* owner);
    ~THistgramForm() override;

    // The histogram picture shown stretched over the whole client area.
    void SetImage(std::unique_ptr<Graphic> picture);
    const Graphic* Image() const { return image_.get(); }

    // Restores the bounds from the settings, shows the window, draws the histogram and
    // checks the main window's menu item.
    void FormShow();
    // Draws the histogram of the main window's picture (the trimming frame, drawn into
    // the picture's pixels, is taken out while counting).
    void DrawHistogram();
    // Writes the bounds (unless maximised) and the window state to the settings.
    void WriteBounds();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    TFrameForm* owner_;
    std::unique_ptr<Graphic> image_;
};
