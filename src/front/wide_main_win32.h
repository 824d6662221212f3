#pragma once

#include "common/exit_status.h"

// The wide entry point both programs share: wmain hands its UTF-16 arguments
// here, and the program's own main runs on them as UTF-8.

struct WideProgram {
    // The program's main without the process set-up.
    ExitStatus (*run)(int argc, char** argv);
    // Argument counts (program name included) that `run` accepts: an argument
    // that is not valid Unicode is reported only within them; outside them
    // `run` answers with its usage text, as for any wrong count.
    int min_argc;
    int max_argc;
};

int run_wide_main(int argc, wchar_t** wargv, const WideProgram& program);
