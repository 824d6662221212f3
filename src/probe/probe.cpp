#include "probe/probe.h"

#include <cstring>
#include <vector>

#include "common/console.h"
#include "front/port_name.h"
#include "ports/ports.h"

const char kProbeUsageText[] =
    "usage: lumaris_serial_probe ports\n"
    "       lumaris_serial_probe find <VID:PID>[:<serial>]\n"
    "       lumaris_serial_probe <COMn> ready\n"
    "       lumaris_serial_probe <COMn> state [<key>=<value> ...]\n"
    "       lumaris_serial_probe <COMn> stream [seconds=S] [fps=F] [leds=N]\n"
    "  <key>: on | bri | live | leds | ver | name\n"
    "  S: 1-3600 (30), F: 1-300 (30), N: 1-2048 (what the controller reports)\n";

namespace {

ExitStatus usage() {
    print_err_lines(kProbeUsageText);
    return kExitUsage;
}

ExitStatus run_find(int argc, char** argv, const ProbeHost& host) {
    if (argc != 3) {
        return usage();
    }
    UsbIdFilter filter{};
    if (!parse_usb_id_filter(argv[2], filter)) {
        print_err("ERR invalid USB id '%s' (expected VID:PID or VID:PID:serial in hex)\n", argv[2]);
        return kExitUsage;
    }
    return host.find_ports(filter);
}

ExitStatus run_state(int argc, char** argv, const ProbeHost& host) {
    std::vector<StateCheck> checks(static_cast<std::size_t>(argc - 3));
    for (int i = 3; i < argc; ++i) {
        if (!parse_state_check(argv[i], checks[static_cast<std::size_t>(i - 3)])) {
            print_err(
                "ERR invalid check '%s' (expected <key>=<value>, <key> one of on bri live leds ver name)\n",
                argv[i]);
            return usage();
        }
    }
    return probe_state(argv[1], checks.data(), checks.size(), host.native_usb_chip);
}

}  // namespace

// Everything on the command line is judged before any port is opened, unlike
// the spike's steps: opening resets some boards, and a typo must not.
ExitStatus run_probe_main(int argc, char** argv, const ProbeHost& host) {
    if (argc >= 2 && std::strcmp(argv[1], "ports") == 0) {
        return argc == 2 ? host.list_ports() : usage();
    }
    if (argc >= 2 && std::strcmp(argv[1], "find") == 0) {
        return run_find(argc, argv, host);
    }
    if (argc < 3) {
        return usage();
    }
    const char* port_name = argv[1];
    const char* command = argv[2];
    if (!is_com_port_name(port_name)) {
        print_err("ERR invalid port name (expected COM<digits>, got '%s')\n", port_name);
        return kExitUsage;
    }
    if (std::strcmp(command, "state") == 0) {
        return run_state(argc, argv, host);
    }
    if (std::strcmp(command, "stream") == 0) {
        StreamArgs args{};
        if (!parse_stream_args(argv + 3, argc - 3, args)) {
            print_err(
                "ERR invalid stream arguments (expected seconds=1-3600 fps=1-300 leds=1-2048, each once)\n");
            return usage();
        }
        return probe_stream(port_name, args, host.native_usb_chip);
    }
    if (std::strcmp(command, "ready") == 0) {
        return argc == 3 ? probe_ready(port_name, host.native_usb_chip) : usage();
    }
    print_err("ERR unknown command '%s'\n", command);
    return usage();
}
