#include "cli/cli.h"
#include "front/wide_main_win32.h"

// The wide entry point: the arguments arrive as UTF-16 and are converted to
// UTF-8 in the shared front end, never through the ANSI code page (MinGW
// links this with -municode).
int wmain(int argc, wchar_t** wargv) { return run_wide_main(argc, wargv, WideProgram{run_main, 3, 3}); }
