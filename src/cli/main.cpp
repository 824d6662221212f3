#include "cli/cli.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    // In text mode the C runtime writes CR LF for "\n"; every line the tool
    // prints must end in the single byte 0x0A, for scripts that compare bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    return run_main(argc, argv);
}
