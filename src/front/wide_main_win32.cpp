#include "front/wide_main_win32.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "common/console.h"
#include "front/wide_args_win32.h"

int run_wide_main(int argc, wchar_t** wargv, const WideProgram& program) {
    // In text mode the C runtime writes CR LF for "\n"; every line the tool
    // prints must end in the single byte 0x0A, for scripts that compare bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    Utf8Args args;  // about 240 KiB: well inside the 1 MiB default stack
    const int bad = utf8_args_from_wide(argc, wargv, args);
    // A wrong argument count is judged first, with the usage text as always.
    if (args.argc >= program.min_argc && args.argc <= program.max_argc && bad != 0) {
        print_err("ERR argument %d is not valid Unicode (unpaired surrogate)\n", bad);
        return kExitUsage;
    }
    return program.run(args.argc, args.argv);
}
