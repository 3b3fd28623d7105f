// pwtool: runs the picture engine from the command line (see cli/Cli.h).
#include "cli/Cli.h"
#include "platform/Limits.h"

int main(int argc, char** argv) {
    // Beside the picture as read, a conversion holds a 24-bit working copy and the
    // encoder's buffers: about 5 bytes a pixel at its peak (measured converting to JPEG).
    limits::setHeldBytesPerPixel(5);
    return cli::main(argc, argv);
}
