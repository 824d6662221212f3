#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/cli.h"
#include "cli/wide_args_win32.h"
#include "common/console.h"

// The wide entry point: the arguments arrive as UTF-16 and are converted to
// UTF-8 here, never through the ANSI code page (MinGW links this with -municode).
int wmain(int argc, wchar_t** wargv) {
    // In text mode the C runtime writes CR LF for "\n"; every line the tool
    // prints must end in the single byte 0x0A, for scripts that compare bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    Utf8Args args;  // about 240 KiB: well inside the 1 MiB default stack
    const int bad = utf8_args_from_wide(argc, wargv, args);
    // A wrong argument count is judged first, with the usage text as always.
    if (args.argc == 3 && bad != 0) {
        print_err("ERR argument %d is not valid Unicode (unpaired surrogate)\n", bad);
        return kExitUsage;
    }
    return run_main(args.argc, args.argv);
}
