// libFuzzer target: arbitrary command lines and link behaviour through run_main.
//
// Input layout: an 8-byte header (missing bytes read as 0), then the
// arguments, separated by NUL bytes (a C string cannot hold one anyway).
//   h0  argc = h0 % 6 (0 to 5; argv[0] is the program name when argc > 0)
//   h1  bit 0: the first open fails, bits 1-2: its code (table kOpenCodes)
//   h2  unplug-loop: re-open attempts that fail before one succeeds (% 32; 30 or more: none succeeds)
//   h3  write number that fails, low byte (0 = none fails)
//   h4  bits 0-1: write number, high bits (so up to 1023, past the 600 streamed frames)
//   h5  code of that write failure (table kWriteCodes)
//   h6  what the controller answers to the version query (table kReplies)
//   h7  standard input (table kStdin)
//
// From the same header the harness works out, on its own, every byte main
// and the steps must print on both streams, the exit status, and how often
// the port is opened; the fake link reports leaks and double closes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "expected_lines.h"
#include "fakes/fake_console.h"
#include "fakes/fake_link.h"
#include "fakes/virtual_clock.h"
#include "fuzz_support.h"

using namespace expected;

namespace {

const ErrorCode kOpenCodes[4] = {2, 5, 4294967295u, 121};
const ErrorCode kWriteCodes[8] = {21, 29, 258, 4294967295u, 0, 1167, 31, 995};

struct Reply {
    std::vector<std::string> reads;  // counted bytes per read; afterwards silence
    std::string line;
    int status;
};

const Reply kReplies[8] = {
    {{}, kVersionTimeout, 1},
    {{"WLED 0.14.0\r\n"}, line(kVersionOk, "WLED 0.14.0"), 0},
    {{"OK"}, line(kVersionBytes, "4F 4B"), 1},
    {{"WL", "", "ED 1", "\r\n"}, line(kVersionOk, "WLED 1"), 0},
    {{"WLED\r\n"}, line(kVersionBytes, "57 4C 45 44 0D 0A"), 1},
    {{"WLED %n%s\r\n"}, line(kVersionOk, "WLED %n%s"), 0},
    {{std::string("WLED 1\0x\r\n", 10)}, line(kVersionOk, "WLED 1"), 0},
    {{"\xFF\xFE"}, line(kVersionBytes, "FF FE"), 1},
};

const char* const kStdin[4] = {"", "\n", "go\n", "no line end"};

struct Scenario {
    int argc = 0;
    std::vector<std::string> args;  // after the program name
    bool first_open_fails = false;
    ErrorCode open_code = 0;
    unsigned reopen_failures = 0;
    unsigned failing_write = 0;
    ErrorCode write_code = 0;
    const Reply* reply = nullptr;
    std::string stdin_data;
};

Scenario decode(const std::uint8_t* data, std::size_t size) {
    std::uint8_t h[8] = {};
    const std::size_t header = size < 8 ? size : 8;
    for (std::size_t i = 0; i < header; ++i) {
        h[i] = data[i];
    }
    Scenario s;
    s.argc = h[0] % 6;
    s.first_open_fails = (h[1] & 1) != 0;
    s.open_code = kOpenCodes[(h[1] >> 1) & 3];
    s.reopen_failures = h[2] % 32;
    s.failing_write = h[3] | (static_cast<unsigned>(h[4] & 3) << 8);
    s.write_code = kWriteCodes[h[5] % 8];
    s.reply = &kReplies[h[6] % 8];
    s.stdin_data = kStdin[h[7] % 4];

    std::vector<std::string> pieces(1);
    for (std::size_t i = header; i < size; ++i) {
        if (data[i] == 0) {
            pieces.emplace_back();
        } else {
            pieces.back() += static_cast<char>(data[i]);
        }
    }
    for (int i = 1; i < s.argc; ++i) {
        s.args.push_back(static_cast<std::size_t>(i - 1) < pieces.size()
                             ? pieces[static_cast<std::size_t>(i - 1)]
                             : std::string());
    }
    return s;
}

bool com_name(const std::string& n) {
    if (n.size() < 4 || n.size() > 6 || n.compare(0, 3, "COM") != 0) {
        return false;
    }
    return n.find_first_not_of("0123456789", 3) == std::string::npos;
}

struct Expected {
    std::string out;
    std::string err;
    int status = 0;
    std::size_t opens = 0;
};

// Steps against the scripted link: write number `failing_write` fails.
struct StepModel {
    const Scenario& s;
    Expected& e;
    unsigned writes = 0;

    bool write() { return ++writes != s.failing_write; }
    std::string code() const { return std::to_string(s.write_code); }

