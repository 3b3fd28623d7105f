// pwtool: runs the picture engine from the command line (see cli/Cli.h).
#include "cli/Cli.h"

int main(int argc, char** argv) {
    return cli::main(argc, argv);
}
