#pragma once

#include "common/exit_status.h"
#include "link/link.h"

// The command-line front end: argument rules, the step table, the power steps
// and the full sequence. `run_main` is main without the process set-up.

ExitStatus run_main(int argc, char** argv);

enum class Power { off, on };
ExitStatus step_power(PortHandle port, Power power);

ExitStatus step_all(PortHandle port);

extern const char kUsageText[];
