#pragma once

#include "common/exit_status.h"

// The companion program, lumaris_serial_probe: which port, is the controller
// ready, what state is it in. It never changes the controller's state:
// `ports` opens no port, `ready` sends only the version query and `state`
// only the state query.

// What only the Windows build can answer (the port listing and what Windows
// knows of a port's USB device), handed in by main so that the commands
// build and are tested on any platform.
struct ProbeHost {
    // The `ports` command: one line per COM port and a summary.
    ExitStatus (*list_ports)();
    // The chip of the board behind the port when its own microcontroller does
    // USB (native USB), or nullptr: not such a board, or Windows does not know.
    const char* (*native_usb_chip)(const char* port_name);
};

// main without the process set-up.
ExitStatus run_probe_main(int argc, char** argv, const ProbeHost& host);

extern const char kProbeUsageText[];

// Waits up to 30 s for the controller to answer the version query.
ExitStatus probe_ready(const char* port_name, const char* (*native_usb_chip)(const char* port_name));

// Asks for the controller's state and prints what it reports.
ExitStatus probe_state(const char* port_name);
