// TApplication: the application object. Its event dispatch is the framework's default
// exception handler: an exception that leaves an event handler is shown in a message
// box and the program goes on.
#pragma once

#include <functional>

#include <QApplication>

class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows an exception's message (a message box unless replaced, for example by tests).
    static void HandleException(const std::exception& e);
    static std::function<void(const QString&)>& ExceptionSink();
};

// Start-up work shared by the program and its tests: the Japanese font substitution,
// Qt's Japanese translations, the screen facts and the picture formats.
void InitializePlatform();
