// libFuzzer target: arbitrary controller replies through step_version.
//
// Input layout (every missing byte reads as 0):
//   byte 0    flags
//             bit 0     the query write fails; its code is the next 4 bytes (little endian)
//             bits 1-2  write duration: 0, 1, 50 or 100 ms
//             bits 3-4  duration of the reads after the script runs out: 10, 0, 1 or 100 ms
//             bit 5     those reads leave "\r\nJUNK" uncounted behind the count (failed reads)
//   then read records until the input ends, each:
//             ctl       bits 0-5 counted length L (0..63), bit 6 uncounted part follows,
//                       bit 7 duration byte follows (otherwise 10 ms)
//             [dur]     duration in ms, taken modulo 101 so no read exceeds the 100 ms wait
//             [u]       uncounted length, bits 0-5
//             L bytes   counted, then the uncounted bytes
//
// The harness predicts the outcome with its own small model of the collection
// loop and of what the fake delivers, then checks the printed line, the exit
// status, the reads asked for and the virtual time against it. Any mismatch
// aborts, which libFuzzer reports as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "expected_lines.h"
#include "fakes/fake_console.h"
#include "fakes/fake_link.h"
#include "fakes/virtual_clock.h"
#include "fuzz_support.h"
#include "steps/steps.h"

using namespace expected;

