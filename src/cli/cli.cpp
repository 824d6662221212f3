#include "cli/cli.h"

#include <cstring>

#include "common/clock.h"
#include "common/console.h"
#include "front/port_name.h"
#include "protocol/messages.h"
#include "steps/steps.h"

const char kUsageText[] =
    "usage: lumaris_serial_spike <COMn> <step>\n"
    "  <step>: v | fill-red | fill-green | fill-blue | bri50 | off | on |\n"
    "          unplug-loop | all\n";

namespace {

// What a row's procedure is given besides the port comes from the row itself;
// only unplug-loop is given the port name, and only it may close the port.
struct StepRow {
    const char* name;
    ExitStatus (*run)(PortHandle port, const StepRow& row);
    // Set instead of `run` for unplug-loop: `port` by reference, so that a
    // step that closes the port hands back kInvalidPort and main does not
    // close it a second time.
    ExitStatus (*run_with_name)(PortHandle& port, const char* port_name);
    Rgb colour;
    const char* colour_name;
};

ExitStatus run_version(PortHandle port, const StepRow&) { return step_version(port); }

ExitStatus run_fill(PortHandle port, const StepRow& row) {
    return step_fill(port, row.colour.r, row.colour.g, row.colour.b, row.colour_name);
}

ExitStatus run_bri50(PortHandle port, const StepRow&) { return step_bri50(port); }
ExitStatus run_off(PortHandle port, const StepRow&) { return step_power(port, Power::off); }
ExitStatus run_on(PortHandle port, const StepRow&) { return step_power(port, Power::on); }
ExitStatus run_all(PortHandle port, const StepRow&) { return step_all(port); }

// Matched in order, exact and case-sensitive; the first match runs.
const StepRow StepTable[] = {
    {"v", run_version, nullptr, {0, 0, 0}, nullptr},
    {"fill-red", run_fill, nullptr, {255, 0, 0}, "red"},
    {"fill-green", run_fill, nullptr, {0, 255, 0}, "green"},
    {"fill-blue", run_fill, nullptr, {0, 0, 255}, "blue"},
    {"bri50", run_bri50, nullptr, {0, 0, 0}, nullptr},
    {"off", run_off, nullptr, {0, 0, 0}, nullptr},
    {"on", run_on, nullptr, {0, 0, 0}, nullptr},
    {"unplug-loop", nullptr, step_unplug_loop, {0, 0, 0}, nullptr},
    {"all", run_all, nullptr, {0, 0, 0}, nullptr},
};

const StepRow* find_step(const char* name) {
    for (const StepRow& row : StepTable) {
        if (std::strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

// The full sequence: which rows of the step table run, in order, and the pause
// after each.
struct ScheduleRow {
    const char* step;
    std::uint32_t pause_after_ms;
};

const ScheduleRow kFullSequence[] = {
    {"v", 250},      {"fill-red", 500}, {"fill-green", 500}, {"fill-blue", 500},
    {"bri50", 1000}, {"off", 250},      {"on", 0},
};

ExitStatus run_scheduled(PortHandle port, const ScheduleRow& entry) {
    // Every scheduled name is a row of the table with a `run` procedure: none
    // of them is given the port name, and none closes the port.
    const StepRow* row = find_step(entry.step);
    return row->run(port, *row);
}

}  // namespace

ExitStatus step_power(PortHandle port, Power power) {
    const bool on = power == Power::on;
    const char* word = on ? "on" : "off";
    ErrorCode code = 0;
    const bool ok = on ? write_timed(port, as_bytes(CMD_POWER_ON), CMD_POWER_ON_LEN, code)
                       : write_timed(port, as_bytes(CMD_POWER_OFF), CMD_POWER_OFF_LEN, code);
    if (!ok) {
        print_out("FAIL %s code=%lu\n", word, as_ulong(code));
        return kExitFail;
    }
    print_out("OK %s\n", word);
    return kExitPass;
}

ExitStatus step_all(PortHandle port) {
    constexpr std::size_t kChecks = sizeof(kFullSequence) / sizeof(kFullSequence[0]);
    ExitStatus result = run_scheduled(port, kFullSequence[0]);
    for (std::size_t i = 1; i < kChecks; ++i) {
        // Pauses are part of the schedule and run whatever the result, so a
        // failing run keeps the same timing as a passing one.
        sleep_ms(kFullSequence[i - 1].pause_after_ms);
        if (result == kExitPass) {
            result = run_scheduled(port, kFullSequence[i]);
        }
    }
    print_out(
        "NOTE: run `unplug-loop` separately \xE2\x80\x94"
        " it requires an interactive unplug/replug.\n");
    return result;
}

ExitStatus run_main(int argc, char** argv) {
    if (argc != 3) {
        print_err_lines(kUsageText);
        return kExitUsage;
    }
    const char* port_name = argv[1];
    const char* step_name = argv[2];

    if (!is_com_port_name(port_name)) {
        print_err("ERR invalid port name (expected COM<digits>, got '%s')\n", port_name);
        return kExitUsage;
    }

    // The port is opened before the step name is judged, so an unknown step
    // on a working port still proves that the port opens and configures.
    ErrorCode code = 0;
    PortHandle port = open_port(port_name, code);
    if (!port_is_open(port)) {
        print_err("ERR open %s code=%lu\n", port_name, as_ulong(code));
        return kExitFail;
    }

    const StepRow* row = find_step(step_name);
    if (row == nullptr) {
        print_err("ERR unknown step '%s'\n", step_name);
        print_err_lines(kUsageText);
        close_port(port);
        return kExitUsage;
    }

    const ExitStatus status =
        row->run_with_name != nullptr ? row->run_with_name(port, port_name) : row->run(port, *row);
    if (port_is_open(port)) {
        close_port(port);
    }
    return status;
}
