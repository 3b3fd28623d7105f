#include <memory>

#include "app/Application.h"
#include "app/Frame.h"
#include "document/PicturePreload.h"
#include "platform/Limits.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    InitializePlatform();
    // Beside the picture in view the window holds the 24-bit base picture and a 32-bit
    // display copy: readers refuse pictures whose total would not fit in memory.
    limits::setHeldBytesPerPixel(3 + 4);
    // Taken as bytes (Qt has removed its own options from argv): a name that is not valid
    // UTF-8 still opens.
    QStringList commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine << FromPath(argv[i]);
    // The picture to open is read and decoded while the window is being built.
    auto preload =
        commandLine.isEmpty() ? nullptr : std::make_unique<TPicturePreload>(commandLine.first());
    TFrameForm frame;
    frame.CommandLine = commandLine;
    frame.Document.Preload = std::move(preload);
    frame.show();
    return app.exec();
}
