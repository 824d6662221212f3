#pragma once

#include <cstdint>

#include "common/clock.h"
#include "link/link.h"

// The wait `ready` and `state` share. One attempt a second: open the port if
// it is not open (the codes that mean "not there yet" or "busy" only cost the
// attempt), send the query, collect lines until the second is over. Once open
// the port stays open, because re-opening a board that restarts on open would
// restart it again; only a failed write closes it, and the next attempt opens
// a new handle (the board went away and may come back as a new device).
//
// A line ends at LF or CR, or when the buffer is full. A line without its end
// is judged only when nothing has arrived for kQuietNs or the whole wait is
// over, so a reply that crosses the end of a second is completed in the next
// one rather than judged by halves. Each finished line is either the one the
// command waits for or other text (boot messages, log lines), which is counted.

constexpr MonoNs kAttemptNs = 1000 * kNsPerMs;
constexpr MonoNs kQuietNs = 500 * kNsPerMs;

// The open codes retried: 2 (not there), 5 (another program holds it), and
// what drivers answer for a moment while a board re-enumerates after a flash,
// a reset or an unplug: 21 (not ready), 31 (CH340 after an unplug), 433 (no
// such device yet), 1167 (not connected).
bool open_code_is_retried(ErrorCode code);

enum class LineEnd { mark, full, quiet, wait_over };
enum class Obstacle { open, write, silence, reply };

struct AttemptPlan {
    const std::uint8_t* query;
    std::uint32_t query_length;
    // The line being collected: room for `capacity` bytes and a terminator.
    std::uint8_t* line;
    std::uint32_t capacity;
    // Whether a finished line is the one waited for.
    bool (*wanted)(const std::uint8_t* line, std::uint32_t count);
    MonoNs wait_ns;
    // The whole wait once other text has come (a board that restarted).
    MonoNs wait_after_text_ns;
    // false: ask once, and again each attempt only after other text came
    // (the board restarted and missed the query) while no line is in progress.
    bool ask_every_attempt;
};

constexpr std::uint32_t kSeenBytes = 63;

struct AttemptOutcome {
    bool found = false;       // the wanted line is in plan.line
    std::uint32_t count = 0;  // its bytes, line end included
    LineEnd end = LineEnd::mark;
    bool open_refused = false;  // an open code that is not retried ended the wait at once
    int attempts = 0;
    std::uint32_t other_bytes = 0;
    // What stood in the way in the last attempt, when nothing was found.
    Obstacle last = Obstacle::silence;
    ErrorCode last_code = 0;
    // The first bytes of the last attempt that asked, for a FAIL line.
    std::uint8_t seen[kSeenBytes] = {};
    std::uint32_t seen_count = 0;
    MonoNs start = 0;
};

// Runs the attempts until the wanted line is found, an open fails for good,
// or the wait is over (it then returns only when the whole wait has passed).
// Leaves no port open.
void run_attempts(const char* port_name, const AttemptPlan& plan, AttemptOutcome& out);

int elapsed_ms(MonoNs start);