namespace {

constexpr std::int64_t kMs = 1000 * 1000;
constexpr std::size_t kCapacity = 63;

struct Cursor {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::vector<std::uint8_t> take(std::size_t n) {
        std::vector<std::uint8_t> v;
        while (n-- > 0 && pos < size) {
            v.push_back(data[pos++]);
        }
        return v;
    }
};

struct Scenario {
    bool write_fails = false;
    ErrorCode write_code = 0;
    std::int64_t write_ns = 0;
    FakeLink::ReadResult idle;  // what every read returns once the script is used up
    std::deque<FakeLink::ReadResult> reads;
};

Scenario decode(const std::uint8_t* data, std::size_t size) {
    static const std::int64_t kWriteMs[4] = {0, 1, 50, 100};
    static const std::int64_t kIdleMs[4] = {10, 0, 1, 100};
    Cursor in{data, size};
    Scenario s;
    const std::uint8_t flags = in.byte();
    s.write_fails = (flags & 1) != 0;
    if (s.write_fails) {
        for (int i = 0; i < 4; ++i) {
            s.write_code |= static_cast<ErrorCode>(in.byte()) << (8 * i);
        }
    }
    s.write_ns = kWriteMs[(flags >> 1) & 3] * kMs;
    s.idle.duration_ns = kIdleMs[(flags >> 3) & 3] * kMs;
    if ((flags & 0x20) != 0) {
        const char junk[] = "\r\nJUNK";
        s.idle.uncounted.assign(junk, junk + sizeof junk - 1);
    }
    while (!in.done()) {
        const std::uint8_t ctl = in.byte();
        FakeLink::ReadResult r;
        r.duration_ns = ((ctl & 0x80) != 0 ? in.byte() % 101 : 10) * kMs;
        const std::size_t uncounted = (ctl & 0x40) != 0 ? (in.byte() & 63) : 0;
        r.bytes = in.take(ctl & 63);
        r.uncounted = in.take(uncounted);
        s.reads.push_back(r);
    }
    return s;
}

struct Outcome {
    std::string line;
    int status = 1;
    std::int64_t elapsed_ns = 0;
    std::vector<std::uint32_t> capacities;  // asked for, per read
    std::vector<std::uint32_t> counts;      // returned, per read
    std::string received;                   // counted bytes, in order
};

std::string hex_dump(const std::string& bytes) {
    std::string hex;
    char two[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        hex += (i == 0 ? "" : " ");
        hex += two;
    }
    return line(kVersionBytes, hex);
}

// The step as it should behave: collect until a CR or LF arrives, 63 bytes
// are in, or a round starts at or after the 2 s deadline; then judge.
Outcome predict(const Scenario& s) {
    Outcome o;
    std::int64_t t = s.write_ns;
    if (s.write_fails) {
        o.line = line(kVersionWriteFail, std::to_string(s.write_code));
        o.elapsed_ns = t;
        return o;
    }
    const std::int64_t deadline = t + 2000 * kMs;
    std::deque<FakeLink::ReadResult> queue = s.reads;
    while (t < deadline && o.received.size() < kCapacity) {
        const std::size_t room = kCapacity - o.received.size();
        FakeLink::ReadResult r = s.idle;
        if (!queue.empty()) {
            r = queue.front();
            queue.pop_front();
        }
        // The fake keeps what did not fit for the next read, at no cost in time.
        const std::size_t n = r.bytes.size() < room ? r.bytes.size() : room;
        if (n < r.bytes.size()) {
            FakeLink::ReadResult rest;
            rest.bytes.assign(r.bytes.begin() + static_cast<std::ptrdiff_t>(n), r.bytes.end());
            rest.duration_ns = 0;
            queue.push_front(rest);
        }
        t += r.duration_ns;
        o.capacities.push_back(static_cast<std::uint32_t>(room));
        o.counts.push_back(static_cast<std::uint32_t>(n));
        const std::string fresh(r.bytes.begin(), r.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        o.received += fresh;
        if (fresh.find_first_of("\r\n") != std::string::npos) {
            break;
        }
        if (n == 0) {
            t += 50 * kMs;
        }
    }
    o.elapsed_ns = t;

    const std::string& got = o.received;
    if (got.empty()) {
        o.line = kVersionTimeout;
    } else if (got.compare(0, 5, "WLED ") == 0) {
        std::string shown = got;
        while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n' || shown.back() == ' ')) {
            shown.pop_back();
        }
        // Printed as a C string: an embedded NUL ends it.
        shown = shown.substr(0, shown.find('\0'));
        o.line = line(kVersionOk, shown);
        o.status = 0;
    } else {
        o.line = hex_dump(got);
    }
    return o;
}

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The shape of the line on its own, without the model: one of the four forms.
bool well_formed(const std::string& line, int status, bool nul_in_reply) {
    const std::string ok = head(kVersionOk);
    const std::string dump = head(kVersionBytes);
    const std::string write = head(kVersionWriteFail);
    if (line.empty() || line.back() != '\n') {
        return false;
    }
    if (line.compare(0, ok.size(), ok) == 0) {
        if (status != 0 || line.size() < ok.size() + 2 || line[line.size() - 2] != '"') {
            return false;
        }
        const std::string reply = line.substr(ok.size(), line.size() - ok.size() - 2);
        if (reply.size() > kCapacity || reply.compare(0, 4, "WLED") != 0) {
            return false;
        }
        if (reply.size() > 4 && reply[4] != ' ') {
            return false;
        }
        // Trimming happens on the counted bytes; a NUL can hide a blank that preceded it.
        const char last = reply.back();
        return nul_in_reply || (last != '\r' && last != '\n' && last != ' ');
    }
    if (status != 1) {
        return false;
    }
    if (line == kVersionTimeout) {
        return true;
    }
    if (line.compare(0, write.size(), write) == 0) {
        const std::string digits = line.substr(write.size(), line.size() - write.size() - 1);
        return !digits.empty() && digits.size() <= 10 &&
               digits.find_first_not_of("0123456789") == std::string::npos;
    }
    if (line.compare(0, dump.size(), dump) != 0) {
        return false;
    }
    const std::string body = line.substr(dump.size(), line.size() - dump.size() - 1);
    // "XX" then " XX" per further byte: 3n - 1 characters for n bytes.
    if (body.size() % 3 != 2 || (body.size() + 1) / 3 > kCapacity) {
        return false;
    }
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (i % 3 == 2 ? body[i] != ' ' : !is_upper_hex(body[i])) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "version_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scenario s = decode(data, size);
    const Outcome want = predict(s);

    VirtualClock clock;
    FakeConsole console;
    FakeLink link;
    link.write_script.push_back({!s.write_fails, s.write_code, s.write_ns});
    link.read_script = s.reads;
    link.default_read = s.idle;

    ErrorCode code = 99;
    PortHandle port = open_port("COM5", code);
    const MonoNs start = clock.now();
    const int status = step_version(port);
    const std::int64_t elapsed = clock.now() - start;
    close_port(port);

    if (!link.problems().empty()) {
        fail("link misuse", link.problems());
    }
    if (link.writes.size() != 1 || link.writes[0].bytes != std::vector<std::uint8_t>{0x76}) {
        fail("not exactly one query byte written", "");
    }
    if (console.prints.size() != 1 || console.prints[0].stream != Stream::out || !console.err.empty()) {
        fail("not exactly one line on standard output", quoted(console.out) + " / " + quoted(console.err));
    }
    const bool nul_in_reply = want.received.find('\0') != std::string::npos;
    if (!well_formed(console.out, status, nul_in_reply)) {
        fail("malformed result line", quoted(console.out) + " status " + std::to_string(status));
    }
    if (console.out != want.line || status != want.status) {
        fail("result differs from the model", "got  " + quoted(console.out) + " status " +
                                                  std::to_string(status) + "\nwant " + quoted(want.line) +
                                                  " status " + std::to_string(want.status));
    }

    std::uint64_t judged = 0;
    if (link.reads.size() != want.capacities.size()) {
        fail("number of reads differs from the model",
             std::to_string(link.reads.size()) + " vs " + std::to_string(want.capacities.size()));
    }
    for (std::size_t i = 0; i < link.reads.size(); ++i) {
        if (link.reads[i].capacity != want.capacities[i] || link.reads[i].returned != want.counts[i]) {
            fail("read asked or returned differently from the model", "read " + std::to_string(i));
        }
        judged += link.reads[i].returned;
    }
    if (judged > kCapacity) {
        fail("more than 63 bytes collected", std::to_string(judged));
    }
    // No scripted read lasts more than 100 ms, so the last round can overrun
    // the deadline by at most one read and one idle pause.
    if (elapsed != want.elapsed_ns || elapsed > s.write_ns + (2000 + 100 + 50) * kMs) {
        fail("virtual time out of bounds",
             std::to_string(elapsed) + " ns vs model " + std::to_string(want.elapsed_ns) + " ns");
    }
    return 0;
}
