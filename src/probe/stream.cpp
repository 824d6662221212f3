#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/device_text.h"
#include "probe/attempts.h"
#include "probe/probe.h"
#include "protocol/messages.h"
#include "protocol/version_reply.h"

namespace {

constexpr std::uint32_t kDefaultSeconds = 30;
constexpr std::uint32_t kDefaultFps = 30;
constexpr std::int64_t kNsPerSecond = 1000 * kNsPerMs;
// After the last frame a controller still in its live mode answers the
// version query; the second query covers one that was busy with a frame.
constexpr MonoNs kAliveWaitNs = 2 * kAttemptNs;
// A person reads a status line; more than four a second only flickers.
constexpr MonoNs kStatusEveryNs = 250 * kNsPerMs;
constexpr std::uint32_t kLineCapacity = kVersionLineBytes;
constexpr std::uint32_t kChunkBytes = 256;

bool is_line_end(std::uint8_t c) { return c == '\n' || c == '\r'; }

std::string quoted(const std::uint8_t* text, std::size_t count) {
    std::vector<char> out(2 * count + 3);
    (void)put_device_text(reinterpret_cast<const char*>(text), count, TextForm::quoted, out.data(),
                          out.size());
    return out.data();
}

// Lines of text the board sent on its own: the first, the first reset
// cause (the ESP32 ROM's `rst:` line) and how many of those came.
struct BoardText {
    std::uint32_t bytes = 0;
    MonoNs first_ns = -1;
    std::string first_line;
    std::string reset_line;
    std::uint32_t resets = 0;
    std::string line;  // in progress, cut at kLineCapacity
};

void finish_text_line(BoardText& t) {
    if (t.line.empty()) {
        return;
    }
    if (t.first_line.empty()) {
        t.first_line = t.line;
    }
    if (t.line.compare(0, 4, "rst:") == 0 && ++t.resets == 1) {
        t.reset_line = t.line;
    }
    t.line.clear();
}

void take_text(BoardText& t, const std::uint8_t* bytes, std::uint32_t n, MonoNs now) {
    if (n > 0 && t.first_ns < 0) {
        t.first_ns = now;
    }
    t.bytes += n;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (is_line_end(bytes[i])) {
            finish_text_line(t);
        } else if (t.line.size() < kLineCapacity) {
            t.line.push_back(static_cast<char>(bytes[i]));
        }
    }
}

// Reads only what the driver already holds, so the next slot is not missed
// for a read's wait.
void read_waiting_text(PortHandle port, BoardText& t) {
    std::uint8_t chunk[kChunkBytes];
    for (std::uint32_t waiting = input_waiting(port); waiting > 0; waiting = input_waiting(port)) {
        const std::uint32_t n = read_timed(port, chunk, std::min(waiting, kChunkBytes));
        if (n == 0) {
            return;  // the count was stale; the rest waits for the next slot
        }
        take_text(t, chunk, n, mono_now_ns());
    }
}

// Each write must be done within the link's bound (the driver's 50 ms). A
// driver that holds no more than the chip's buffer completes a write only as
// the line drains it, and 906 bytes (300 LEDs) take 79 ms at 115200 baud:
// frames go out in pieces of 22 ms of line time each.
constexpr std::uint32_t kWritePieceBytes = 256;

bool write_frame(PortHandle port, const std::vector<std::uint8_t>& frame, ErrorCode& code) {
    const auto size = static_cast<std::uint32_t>(frame.size());
    for (std::uint32_t at = 0; at < size; at += kWritePieceBytes) {
        if (!write_timed(port, frame.data() + at, std::min(kWritePieceBytes, size - at), code)) {
            return false;
        }
    }
    return true;
}

struct StreamRun {
    std::uint32_t sent = 0;
    std::uint32_t late = 0;
    std::vector<std::int64_t> write_ns;
    bool write_failed = false;
    std::uint32_t failed_frame = 0;
    ErrorCode failed_code = 0;
    bool stopped = false;
    MonoNs start = 0;
    MonoNs end = 0;
};

