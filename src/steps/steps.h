#pragma once

#include <cstdint>

#include "common/exit_status.h"
#include "link/link.h"

// The checks that talk to the controller. Each prints its own result lines
// and leaves the port open, except step_unplug_loop (see below).

// Sends the version query and judges the reply line (collected for about 2 s).
ExitStatus step_version(PortHandle port);

// Paints all LEDs one colour; `name` is the colour word of the result line.
ExitStatus step_fill(PortHandle port, std::uint8_t r, std::uint8_t g, std::uint8_t b, const char* name);

// White frame, 25 ms gap, then brightness 50 by JSON.
ExitStatus step_bri50(PortHandle port);

// Interactive unplug/replug test. When a write fails the step closes the port
// it was lent and sets `port` to kInvalidPort, so the caller closes only a
// port that is still open.
ExitStatus step_unplug_loop(PortHandle& port, const char* port_name);
