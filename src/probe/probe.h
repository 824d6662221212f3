#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/exit_status.h"

struct UsbIdFilter;

// The companion program, lumaris_serial_probe: which port, is the controller
// ready, what state is it in, does it survive a sender's stream. It never
// changes the controller's state: `ports` and `find` open no port, `ready`
// sends only the version query, `state` only the state query, and `stream`
// Adalight frames (shown only while they arrive) and the two queries.

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
ExitStatus probe_state(const char* port_name, const StateCheck* checks, std::size_t check_count,
                       const char* (*native_usb_chip)(const char* port_name));

// `stream`: Adalight frames at a sender's pace, then the version query.
// Arguments 0 mean "not given" (seconds 30, fps 30, leds from the state).
struct StreamArgs {
    std::uint32_t seconds;
    std::uint32_t fps;
    std::uint32_t leds;
};

// False for an unknown, repeated, malformed or out-of-range argument.
bool parse_stream_args(char** args, int count, StreamArgs& out);

ExitStatus probe_stream(const char* port_name, const StreamArgs& args,
                        const char* (*native_usb_chip)(const char* port_name));

// The schedule: slot k starts k * period_num / period_den ns after the start.
struct StreamSchedule {
    std::uint32_t frames;  // slots in the stream
    std::int64_t period_num;
    std::int64_t period_den;
    bool at_ceiling;  // the asked rate is over what the line carries
};

constexpr std::uint32_t kLineBytesPerSecond = 11520;  // 115200 baud, 8N1

StreamSchedule plan_stream(std::uint32_t seconds, std::uint32_t fps, std::uint32_t leds);
std::int64_t slot_offset_ns(const StreamSchedule& schedule, std::uint32_t k);

// The nearest-rank percentile (1..100) of `values`, reordered; 0 when empty.
std::int64_t percentile(std::int64_t* values, std::size_t count, unsigned pct);

// A line as `ready` judges one: at most kVersionLineBytes, beginning "WLED ".
constexpr std::uint32_t kVersionLineBytes = 63;
bool is_version_line(const std::uint8_t* line, std::uint32_t count);

// `state`'s query and wait, into `line`; the port stays open (out.port) when kept.
struct AttemptOutcome;
void run_state_query(const char* port_name, const char* chip, bool keep_open, std::vector<std::uint8_t>& line,
                     AttemptOutcome& out);

// info.leds.count of a state reply line as `state` prints it: "unknown"
// when it is not there or not a whole number.
std::string reported_led_count(const std::uint8_t* reply, std::uint32_t count);

// For a native-USB board (chip not nullptr), what became of DTR.
enum class Dtr;
void print_dtr_note(const char* port_name, const char* chip, Dtr dtr, std::uint32_t code);
const char* native_chip_of(const char* port_name, const char* (*native_usb_chip)(const char* port_name));

// The NOTE after a result that other text (a board's boot messages) preceded.
void print_other_text_note(std::uint32_t other_bytes);
