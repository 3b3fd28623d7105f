#include "app/Application.h"

#include <memory>

#include <QFont>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QScreen>
#include <QTranslator>

#include "app/FrameTexts.h"
#include "formats/PictureIO.h"
#include "platform/Screen.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        HandleException(e);
    }
    return false;
}

std::function<void(const QString&)>& TApplication::ExceptionSink() {
    static std::function<void(const QString&)> sink;
    return sink;
}

void TApplication::HandleException(const std::exception& e) {
    QString text = QString::fromUtf8(e.what());
    if (ExceptionSink()) {
        ExceptionSink()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

void InitializePlatform() {
    // fontconfig would answer the Windows font name with a Latin font; a Japanese
    // proportional gothic keeps the texts' look.
    QFont::insertSubstitution(QString::fromUtf8(texts::kFontName),
                              QString::fromUtf8(texts::kSubstituteFont));

    // Qt's own dialogs (file dialogs, message box buttons) speak Japanese.
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QStringLiteral("qtbase_ja"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        translator->setParent(qApp);
        QCoreApplication::installTranslator(translator.release());
    }

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        ScreenInfo info;
        info.widthPx = screen->size().width();
        info.heightPx = screen->size().height();
        info.widthMm = std::max(1, static_cast<int>(screen->physicalSize().width() + 0.5));
        info.heightMm = std::max(1, static_cast<int>(screen->physicalSize().height() + 0.5));
        info.logPixelsX = std::max(1, static_cast<int>(screen->logicalDotsPerInchX() + 0.5));
        info.logPixelsY = std::max(1, static_cast<int>(screen->logicalDotsPerInchY() + 0.5));
        info.bitsPerPixel = screen->depth();
        setScreenInfo(info);
    }
    registerPictureFormats();
}
