#include <cstdint>

#include "common/clock.h"
#include "common/console.h"
#include "link/link.h"
#include "probe/probe.h"
#include "protocol/messages.h"
#include "protocol/version_reply.h"

namespace {

// One attempt a second for 30 s: a board that was just plugged in, flashed or
// reset enumerates late and boots for a second or more.
constexpr int kReadyAttempts = 30;
constexpr MonoNs kAttemptNs = 1000 * kNsPerMs;
constexpr std::uint32_t kIdlePauseMs = 50;
// A reply line is judged on at most this many bytes, as in the `v` step.
constexpr std::uint32_t kLineCapacity = 63;
constexpr std::uint32_t kChunkBytes = 256;

// The open error codes that mean "try again": the port is not there yet (2,
// ERROR_FILE_NOT_FOUND) or another program holds it (5, ERROR_ACCESS_DENIED).
bool open_code_is_retried(ErrorCode code) { return code == 2 || code == 5; }

bool is_line_end(std::uint8_t c) { return c == '\n' || c == '\r'; }

enum class Obstacle { open, write, silence, reply };

struct Wait {
    PortHandle port = kInvalidPort;
    // The line being collected; one byte more for the judgement's terminator.
    std::uint8_t line[kLineCapacity + 1] = {};
    std::uint32_t line_count = 0;
    // Every byte that came before the line that was accepted.
    std::uint32_t other_bytes = 0;
    Obstacle last = Obstacle::silence;
    ErrorCode last_code = 0;
    // The first bytes the current attempt received, for the FAIL line.
    std::uint8_t seen[kLineCapacity] = {};
    std::uint32_t seen_count = 0;
};

bool line_accepted(Wait& wait) {
    std::uint32_t count = wait.line_count;
    return judge_version_reply(wait.line, count) == VersionVerdict::accepted;
}

// Takes the new bytes line by line; true once a line is accepted.
bool take_bytes(Wait& wait, const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t c = bytes[i];
        if (wait.seen_count < kLineCapacity) {
            wait.seen[wait.seen_count++] = c;
        }
        if (wait.line_count == 0 && is_line_end(c)) {
            ++wait.other_bytes;  // the LF after a CR, or an empty line
            continue;
        }
        wait.line[wait.line_count++] = c;
        if (is_line_end(c) || wait.line_count == kLineCapacity) {
            if (line_accepted(wait)) {
                return true;
            }
            wait.other_bytes += wait.line_count;
            wait.line_count = 0;
        }
    }
    return false;
}

// Collects until the window ends or a line is accepted. The first round always
// runs, so an attempt whose open or write ran late still reads once.
bool collect(Wait& wait, MonoNs window_end) {
    std::uint8_t chunk[kChunkBytes];
    do {
        std::uint32_t n = read_timed(wait.port, chunk, kChunkBytes);
        if (n > kChunkBytes) {
            n = kChunkBytes;
        }
        if (take_bytes(wait, chunk, n)) {
            return true;
        }
        const MonoNs now = mono_now_ns();
        if (n == 0 && !deadline_passed(now, window_end)) {
            const MonoNs left_ms = (window_end - now + kNsPerMs - 1) / kNsPerMs;
            sleep_ms(left_ms < kIdlePauseMs ? static_cast<std::uint32_t>(left_ms) : kIdlePauseMs);
        }
    } while (!deadline_passed(mono_now_ns(), window_end));
    // A reply without a line end is judged when the window closes, as the `v`
    // step judges one at its deadline; anything else may still be completed
    // in the next window.
    return wait.line_count > 0 && line_accepted(wait);
}

int elapsed_ms(MonoNs start) { return static_cast<int>((mono_now_ns() - start) / kNsPerMs); }

void print_fail(const Wait& wait, MonoNs start, int attempts) {
    const int ms = elapsed_ms(start);
    switch (wait.last) {
        case Obstacle::open:
            print_out("FAIL ready ms=%d attempts=%d last=open code=%lu\n", ms, attempts,
                      as_ulong(wait.last_code));
            break;
        case Obstacle::write:
            print_out("FAIL ready ms=%d attempts=%d last=write code=%lu\n", ms, attempts,
                      as_ulong(wait.last_code));
            break;
        case Obstacle::silence:
            print_out("FAIL ready ms=%d attempts=%d last=silence\n", ms, attempts);
            break;
        case Obstacle::reply: {
            char hex[3 * kLineCapacity];
            format_hex_bytes(wait.seen, wait.seen_count, hex, sizeof hex);
            print_out("FAIL ready ms=%d attempts=%d last=reply reply_bytes=%s\n", ms, attempts, hex);
            break;
        }
    }
}

void sleep_until(MonoNs when) {
    const MonoNs now = mono_now_ns();
    if (!deadline_passed(now, when)) {
        sleep_ms(static_cast<std::uint32_t>((when - now + kNsPerMs - 1) / kNsPerMs));
    }
}

}  // namespace

ExitStatus probe_ready(const char* port_name, const char* (*native_usb_chip)(const char* port_name)) {
    const MonoNs start = mono_now_ns();
    Wait wait;
    for (int attempt = 1; attempt <= kReadyAttempts; ++attempt) {
        sleep_until(start + (attempt - 1) * kAttemptNs);
        // Once open, the port stays open: re-opening a board that resets on
        // open would reset it again.
        if (!port_is_open(wait.port)) {
            ErrorCode code = 0;
            wait.port = open_port(port_name, code);
            if (!port_is_open(wait.port)) {
                if (!open_code_is_retried(code)) {
                    print_err("ERR open %s code=%lu\n", port_name, as_ulong(code));
                    return kExitFail;
                }
                wait.last = Obstacle::open;
                wait.last_code = code;
                continue;
            }
        }
        ErrorCode code = 0;
        const std::uint8_t query = VERSION_QUERY;
        if (!write_timed(wait.port, &query, VERSION_QUERY_LEN, code)) {
            // The board went away (unplugged, or re-enumerating after a
            // reset): only a new handle reaches it when it is back.
            wait.last = Obstacle::write;
            wait.last_code = code;
            close_port(wait.port);
            wait.port = kInvalidPort;
            continue;
        }
        wait.seen_count = 0;
        if (collect(wait, start + attempt * kAttemptNs)) {
            print_out("OK ready ms=%d attempts=%d reply=\"%s\"\n", elapsed_ms(start), attempt,
                      reinterpret_cast<const char*>(wait.line));
            if (wait.other_bytes > 0) {
                print_out(
                    "NOTE: %u bytes of other text came before the reply; the board probably restarted when "
                    "the port opened.\n",
                    static_cast<unsigned>(wait.other_bytes));
            }
            close_port(wait.port);
            return kExitPass;
        }
        wait.last = wait.seen_count == 0 ? Obstacle::silence : Obstacle::reply;
    }

    // The wait is 30 s whatever ended the last attempt early.
    sleep_until(start + kReadyAttempts * kAttemptNs);
    print_fail(wait, start, kReadyAttempts);
    if (port_is_open(wait.port)) {
        close_port(wait.port);
    }
    const char* chip =
        wait.last == Obstacle::silence && native_usb_chip != nullptr ? native_usb_chip(port_name) : nullptr;
    if (chip != nullptr) {
        print_out(
            "NOTE: %s is a native USB port (%s); its firmware usually answers only while the host "
            "raises DTR, and both programs hold DTR off.\n",
            port_name, chip);
    }
    return kExitFail;
}
