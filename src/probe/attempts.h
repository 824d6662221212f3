#pragma once

#include <cstdint>

#include "common/clock.h"
#include "link/link.h"

// The wait `ready` and `state` share. One attempt a second: open the port if
// it is not open (the codes that mean "not there yet" or "busy" only cost the
// attempt) and send the query as the plan says. Once open the port stays
// open, because re-opening a board that restarts on open would restart it
// again; only a failed write closes it, and the next attempt opens a new
// handle (the board went away and may come back as a new device). Between
// attempts, and past the end of the first wait while a line is still
// arriving, the port is read without pause: no byte that came goes unread.
//
// Lines. A line ends at LF or CR. A line end with nothing before it (an empty
// line, the LF of a CR LF pair) is skipped. A line that fills the buffer is
// judged on what it holds; when it is not the one waited for, the rest up to
// its end is other text too and never starts a line. A line without its end
// is judged once nothing has arrived for kQuietNs or when the longest wait is
// over: a reply that crosses the end of an attempt or of the first wait is
// completed, but one whose halves are more than kQuietNs apart is judged in
// halves. Each line judged is either the one the command waits for or other
// text (boot messages, log lines), which is counted.
//
// A board that restarted (other text came) is asked again once kBootEndNs has
// passed without a byte, at once rather than at the next attempt: a board
// that is done booting then answers within about 0.3 s. At most one such
// early query per attempt, so a board that answers every query with other
// text is asked at most twice a second; a board still deaf then costs only
// that one query.

constexpr MonoNs kAttemptNs = 1000 * kNsPerMs;
constexpr MonoNs kQuietNs = 500 * kNsPerMs;
constexpr MonoNs kBootEndNs = 250 * kNsPerMs;

// The open codes retried: 2 (not there), 5 (another program holds it), and
// what drivers answer for a moment while a board re-enumerates after a flash,
// a reset or an unplug: 21 (not ready), 31 (CH340 after an unplug), 433 (no
// such device yet), 1167 (not connected).
bool open_code_is_retried(ErrorCode code);

// How the wanted line ended: at its line end (included in its count), by
// filling the buffer, after kQuietNs without a byte, or with the wait.
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
    // The whole wait while no other text has come...
    MonoNs wait_ns;
    // ...and once it has (a board that restarted); not shorter than wait_ns.
    MonoNs wait_after_text_ns;
    // false: ask at the first attempt, then again at an attempt only once
    // other text has come (the board restarted and missed the query) and no
    // line is arriving (it may be the reply).
    bool ask_every_attempt;
    // A native-USB board's firmware talks only while DTR is up: raise it
    // after each open (RTS stays off; raising it would reset such a board).
    bool raise_dtr = false;
    // An open port to begin with; the attempts own it from then on.
    PortHandle port = kInvalidPort;
    // Hand the port back in the outcome instead of closing it.
    bool keep_open = false;
};

enum class Dtr { untouched, raised, failed };

constexpr std::uint32_t kSeenBytes = 63;

struct AttemptOutcome {
    bool found = false;       // the wanted line is in plan.line
    std::uint32_t count = 0;  // its bytes, line end included
    LineEnd end = LineEnd::mark;
    bool open_refused = false;  // an open code that is not retried ended the wait at once
    int attempts = 0;
    // Bytes of the lines judged other text, each with its own line end; not
    // the skipped line ends.
    std::uint32_t other_bytes = 0;
    // Every byte that came, whatever became of it.
    std::uint32_t bytes = 0;
    // What stood in the way in the last attempt, when nothing was found.
    Obstacle last = Obstacle::silence;
    ErrorCode last_code = 0;
    // The first bytes since the last attempt that asked, for a FAIL line.
    std::uint8_t seen[kSeenBytes] = {};
    std::uint32_t seen_count = 0;
    MonoNs start = 0;
    Dtr dtr = Dtr::untouched;  // after the last open
    ErrorCode dtr_code = 0;
    PortHandle port = kInvalidPort;  // open only when the plan keeps it
};

// Runs the attempts until the wanted line is found, an open fails for good,
// or the wait is over (it then returns only when the wait in force has
// passed, and no later than start + wait_after_text_ns plus one read).
// Leaves no port open, unless the plan keeps it.
void run_attempts(const char* port_name, const AttemptPlan& plan, AttemptOutcome& out);

int elapsed_ms(MonoNs start);