void show_progress(const StreamRun& run, MonoNs now, MonoNs& next_status, bool& console) {
    if (!console || !deadline_passed(now, next_status)) {
        return;
    }
    next_status = now + kStatusEveryNs;
    char text[80];
    (void)std::snprintf(text, sizeof text, "stream %.1f s  frames %u  late %u (Ctrl+C ends it)",
                        static_cast<double>(now - run.start) / kNsPerSecond, run.sent, run.late);
    console = print_status(text);
}

void send_frames(PortHandle port, const StreamSchedule& schedule, std::uint32_t leds, StreamRun& run,
                 BoardText& text) {
    std::vector<std::uint8_t> frame(frame_size(leds));
    run.write_ns.reserve(schedule.frames);
    Pacer pacer = open_pacer();
    bool console = true;
    MonoNs next_status = 0;
    run.start = mono_now_ns();
    for (std::uint32_t k = 0; k < schedule.frames; ++k) {
        if (stop_requested()) {
            run.stopped = true;
            break;
        }
        read_waiting_text(port, text);
        const MonoNs slot_end = run.start + slot_offset_ns(schedule, k + 1);
        show_progress(run, mono_now_ns(), next_status, console);
        pace_until(pacer, run.start + slot_offset_ns(schedule, k));
        // A sender that fell behind, or whose wait woke after the slot was
        // over (the thread not run in time), drops the frame rather than
        // sending it late or in a burst.
        if (deadline_passed(mono_now_ns(), slot_end)) {
            ++run.late;
            continue;
        }
        // The lit LED follows the slot, so a dropped frame is a visible jump.
        put_stream_frame(leds, k, frame.data());
        ErrorCode code = 0;
        const MonoNs before = mono_now_ns();
        if (!write_frame(port, frame, code)) {
            run.write_failed = true;
            run.failed_frame = k + 1;  // counted from 1, as a person names the frame
            run.failed_code = code;
            break;
        }
        run.write_ns.push_back(mono_now_ns() - before);
        ++run.sent;
    }
    // The last frame owns its whole slot: the stream lasts what was asked.
    if (!run.write_failed && !run.stopped) {
        pace_until(pacer, run.start + slot_offset_ns(schedule, schedule.frames));
    }
    close_pacer(pacer);
    run.end = mono_now_ns();
    if (!run.write_failed) {
        read_waiting_text(port, text);
    }
    if (console && next_status != 0) {
        (void)print_status("");
    }
}

struct Alive {
    bool found = false;
    std::string reply;
};

// The version query after the stream, through the attempt loop on the
// stream's port, so each line is judged as `ready` judges one. Its other
// text is the board's too.
void check_alive(const char* port_name, const char* chip, PortHandle port, Alive& alive, BoardText& text) {
    std::uint8_t line[kLineCapacity + 1] = {};
    const std::uint8_t query = VERSION_QUERY;
    AttemptPlan plan = {&query,          VERSION_QUERY_LEN, line,         kLineCapacity,
                        is_version_line, kAliveWaitNs,      kAliveWaitNs, true};
    plan.port = port;
    plan.raise_dtr = chip != nullptr;  // should the check have to open the port again
    AttemptOutcome out;
    run_attempts(port_name, plan, out);
    if (out.other_bytes > 0) {
        // The first bytes of the last query's answer stand for the first line.
        const std::uint32_t seen = std::min(out.seen_count, out.other_bytes);
        const MonoNs now = mono_now_ns();
        if (text.bytes == 0) {
            take_text(text, out.seen, seen, now);
            finish_text_line(text);
            text.bytes = 0;
        }
        text.bytes += out.other_bytes;
        if (text.first_ns < 0) {
            text.first_ns = now;
        }
    }
    if (out.found) {
        std::uint32_t n = out.count;
        (void)judge_version_reply(line, n);
        alive.reply = quoted(line, n);
        alive.found = true;
    }
}

double fps_of(std::uint32_t frames, MonoNs ns) {
    return ns > 0 ? static_cast<double>(frames) * kNsPerSecond / static_cast<double>(ns) : 0.0;
}

double ms_of(std::int64_t ns) { return static_cast<double>(ns) / kNsPerMs; }

