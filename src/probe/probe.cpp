#include "probe/probe.h"

#include <cstring>

#include "common/console.h"
#include "front/port_name.h"

const char kProbeUsageText[] =
    "usage: lumaris_serial_probe ports\n"
    "       lumaris_serial_probe <COMn> ready\n"
    "       lumaris_serial_probe <COMn> state\n";

namespace {

struct CommandRow {
    const char* name;
    ExitStatus (*run)(const char* port_name, const ProbeHost& host);
};

ExitStatus run_ready(const char* port_name, const ProbeHost& host) {
    return probe_ready(port_name, host.native_usb_chip);
}

ExitStatus run_state(const char* port_name, const ProbeHost&) { return probe_state(port_name); }

// The commands that take a port, matched exactly and case-sensitively.
const CommandRow kPortCommands[] = {
    {"ready", run_ready},
    {"state", run_state},
};

}  // namespace

ExitStatus run_probe_main(int argc, char** argv, const ProbeHost& host) {
    if (argc == 2 && std::strcmp(argv[1], "ports") == 0) {
        return host.list_ports();
    }
    if (argc != 3) {
        print_err_lines(kProbeUsageText);
        return kExitUsage;
    }
    const char* port_name = argv[1];
    const char* command = argv[2];
    if (!is_com_port_name(port_name)) {
        print_err("ERR invalid port name (expected COM<digits>, got '%s')\n", port_name);
        return kExitUsage;
    }
    // Unlike the spike's steps, the command is judged before any port is
    // opened: opening resets some boards, and a typo must not.
    for (const CommandRow& row : kPortCommands) {
        if (std::strcmp(row.name, command) == 0) {
            return row.run(port_name, host);
        }
    }
    print_err("ERR unknown command '%s'\n", command);
    print_err_lines(kProbeUsageText);
    return kExitUsage;
}
