#include "probe/attempts.h"

namespace {

constexpr std::uint32_t kIdlePauseMs = 50;
constexpr std::uint32_t kChunkBytes = 256;

bool is_line_end(std::uint8_t c) { return c == '\n' || c == '\r'; }

MonoNs earliest(MonoNs a, MonoNs b) { return a < b ? a : b; }

struct Session {
    const char* port_name;
    const AttemptPlan& plan;
    AttemptOutcome& out;
    PortHandle port = kInvalidPort;
    bool asked = false;  // a query went out
    std::uint32_t line_count = 0;
    bool skipping = false;          // in the rest of a line that filled the buffer
    bool text_since_query = false;  // other text came after the last query went out
    bool asked_early = false;       // this attempt asked again once the boot text stopped
    MonoNs last_byte_ns = 0;
    MonoNs next_attempt = 0;
};

bool in_line(const Session& s) { return s.line_count > 0 || s.skipping; }

// The end of the wait in force; it grows once other text has come.
MonoNs wait_end(const Session& s) {
    return s.out.start + (s.out.other_bytes > 0 ? s.plan.wait_after_text_ns : s.plan.wait_ns);
}

// A line still arriving is read until it ends, up to the longest wait: it may
// be the reply, or boot text that makes the wait grow.
MonoNs listen_end(const Session& s) {
    return in_line(s) ? s.out.start + s.plan.wait_after_text_ns : wait_end(s);
}

void count_other_text(Session& s, std::uint32_t n) {
    s.out.other_bytes += n;
    s.text_since_query = true;
}

bool finish_line(Session& s, LineEnd end) {
    if (s.plan.wanted(s.plan.line, s.line_count)) {
        s.out.found = true;
        s.out.count = s.line_count;
        s.out.end = end;
        return true;
    }
    count_other_text(s, s.line_count);
    s.line_count = 0;
    // A full buffer is not a line end: what follows belongs to the same line.
    s.skipping = end == LineEnd::full;
    return false;
}

// Takes new bytes line by line; true once the wanted line is found. Bytes after
// it in the same read are not part of it and are dropped with the port.
bool take_bytes(Session& s, const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t c = bytes[i];
        ++s.out.bytes;
        if (s.out.seen_count < kSeenBytes) {
            s.out.seen[s.out.seen_count++] = c;
        }
        if (s.skipping) {
            count_other_text(s, 1);
            s.skipping = !is_line_end(c);
            continue;
        }
        if (s.line_count == 0 && is_line_end(c)) {
            continue;  // an empty line, or the LF after a CR
        }
        s.plan.line[s.line_count++] = c;
        if (is_line_end(c) ? finish_line(s, LineEnd::mark)
                           : s.line_count == s.plan.capacity && finish_line(s, LineEnd::full)) {
            return true;
        }
    }
    return false;
}

void sleep_until(MonoNs when) {
    const MonoNs now = mono_now_ns();
    if (!deadline_passed(now, when)) {
        sleep_ms(static_cast<std::uint32_t>((when - now + kNsPerMs - 1) / kNsPerMs));
    }
}

void close_if_open(Session& s) {
    if (port_is_open(s.port)) {
        close_port(s.port);
        s.port = kInvalidPort;
    }
}

void end_attempts(Session& s) {
    if (s.plan.keep_open) {
        s.out.port = s.port;
        s.port = kInvalidPort;
    }
    close_if_open(s);
}

// Sends the query; a failed write closes the port.
void ask(Session& s, bool starts_attempt) {
    AttemptOutcome& out = s.out;
    ErrorCode code = 0;
    if (!write_timed(s.port, s.plan.query, s.plan.query_length, code)) {
        out.last = Obstacle::write;
        out.last_code = code;
        // A line the old handle began is not completed by the new one.
        out.other_bytes += s.line_count;
        s.line_count = 0;
        s.skipping = false;
        close_if_open(s);
        return;
    }
    s.asked = true;
    s.text_since_query = false;
    if (starts_attempt) {
        out.seen_count = 0;
    }
}

