#include "front/wide_args_win32.h"
#include "front/wide_main_win32.h"
#include "ports/ports.h"
#include "probe/probe.h"

namespace {

// `ready` asks only whether a silent board is one whose own microcontroller
// does USB; the lookup is the one `ports` uses.
const char* native_usb_chip(const char* port_name) {
    UsbIdentity id{};
    if (!find_usb_identity(port_name, id) || !id.usb || !is_native_usb_board(id.vid, id.pid)) {
        return nullptr;
    }
    const char* name = chip_name(id.vid, id.pid);
    return name != nullptr ? name : "native USB";
}

const ProbeHost kWindows = {list_ports, find_ports, native_usb_chip};

ExitStatus run(int argc, char** argv) { return run_probe_main(argc, argv, kWindows); }

}  // namespace

// The wide entry point shared with lumaris_serial_spike (MinGW links this
// with -municode): `ports` takes no argument, `state` any number of checks.
int wmain(int argc, wchar_t** wargv) { return run_wide_main(argc, wargv, WideProgram{run, 2, kMaxWideArgs}); }
