#include "probe/attempts.h"

namespace {

constexpr std::uint32_t kIdlePauseMs = 50;
constexpr std::uint32_t kChunkBytes = 256;

bool is_line_end(std::uint8_t c) { return c == '\n' || c == '\r'; }

struct Session {
    const char* port_name;
    const AttemptPlan& plan;
    AttemptOutcome& out;
    PortHandle port = kInvalidPort;
    bool asked = false;  // a query went out
    std::uint32_t line_count = 0;
    MonoNs last_byte_ns = 0;
};

MonoNs deadline(const Session& s) {
    return s.out.start + (s.out.other_bytes > 0 ? s.plan.wait_after_text_ns : s.plan.wait_ns);
}

bool finish_line(Session& s, LineEnd end) {
    if (s.plan.wanted(s.plan.line, s.line_count)) {
        s.out.found = true;
        s.out.count = s.line_count;
        s.out.end = end;
        return true;
    }
    s.out.other_bytes += s.line_count;
    s.line_count = 0;
    return false;
}

// Takes new bytes line by line; true once the wanted line is found. Bytes after
// it in the same read are not part of it and are dropped with the port.
bool take_bytes(Session& s, const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t c = bytes[i];
        if (s.out.seen_count < kSeenBytes) {
            s.out.seen[s.out.seen_count++] = c;
        }
        if (s.line_count == 0 && is_line_end(c)) {
            ++s.out.other_bytes;  // the LF after a CR, or an empty line
            continue;
        }
        s.plan.line[s.line_count++] = c;
        if (is_line_end(c) ? finish_line(s, LineEnd::mark)
                           : s.line_count == s.plan.capacity && finish_line(s, LineEnd::full)) {
            return true;
        }
    }
    return false;
}

// Collects until `window_end` or the wanted line. The first round always runs,
// so an attempt whose open or write ran late still reads once.
bool collect(Session& s, MonoNs window_end) {
    std::uint8_t chunk[kChunkBytes];
    do {
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
        if (s.line_count > 0 && now - s.last_byte_ns >= kQuietNs && finish_line(s, LineEnd::quiet)) {
            return true;
        }
        if (n == 0 && !deadline_passed(now, window_end)) {
            const MonoNs left_ms = (window_end - now + kNsPerMs - 1) / kNsPerMs;
            sleep_ms(left_ms < kIdlePauseMs ? static_cast<std::uint32_t>(left_ms) : kIdlePauseMs);
        }
    } while (!deadline_passed(mono_now_ns(), window_end));
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

// One attempt; true when the wait is decided (found, or an open failed for good).
bool attempt(Session& s, MonoNs window_end) {
    AttemptOutcome& out = s.out;
    if (!port_is_open(s.port)) {
        ErrorCode code = 0;
        s.port = open_port(s.port_name, code);
        if (!port_is_open(s.port)) {
            out.last = Obstacle::open;
            out.last_code = code;
            out.open_refused = !open_code_is_retried(code);
            return out.open_refused;
        }
    }
    const bool ask = s.plan.ask_every_attempt || !s.asked || (out.other_bytes > 0 && s.line_count == 0);
    if (ask) {
        ErrorCode code = 0;
        if (!write_timed(s.port, s.plan.query, s.plan.query_length, code)) {
            out.last = Obstacle::write;
            out.last_code = code;
            // A line the old handle began is not completed by the new one.
            out.other_bytes += s.line_count;
            s.line_count = 0;
            close_if_open(s);
            return false;
        }
        s.asked = true;
        out.seen_count = 0;
    }
    if (collect(s, window_end)) {
        return true;
    }
    out.last = out.seen_count == 0 ? Obstacle::silence : Obstacle::reply;
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
    // The wait may grow while it runs: other text extends it.
    for (int n = 1; !deadline_passed(out.start + (n - 1) * kAttemptNs, deadline(s)); ++n) {
        sleep_until(out.start + (n - 1) * kAttemptNs);
        out.attempts = n;
        const MonoNs window_end = out.start + n * kAttemptNs;
        if (attempt(s, window_end < deadline(s) ? window_end : deadline(s))) {
            close_if_open(s);
            return;
        }
    }
    // A line still without its end is judged now that the wait is over.
    if (s.line_count > 0 && finish_line(s, LineEnd::wait_over)) {
        close_if_open(s);
        return;
    }
    close_if_open(s);
    // The wait is whole whatever ended the last attempt early.
    sleep_until(deadline(s));
}