// One attempt; true when the wait is decided (an open failed for good).
bool attempt(Session& s) {
    AttemptOutcome& out = s.out;
    ++out.attempts;
    s.asked_early = false;
    if (!port_is_open(s.port)) {
        ErrorCode code = 0;
        // What the spike (or anyone) just sent must still reach the controller.
        s.port = open_port(s.port_name, code, OnOpen::purge_input);
        if (!port_is_open(s.port)) {
            out.last = Obstacle::open;
            out.last_code = code;
            out.open_refused = !open_code_is_retried(code);
            return out.open_refused;
        }
        if (s.plan.raise_dtr) {
            out.dtr = raise_dtr(s.port, out.dtr_code) ? Dtr::raised : Dtr::failed;
        }
    }
    out.last = Obstacle::silence;
    if (s.plan.ask_every_attempt || !s.asked || (out.other_bytes > 0 && !in_line(s))) {
        ask(s, true);
    }
    return false;
}

// One read and what it settles; true once the wanted line is found.
bool listen(Session& s) {
    std::uint8_t chunk[kChunkBytes];
    std::uint32_t n = read_timed(s.port, chunk, kChunkBytes);
    if (n > kChunkBytes) {
        n = kChunkBytes;
    }
    const MonoNs now = mono_now_ns();
    if (n > 0) {
        s.last_byte_ns = now;
    }
    if (take_bytes(s, chunk, n)) {
        return true;
    }
    if (in_line(s) && deadline_passed(now, s.last_byte_ns + kQuietNs)) {
        if (!s.skipping && finish_line(s, LineEnd::quiet)) {
            return true;
        }
        s.skipping = false;
    }
    const bool boot_end_due = s.text_since_query && !s.asked_early && !in_line(s);
    if (boot_end_due && deadline_passed(now, s.last_byte_ns + kBootEndNs)) {
        s.asked_early = true;
        ask(s, false);
        return false;
    }
    if (n == 0) {
        // Wake for whatever falls due first: the next attempt, the quiet
        // rule, the boot's end, the end of the wait.
        MonoNs wake = listen_end(s);
        if (!deadline_passed(now, wait_end(s))) {
            wake = earliest(wake, s.next_attempt);
        }
        if (in_line(s)) {
            wake = earliest(wake, s.last_byte_ns + kQuietNs);
        }
        if (boot_end_due) {
            wake = earliest(wake, s.last_byte_ns + kBootEndNs);
        }
        sleep_until(earliest(wake, now + kIdlePauseMs * kNsPerMs));
    }
    return false;
}

}  // namespace

bool open_code_is_retried(ErrorCode code) {
    return code == 2 || code == 5 || code == 21 || code == 31 || code == 433 || code == 1167;
}

int elapsed_ms(MonoNs start) { return static_cast<int>((mono_now_ns() - start) / kNsPerMs); }

void run_attempts(const char* port_name, const AttemptPlan& plan, AttemptOutcome& out) {
    out = AttemptOutcome{};
    out.start = mono_now_ns();
    Session s{port_name, plan, out};
    s.port = plan.port;
    s.next_attempt = out.start;
    for (;;) {
        const MonoNs now = mono_now_ns();
        if (deadline_passed(now, listen_end(s))) {
            break;
        }
        if (!deadline_passed(now, wait_end(s)) && deadline_passed(now, s.next_attempt)) {
            // On the second's grid; one that ran late (a slow open) starts a new grid.
            s.next_attempt += kAttemptNs;
            if (deadline_passed(now, s.next_attempt)) {
                s.next_attempt = now + kAttemptNs;
            }
            if (attempt(s)) {
                end_attempts(s);
                return;
            }
        }
        if (!port_is_open(s.port)) {
            sleep_until(earliest(s.next_attempt, wait_end(s)));
        } else if (listen(s)) {
            end_attempts(s);
            return;
        }
    }
    // A line still without its end is judged now that the wait is over.
    if (s.line_count > 0) {
        (void)finish_line(s, LineEnd::wait_over);
    }
    if (!out.found && out.last == Obstacle::silence && out.seen_count > 0) {
        out.last = Obstacle::reply;
    }
    end_attempts(s);
}
