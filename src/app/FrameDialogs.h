// The dialogs the main window shows: file choosing and message boxes. The window asks
// through this interface so that tests can answer in place of a user.
#pragma once

#include <QString>

class QWidget;

// The program's title in message boxes and the About box: the executable's name without
// its last extension only ("pixel.wright" stays whole).
QString ApplicationTitle(const QString& executablePath);
QString ApplicationTitle();

class TFrameDialogs {
public:
    virtual ~TFrameDialogs() = default;

    // Asks for a file to open, starting in dir; filterIndex counts the filter's entries
    // from 1. Returns the chosen path, or an empty string when cancelled.
    virtual QString OpenFile(QWidget* parent, const QString& dir, const QString& filter,
                             int filterIndex) = 0;
    // Asks for a name to save under (prompting before overwriting), starting in dir with
    // proposedName filled in. Returns the chosen path, or an empty string when cancelled.
    virtual QString SaveFile(QWidget* parent, const QString& title, const QString& dir,
                             const QString& proposedName, const QString& filter,
                             int filterIndex) = 0;
    // A plain message box with an OK button.
    virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
    // The box the default exception handler shows.
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
};

// The real dialogs: QFileDialog and QMessageBox.
class TQtFrameDialogs : public TFrameDialogs {
public:
    QString OpenFile(QWidget* parent, const QString& dir, const QString& filter,
                     int filterIndex) override;
    QString SaveFile(QWidget* parent, const QString& title, const QString& dir,
                     const QString& proposedName, const QString& filter, int filterIndex) override;
    void ShowMessage(QWidget* parent, const QString& text) override;
    void ShowError(QWidget* parent, const QString& text) override;
};