ExitStatus report(const StreamRun& run, std::uint32_t leds, const Alive& alive, const BoardText& text) {
    std::vector<std::int64_t> times = run.write_ns;
    const double p50 = ms_of(percentile(times.data(), times.size(), 50));
    const double p99 = ms_of(percentile(times.data(), times.size(), 99));
    const double max = ms_of(percentile(times.data(), times.size(), 100));
    std::string cause;
    const auto add = [&cause](const char* word) { cause += (cause.empty() ? "" : ",") + std::string(word); };
    if (run.write_failed) {
        add("write");
    }
    if (text.bytes > 0) {
        add("text");
    }
    if (!run.write_failed && !alive.found) {
        add("no-reply");
    }
    if (run.stopped) {
        add("stopped");
    }
    const MonoNs elapsed = run.end - run.start;
    print_out(
        "%s stream frames=%u late=%u fps=%.1f leds=%u seconds=%.1f write_p50_ms=%.1f write_p99_ms=%.1f "
        "write_max_ms=%.1f text_bytes=%u%s%s",
        cause.empty() ? "OK" : "FAIL", run.sent, run.late, fps_of(run.sent, elapsed), leds,
        static_cast<double>(elapsed) / kNsPerSecond, p50, p99, max, text.bytes,
        cause.empty() ? "" : " cause=", cause.c_str());
    if (run.write_failed) {
        print_out(" frame=%u code=%lu at_ms=%lld\n", run.failed_frame, as_ulong(run.failed_code),
                  static_cast<long long>(elapsed / kNsPerMs));
    } else {
        print_out(" reply=%s\n", alive.found ? alive.reply.c_str() : "none");
    }
    if (text.bytes > 0) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(text.first_line.data());
        print_out(
            "NOTE: text came %.1f s into the stream, first line %s; text mid-stream usually means the "
            "board restarted.\n",
            static_cast<double>(text.first_ns - run.start) / kNsPerSecond,
            quoted(first, text.first_line.size()).c_str());
    }
    if (text.resets > 0) {
        const auto* reset = reinterpret_cast<const std::uint8_t*>(text.reset_line.data());
        print_out("NOTE: the board reported a reset %u time(s), first: %s\n", text.resets,
                  quoted(reset, text.reset_line.size()).c_str());
    }
    return cause.empty() ? kExitPass : kExitFail;
}

