#include "app/Application.h"
#include "app/Frame.h"
#include "platform/Limits.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    InitializePlatform();
    // Beside the picture in view the window holds the 24-bit base picture and a 32-bit
    // display copy: readers refuse pictures whose total would not fit in memory.
    limits::setHeldBytesPerPixel(3 + 4);
    TFrameForm frame;
    // Taken as bytes (Qt has removed its own options from argv): a name that is not valid
    // UTF-8 still opens.
    for (int i = 1; i < argc; ++i)
        frame.CommandLine << FromPath(argv[i]);
    frame.show();
    return app.exec();
}