    int version() {
        if (!write()) {
            e.out += line(kVersionWriteFail, code());
            return 1;
        }
        e.out += s.reply->line;
        return s.reply->status;
    }
    int fill(const char* colour) {
        if (!write()) {
            e.out += line(kFillFail, colour, code());
            return 1;
        }
        e.out += line(kFillOk, colour);
        return 0;
    }
    int bri50() {
        for (const char* part : {"adalight_write", "json_write"}) {
            if (!write()) {
                e.out += line(kBri50Fail, part, code());
                return 1;
            }
        }
        e.out += kBri50Ok;
        return 0;
    }
    int power(const char* word) {
        if (!write()) {
            e.out += line(kPowerFail, word, code());
            return 1;
        }
        e.out += line(kPowerOk, word);
        return 0;
    }
    int all() {
        int result = version();
        for (int check = 2; check <= 7 && result == 0; ++check) {
            switch (check) {
                case 2:
                    result = fill("red");
                    break;
                case 3:
                    result = fill("green");
                    break;
                case 4:
                    result = fill("blue");
                    break;
                case 5:
                    result = bri50();
                    break;
                case 6:
                    result = power("off");
                    break;
                default:
                    result = power("on");
                    break;
            }
        }
        e.out += kNote;
        return result;
    }
    int unplug_loop() {
        e.out += kPrompt;
        if (s.failing_write == 0 || s.failing_write > 600) {
            e.out += kNoWriteError;
            return 1;
        }
        e.out += line(kWriteError, code());
        if (s.reopen_failures >= 30) {
            e.opens += 30;
            e.out += line(kNoReopen, code());
            return 1;
        }
        e.opens += s.reopen_failures + 1;
        e.out += line(kReopenOk, std::to_string(s.reopen_failures + 1), code());
        return 0;
    }
};

Expected predict(const Scenario& s) {
    Expected e;
    if (s.argc != 3) {
        e.err = kUsage;
        e.status = 2;
        return e;
    }
    const std::string& port = s.args[0];
    const std::string& step = s.args[1];
    if (!com_name(port)) {
        e.err = line(kBadPortName, port);
        e.status = 2;
        return e;
    }
    e.opens = 1;
    if (s.first_open_fails) {
        e.err = line(kOpenFail, port, std::to_string(s.open_code));
        e.status = 1;
        return e;
    }
    StepModel m{s, e};
    if (step == "v") {
        e.status = m.version();
    } else if (step == "fill-red") {
        e.status = m.fill("red");
    } else if (step == "fill-green") {
        e.status = m.fill("green");
    } else if (step == "fill-blue") {
        e.status = m.fill("blue");
    } else if (step == "bri50") {
        e.status = m.bri50();
    } else if (step == "off") {
        e.status = m.power("off");
    } else if (step == "on") {
        e.status = m.power("on");
    } else if (step == "unplug-loop") {
        e.status = m.unplug_loop();
    } else if (step == "all") {
        e.status = m.all();
    } else {
        e.err = line(kUnknownStep, step) + kUsage;
        e.status = 2;
    }
    return e;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "cli_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Scenario s = decode(data, size);
    const Expected want = predict(s);

    VirtualClock clock;
    FakeConsole console;
    FakeLink link;
    console.stdin_data = s.stdin_data;
    link.open_script.push_back({!s.first_open_fails, s.open_code});
    for (unsigned i = 0; i < s.reopen_failures; ++i) {
        link.open_script.push_back({false, 2});
    }
    const unsigned failing = s.failing_write;
    const ErrorCode failing_code = s.write_code;
    link.write_policy = [failing, failing_code](std::size_t number, const std::uint8_t*, std::uint32_t) {
        FakeLink::WriteResult w;
        if (number == failing) {
            w.ok = false;
            w.code = failing_code;
        }
        return w;
    };
    for (const std::string& r : s.reply->reads) {
        FakeLink::ReadResult read;
        read.bytes.assign(r.begin(), r.end());
        link.read_script.push_back(read);
    }

    // argv as main receives it: writable strings, argv[argc] null.
    std::vector<std::string> storage;
    if (s.argc > 0) {
        storage.emplace_back("lumaris_serial_spike");
        storage.insert(storage.end(), s.args.begin(), s.args.end());
    }
    std::vector<char*> argv;
    for (std::string& a : storage) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);

    const int status = run_main(s.argc, argv.data());

    if (status < 0 || status > 2) {
        fail("exit status outside 0..2", std::to_string(status));
    }
    if (!link.problems().empty() || link.closed.size() != link.opened.size()) {
        fail("port handles not closed exactly once", link.problems());
    }
    for (const std::string& name : link.open_names) {
        if (name != s.args[0]) {
            fail("port opened under another name", quoted(name));
        }
    }
    if (console.err != want.err) {
        fail("standard error differs", "got  " + quoted(console.err) + "\nwant " + quoted(want.err));
    }
    if (console.out != want.out) {
        fail("standard output differs", "got  " + quoted(console.out) + "\nwant " + quoted(want.out));
    }
    if (status != want.status) {
        fail("exit status differs", std::to_string(status) + " vs " + std::to_string(want.status));
    }
    if (link.open_names.size() != want.opens) {
        fail("port opened an unexpected number of times",
             std::to_string(link.open_names.size()) + " vs " + std::to_string(want.opens));
    }
    // Handles are released in the order they were handed out: main's port
    // first (by the step, before any re-open), then each re-opened one.
    if (link.closed != link.opened) {
        fail("handles closed out of order", "");
    }
    return 0;
}