bool parse_number(const char* text, std::uint32_t low, std::uint32_t high, std::uint32_t& out) {
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (; text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (digits == 5) {
            return false;  // longer than any value in range
        }
        value = value * 10 + static_cast<std::uint32_t>(text[digits] - '0');
    }
    if (digits == 0 || text[digits] != '\0' || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// The port for the stream. When the LED count must be read first, the state
// exchange opens it and hands it over: re-opening restarts some boards.
PortHandle open_for_stream(const char* port_name, const char* chip, std::uint32_t& leds,
                           AttemptOutcome& out) {
    out = AttemptOutcome{};
    if (leds != 0) {
        ErrorCode code = 0;
        out.port = open_port(port_name, code, OnOpen::purge_input);
        if (!port_is_open(out.port)) {
            print_err("ERR open %s code=%lu\n", port_name, as_ulong(code));
        } else if (chip != nullptr) {
            out.dtr = raise_dtr(out.port, out.dtr_code) ? Dtr::raised : Dtr::failed;
        }
        return out.port;
    }
    std::vector<std::uint8_t> line;
    run_state_query(port_name, chip, true, line, out);
    if (out.open_refused || (!out.found && out.last == Obstacle::open)) {
        print_err("ERR open %s code=%lu\n", port_name, as_ulong(out.last_code));
    } else {
        const std::string count =
            out.found && out.end != LineEnd::full ? reported_led_count(line.data(), out.count) : "";
        (void)parse_number(count.c_str(), 1, kMaxFrameLeds, leds);  // leds stays 0 otherwise
        if (leds == 0) {
            print_out("FAIL stream leds=unknown cause=%s hint=\"give leds=N\"\n",
                      out.found ? "no-led-count" : "no-state");
            print_dtr_note(port_name, chip, out.dtr, out.dtr_code);
        }
    }
    if (leds == 0 && port_is_open(out.port)) {
        close_port(out.port);
        out.port = kInvalidPort;
    }
    return out.port;
}

}  // namespace

bool parse_stream_args(char** args, int count, StreamArgs& out) {
    struct Key {
        const char* name;
        std::uint32_t low;
        std::uint32_t high;
        std::uint32_t StreamArgs::*field;
    };
    static const Key kKeys[] = {{"seconds=", 1, 3600, &StreamArgs::seconds},
                                {"fps=", 1, 300, &StreamArgs::fps},
                                {"leds=", 1, kMaxFrameLeds, &StreamArgs::leds}};
    out = StreamArgs{0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const Key* key = nullptr;
        for (const Key& k : kKeys) {
            if (std::strncmp(args[i], k.name, std::strlen(k.name)) == 0) {
                key = &k;
            }
        }
        // 0 is in no range: a field still 0 was not given yet.
        if (key == nullptr || out.*key->field != 0 ||
            !parse_number(args[i] + std::strlen(key->name), key->low, key->high, out.*key->field)) {
            return false;
        }
    }
    return true;
}

StreamSchedule plan_stream(std::uint32_t seconds, std::uint32_t fps, std::uint32_t leds) {
    const std::int64_t bytes = frame_size(leds);
    StreamSchedule s{};
    s.at_ceiling = static_cast<std::int64_t>(fps) * bytes > kLineBytesPerSecond;
    // At the ceiling a slot is exactly the time the line takes for a frame.
    s.period_num = s.at_ceiling ? bytes * kNsPerSecond : kNsPerSecond;
    s.period_den = s.at_ceiling ? kLineBytesPerSecond : fps;
    // Every slot that starts within the seconds asked for.
    const std::int64_t span = static_cast<std::int64_t>(seconds) * kNsPerSecond * s.period_den;
    s.frames = static_cast<std::uint32_t>((span + s.period_num - 1) / s.period_num);
    return s;
}

std::int64_t slot_offset_ns(const StreamSchedule& schedule, std::uint32_t k) {
    return static_cast<std::int64_t>(k) * schedule.period_num / schedule.period_den;
}

std::int64_t percentile(std::int64_t* values, std::size_t count, unsigned pct) {
    if (count == 0) {
        return 0;
    }
    // Nearest rank: the smallest value with at least pct % of all at or below it.
    const std::size_t rank = (count * pct + 99) / 100;
    std::int64_t* nth = values + (rank > 0 ? rank - 1 : 0);
    std::nth_element(values, nth, values + count);
    return *nth;
}

ExitStatus probe_stream(const char* port_name, const StreamArgs& args,
                        const char* (*native_usb_chip)(const char* port_name)) {
    const std::uint32_t seconds = args.seconds != 0 ? args.seconds : kDefaultSeconds;
    const std::uint32_t fps = args.fps != 0 ? args.fps : kDefaultFps;
    std::uint32_t leds = args.leds;
    const char* chip = native_chip_of(port_name, native_usb_chip);
    AttemptOutcome opened;
    const PortHandle port = open_for_stream(port_name, chip, leds, opened);
    if (!port_is_open(port)) {
        return kExitFail;
    }
    const StreamSchedule schedule = plan_stream(seconds, fps, leds);
    if (schedule.at_ceiling) {
        print_out(
            "NOTE: fps=%u is over the line's ceiling at %u LEDs (%u bytes a frame): the stream runs at "
            "%.1f frames per second.\n",
            fps, leds, frame_size(leds),
            static_cast<double>(kLineBytesPerSecond) / static_cast<double>(frame_size(leds)));
    }
    StreamRun run;
    BoardText text;
    Alive alive;
    watch_stop_request(true);
    send_frames(port, schedule, leds, run, text);
    finish_text_line(text);
    // The check runs after Ctrl+C too: a stopped stream still tells whether
    // the controller answers. It takes the port over and closes it.
    if (run.write_failed) {
        close_port(port);
    } else {
        check_alive(port_name, chip, port, alive, text);
    }
    watch_stop_request(false);
    const ExitStatus status = report(run, leds, alive, text);
    print_dtr_note(port_name, chip, opened.dtr, opened.dtr_code);
    return status;
}
