#include "app/Application.h"
#include "app/Frame.h"

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    InitializePlatform();
    TFrameForm frame;
    frame.CommandLine = app.arguments().mid(1);
    frame.show();
    return app.exec();
}
