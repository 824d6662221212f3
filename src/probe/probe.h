#pragma once

#include <cstddef>
#include <cstdint>

#include "common/exit_status.h"

struct UsbIdFilter;

// The companion program, lumaris_serial_probe: which port, is the controller
// ready, what state is it in. It never changes the controller's state:
// `ports` and `find` open no port, `ready` sends only the version query and
// `state` only the state query.

// What only the Windows build can answer (the port listing and what Windows
// knows of a port's USB device), handed in by main so that the commands
// build and are tested on any platform.
struct ProbeHost {
    // The `ports` command: one line per COM port and a summary.
    ExitStatus (*list_ports)();
    // The `find` command: the one port whose USB device matches, or a FAIL.
    ExitStatus (*find_ports)(const UsbIdFilter& filter);
    // The chip of the board behind the port when its own microcontroller does
    // USB (native USB), or nullptr: not such a board, or Windows does not know.
    const char* (*native_usb_chip)(const char* port_name);
};

// main without the process set-up.
ExitStatus run_probe_main(int argc, char** argv, const ProbeHost& host);

extern const char kProbeUsageText[];

// Waits up to 30 s for the controller to answer the version query.
ExitStatus probe_ready(const char* port_name, const char* (*native_usb_chip)(const char* port_name));

// One `key=value` of `state`: the key's index among on, bri, live, leds, ver,
// name (the OK line's order) and the value expected.
struct StateCheck {
    std::size_t key;
    const char* value;
};

// False for an unknown key or a text without `=`.
bool parse_state_check(const char* arg, StateCheck& out);

// Asks for the controller's state, prints what it reports and a FAIL line for
// each check the report does not meet.
ExitStatus probe_state(const char* port_name, const StateCheck* checks, std::size_t check_count);

// The NOTE after a result that other text (a board's boot messages) preceded.
void print_other_text_note(std::uint32_t other_bytes);
