#include "app/Application.h"
#include "app/Frame.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    InitializePlatform();
    TFrameForm frame;
    // Taken as bytes (Qt has removed its own options from argv): a name that is not valid
    // UTF-8 still opens.
    for (int i = 1; i < argc; ++i)
        frame.CommandLine << FromPath(argv[i]);
    frame.show();
    return app.exec();
}
