#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "expected_lines.h"
#include "ports/ports.h"
#include "probe/probe.h"
#include "protocol/messages.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

const std::string kDtrNote = line(kReadyDtrNote, "COM7", "ESP32-S3");

int g_listings = 0;
ExitStatus fake_listing() { return ++g_listings, 0; }
const char* esp32_s3_on_com7(const char* port) { return std::string(port) == "COM7" ? "ESP32-S3" : nullptr; }
UsbIdFilter g_found{};
ExitStatus fake_find(const UsbIdFilter& filter) { return g_found = filter, 0; }
const ProbeHost kHost = {fake_listing, fake_find, esp32_s3_on_com7};

struct Probe : ::testing::Test {
    VirtualClock clock;
    FakeConsole console;
    FakeLink link;
    MonoNs start = 0;  // of the last run

    int run(std::vector<std::string> args) {
        start = clock.now();
        args.insert(args.begin(), "lumaris_serial_probe");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(&a[0]);
        }
        return run_probe_main(static_cast<int>(argv.size()), argv.data(), kHost);
    }
    void reply_at(int ms, const std::string& bytes) {
        link.read_script.push_back(read_of(bytes));
        link.read_script.back().arrives_ns = clock.now() + ms * kNsPerMs;
    }
    // When the last run printed its result line, as that line states it.
    MonoNs result_ns() const {
        for (auto p = console.prints.rbegin(); p != console.prints.rend(); ++p) {
            if (p->text.rfind("OK", 0) == 0 || p->text.rfind("FAIL", 0) == 0) {
                return p->at_ns - start;
            }
        }
        return -1;
    }
    std::string result_ms() const { return std::to_string(result_ns() / kNsPerMs); }
    void TearDown() override {
        EXPECT_EQ(std::count(link.open_modes.begin(), link.open_modes.end(), OnOpen::purge_both), 0);
        EXPECT_EQ(link.problems(), "");
        EXPECT_EQ(link.closed.size(), link.opened.size());
    }
};

}  // namespace

TEST_F(Probe, CommandLineIsJudgedBeforeAnyPortIsOpened) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"COM5"}, {"COM5", "ready", "x"}}) {
        console.err.clear();
        EXPECT_EQ(run(args), 2);
        EXPECT_EQ(console.err, kProbeUsage);
    }
    EXPECT_EQ(console.prints.size(), 21u);  // one print per line of the usage text
    console.err.clear();
    EXPECT_EQ(run({"com3", "state"}), 2);
    EXPECT_EQ(console.err, line(kBadPortName, "com3"));
    for (const char* command : {"Ready", "readyX"}) {
        console.err.clear();
        console.prints.clear();
        EXPECT_EQ(run({"COM5", command}), 2);
        EXPECT_EQ(console.err, line(kUnknownCommand, command) + kProbeUsage);
        EXPECT_EQ(console.prints.size(), 8u);
    }
    console.err.clear();
    EXPECT_EQ(run({"COX5", "ready"}), 2);
    EXPECT_EQ(run({"find", "1a86:75z3"}), 2);
    EXPECT_EQ(console.err, line(kBadPortName, "COX5") + line(kBadUsbId, "1a86:75z3"));
    EXPECT_EQ(run({"ports", "x"}) + run({"find"}) + run({"COM5", "ready", "x"}), 6);
    for (const char* bad : {"seconds=0", "seconds=3601", "fps=301", "leds=2049", "fps=+3", "fps=3x",
                            "fps=", "leds=000012", "rate=3"}) {
        console.err.clear();
        EXPECT_EQ(run({"COM5", "stream", bad}), 2) << bad;
        EXPECT_EQ(console.err, kBadStreamArgs + std::string(kProbeUsage));
    }
    EXPECT_EQ(run({"COM5", "stream", "fps=30", "seconds=3", "fps=30"}), 2);
    EXPECT_TRUE(link.open_names.empty());
    EXPECT_EQ(g_listings, 0);
    EXPECT_EQ(run({"ports"}) + run({"find", "1a86:7523:ab:C"}), 0);
    EXPECT_EQ(g_listings, 1);
    EXPECT_TRUE(g_found.vid == 0x1A86 && g_found.pid == 0x7523 && std::string(g_found.serial) == "ab:C");
    EXPECT_EQ(console.out, "");
}

TEST_F(Probe, ReadyWaitsForALatePortThenKeepsItOpen) {
    link.open_script = {{false, 2}, {false, 5}, {false, 2}};
    link.read_script.push_back(read_of("WLED 0.14.0\r\n"));
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, "3010", "4", "WLED 0.14.0"));
    EXPECT_EQ(link.open_names.size(), 4u);
    EXPECT_EQ(link.all_bytes(), bytes_of("v"));
}

TEST_F(Probe, ReadyCountsBootTextBeforeTheReply) {
    reply_at(0, "rst:0x1 (POWERON)\r\n");
    reply_at(300, "boot:0x13\r\n");  // then deaf until 1.5 s
    reply_at(1500, "OK\nWLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, result_ms(), "2", "WLED 0.14.0") + line(kReadyOtherText, "31"));
    EXPECT_GE(result_ns(), 1500 * kNsPerMs);
    EXPECT_EQ(link.opened.size(), 1u);
    // Asked again once the boot text has stopped for 0.25 s, once in the attempt, then at the next.
    EXPECT_EQ(link.all_bytes(), bytes_of("vvv"));
    EXPECT_GE(link.writes[1].start_ns - start, 250 * kNsPerMs);
    EXPECT_LT(link.writes[1].start_ns - start, 350 * kNsPerMs);
}

TEST_F(Probe, ReadyReopensOnlyAfterAFailedWrite) {
    link.write_script.push_back(failed_write(22));
    reply_at(1000, "WLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, "1010", "2", "WLED 0.14.0"));
    ASSERT_EQ(link.opened.size(), 2u);
    EXPECT_EQ(link.writes[1].port, link.opened[1]);

    // A line the old handle began is not completed on the new one, but counted.
    console.out.clear();
    link.write_script = {{}, failed_write(22)};
    reply_at(800, "WLED 0.");
    reply_at(2000, "14.0\r\nWLED 1\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, "2010", "3", "WLED 1") + line(kReadyOtherText, "12"));
}

TEST_F(Probe, ReadyFailsAfterThirtySecondsNamingTheLastObstacle) {
    EXPECT_EQ(run({"COM7", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, result_ms(), "silence") + kDtrNote);
    EXPECT_GE(result_ns(), 30000 * kNsPerMs);
    EXPECT_LE(result_ns(), 30100 * kNsPerMs);
    EXPECT_EQ(link.writes.size(), 30u);
    EXPECT_EQ(link.opened.size(), 1u);

    console.out.clear();
    reply_at(29500, "OK\r\n");
    link.dtr_result = {false, 50};  // Wine on a pty: ERROR_NOT_SUPPORTED
    EXPECT_EQ(run({"COM7", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, result_ms(), "reply reply_bytes=4F 4B 0D 0A") +
                               line(kDtrRefusedNote, "COM7", "ESP32-S3", "50"));
    EXPECT_EQ(link.dtr_raised.size(), 2u);  // once for each open of the native port, never for COM5

    console.out.clear();
    link.open_script.assign(30, {false, 2});
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, "30000", "open code=2"));

    link.write_policy = [](std::size_t, const std::uint8_t*, std::uint32_t) { return failed_write(22); };
    console.out.clear();
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, "30000", "write code=22"));

    link.open_script = {{false, 2}, {false, 31}, {false, 433}, {false, 1167}, {false, 21}, {false, 87}};
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM5", "87"));
}

TEST_F(Probe, ReadyJudgesWholeLines) {
    const std::string wled63 = "WLED " + std::string(58, '9');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"boot\rWLED 0.14.0\r\n", line(kReadyOk, "10", "1", "WLED 0.14.0") + line(kReadyOtherText, "5")},
        {"\r\n\nWLED 1\n", line(kReadyOk, "10", "1", "WLED 1")},  // empty lines are not text
        {wled63 + "0\r\n", line(kReadyOk, "10", "1", wled63)},    // judged at 63 bytes
        {std::string(63, 'x') + "WLED 0\r\nWLED 1\n",             // a full line's rest is not a line
         line(kReadyOk, "10", "1", "WLED 1") + line(kReadyOtherText, "70")},
    };
    for (const auto& c : cases) {
        console.out.clear();
        reply_at(0, c.first);
        EXPECT_EQ(run({"COM5", "ready"}), 0);
        EXPECT_EQ(console.out, c.second);
    }
    // A line without its end is judged after 0.5 s of quiet.
    console.out.clear();
    reply_at(0, "WLED 0.14.0");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, result_ms(), "1", "WLED 0.14.0"));
    EXPECT_GE(result_ns(), 500 * kNsPerMs);
    // The rest of a full line ends with the quiet too.
    console.out.clear();
    reply_at(0, std::string(64, 'x'));
    reply_at(600, "WLED 1\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, result_ms(), "1", "WLED 1") + line(kReadyOtherText, "64"));
    // Half a reply at the end of an attempt is completed in the next.
    console.out.clear();
    reply_at(900, "WLED 0.");
    reply_at(1100, "14.0\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, result_ms(), "2", "WLED 0.14.0"));

    // What the FAIL line shows is the last attempt's; no DTR note after open failures.
    console.out.clear();
    reply_at(0, "OK\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    link.open_script.assign(30, {false, 2});
    EXPECT_EQ(run({"COM7", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, "30000", "silence") + line(kReadyFail, "30000", "open code=2"));
}

TEST_F(Probe, StateSendsTheQueryAndReportsWhatItKnows) {
    link.read_script.push_back(
        read_of("{\"state\":{\"on\":true,\"bri\":1.28e2,\"seg\":[]},\"info\":{\"ver\":\"0.14.0\","));
    link.read_script.push_back(read_of("\"leds\":{\"count\":12},\"live\":false,\"name\":\"WLED\"}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "true", "128", "false", "12", "\"0.14.0\"", "\"WLED\""));
    EXPECT_EQ(link.all_bytes(), bytes_of("{\"v\":true}\n"));

    console.out.clear();
    link.read_script.push_back(
        read_of("{\"state\":{\"on\":false,\"bri\":\"x\"},\"info\":{\"leds\":{\"count\":1.5}}}\n"));
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "false", "unknown", "unknown", "unknown", "unknown", "unknown"));
}

TEST_F(Probe, StateFailures) {
    link.write_policy = [](std::size_t, const std::uint8_t*, std::uint32_t) { return failed_write(22); };
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.write_policy = nullptr;
    EXPECT_EQ(run({"COM5", "state"}), 1);
    EXPECT_EQ(link.writes.size(), 3u + 1u);  // a silent controller is asked once
    link.read_script.push_back(read_of("{\"state\":{\"on\":tru}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"error\":3}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"error\":4}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"state\":"));  // then quiet: cut, not too long
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"on\":true}\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"on\":tx}\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"a\":1 \"b\\\"c\"}\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"state\":1,\"info\":[]}\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    reply_at(2800, "{\"state\":");  // across the end of the wait, then quiet
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of(std::string(16384, '{')));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    EXPECT_EQ(console.out,
              line(kStateFail, "write code=22") + line(kStateFail, "reply=none waited_ms=3000") +
                  line(kStateFail, "reply=not-json at=19 bytes=21") +
                  line(kStateFail, "reply=error error=3") + kStateBusyNote +
                  line(kStateFail, "reply=error error=4") + line(kStateFail, "reply=cut bytes=9") +
                  line(kStateFail, "reply=no-state") + line(kStateFail, "reply=not-json at=8 bytes=10") +
                  line(kStateFail, "reply=not-json at=8 bytes=15") + line(kStateFail, "reply=no-state") +
                  line(kStateFail, "reply=no-json bytes=1 waited_ms=3000") +
                  line(kStateFail, "reply=cut bytes=9") + line(kStateFail, "reply=too-long bytes=16384"));
    link.open_script.assign(3, {false, 2});
    EXPECT_EQ(run({"COM9", "state"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM9", "2"));
    EXPECT_GE(clock.now() - start, 3000 * kNsPerMs);
}

TEST_F(Probe, StateReadsThroughARestartAndOnlyTheReplyLine) {
    // Boot text for the query sent at the open, then deaf until a later one.
    reply_at(0, "ets Jun  8 2016\r\nrst:0x1\r\n");
    const std::string reply =
        "{\"state\":{\"on\":true},\"info\":{\"name\":\"" + std::string(16330, 'n') + "\"}}";
    reply_at(2500, reply + std::string(16383 - reply.size(), ' ') + "\nOK state on=false\n");
    EXPECT_EQ(run({"COM5", "state"}), 0);
    // 16384 bytes with the LF: OK; what follows the LF is not read.
    EXPECT_EQ(console.out, line(kStateOk, "true", "unknown", "unknown", "unknown", "unknown",
                                "\"" + std::string(16330, 'n') + "\"") +
                               line(kReadyOtherText, "24"));
    EXPECT_EQ(link.all_bytes().size(), 4 * 11u);  // at 0, after the boot text, at 1 s and 2 s

    console.out.clear();
    link.default_read = read_of("log\n");
    EXPECT_EQ(run({"COM5", "state"}), 1);
    EXPECT_EQ(console.out.substr(0, 31), head(kStateFail) + "reply=no-json bytes=");
    EXPECT_GE(clock.now() - start, 10000 * kNsPerMs);

    console.out.clear();
    link.default_read = {};
    link.read_script.push_back(read_of(std::string(16384, 'x') + "{\"state\":{}}\n\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);  // every byte counted, the empty line too
    EXPECT_EQ(console.out, line(kStateFail, "reply=no-json bytes=16398 waited_ms=" + result_ms()));
}

TEST_F(Probe, StateListensThroughTheFirstWait) {
    // A boot line printed slowly across the end of the first 3 s...
    for (int ms = 2800; ms < 3600; ms += 100) {
        reply_at(ms, "x");
    }
    reply_at(3600, "\r\n");
    // ...a log line after the query sent then, and the reply pausing across the next attempt's start.
    reply_at(3700, "ok\r\n");
    reply_at(3800, "{\"state\":{\"on\":true},");
    reply_at(4100, "\"info\":{}}\r\n");
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "true", "unknown", "unknown", "unknown", "unknown", "unknown") +
                               line(kReadyOtherText, "12"));
    EXPECT_EQ(link.writes.size(), 2u);
}

TEST_F(Probe, DeviceTextNeverLeavesItsQuotes) {
    link.read_script.push_back(
        read_of("{\"info\":{\"ver\":\"0.14\\u0000x\\ud83d\\ude00\",\"name\":\"E\\\"\\nOK state "
                "on=true\\u0085\\u2028\\udc00\\udc00\"}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "unknown", "unknown", "unknown", "unknown",
                                "\"0.14?x\xF0\x9F\x98\x80\"", "\"E'?OK state on=true????\""));
    console.out.clear();
    link.read_script.push_back(read_of("WLED \"\x85\xC2\x85\r\n"));
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, "10", "1", "WLED '??"));
}

TEST_F(Probe, StateChecksWhatAScriptExpects) {
    // What the controller sent, as typed, matches; what the rule prints does not.
    const std::string reply = "{\"state\":{\"on\":false,\"bri\":50},\"info\":{\"name\":\"D\\\"k\\tx\"}}\n";
    link.read_script.push_back(read_of(reply));
    EXPECT_EQ(run({"COM5", "state", "on=false", "bri=50", "name=D\"k\tx"}), 0);
    link.read_script.push_back(read_of(reply));
    console.out.clear();
    EXPECT_EQ(run({"COM5", "state", "on=true", "leds=unknown", "name=D'k?x", "bri=50"}), 1);
    EXPECT_EQ(console.out, line(kStateOk, "false", "50", "unknown", "unknown", "unknown", "\"D'k?x\"") +
                               line(kStateCheckFail, "on", "true", "false") +
                               line(kStateCheckFail, "leds", "unknown", "unknown") +
                               line(kStateCheckHidden, "name", "\"D'k?x\"", "\"D'k?x\""));
    link.read_script.push_back(read_of("{\"state\":{\"bri\":5}}\n"));
    console.out.clear();
    EXPECT_EQ(run({"COM5", "state", "name=", "ver=0.15", "bri=5\x01"}), 1);
    EXPECT_EQ(console.out, line(kStateOk, "unknown", "5", "unknown", "unknown", "unknown", "unknown") +
                               line(kStateCheckFail, "name", "\"\"", "unknown") +
                               line(kStateCheckFail, "ver", "\"0.15\"", "unknown") +
                               line(kStateCheckFail, "bri", "5?", "5"));
    for (const char* bad : {"On=true", "on", "colour=red", "brightness=50"}) {
        console.err.clear();
        EXPECT_EQ(run({"COM5", "state", "on=true", bad}), 2);
        EXPECT_EQ(console.err, line(kBadCheck, bad) + kProbeUsage);
    }
    EXPECT_EQ(link.opened.size(), 3u);
}

namespace {

// Slots of a 30 fps stream, in ns after its start.
MonoNs slot30(int k) { return k * 1000 * kNsPerMs / 30; }

struct StreamProbe : Probe {
    MonoNs frame_start(std::size_t i) const { return link.writes[i].start_ns - link.writes[0].start_ns; }
};

}  // namespace

TEST_F(StreamProbe, FramesGoOutOnTheirSlotsAndALateOneIsSkipped) {
    // Writes take 1.5 ms; the 11th takes 80 ms, so slot 11 is over before it can go.
    link.write_policy = [](std::size_t n, const std::uint8_t*, std::uint32_t) {
        return FakeLink::WriteResult{true, 0, (n == 11 ? 80000 : 1500) * 1000};
    };
    reply_at(2005, "WLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM7", "stream", "seconds=2", "leds=12"}), 0);
    EXPECT_EQ(console.out, line(kStream, "OK", "59", "1", "29.5", "12", "2.0", "1.5", "80.0", "80.0", "0",
                                " reply=\"WLED 0.14.0\"") +
                               kDtrNote);
    ASSERT_EQ(link.writes.size(), 60u);  // 59 frames and the version query
    EXPECT_EQ(link.dtr_raised, link.opened);
    for (std::size_t i = 0; i < 59; ++i) {  // after the skipped slot 11, frame i is slot i + 1
        EXPECT_EQ(frame_start(i),
                  i == 11 ? slot30(10) + 80 * kNsPerMs : slot30(static_cast<int>(i < 11 ? i : i + 1)));
    }
    // The spike's 12-LED header; the lit LED follows the slot, past the skipped one.
    const AdalightFrame spike = solid_frame(0, 0, 0);
    EXPECT_TRUE(std::equal(spike.bytes, spike.bytes + 6, link.writes[0].bytes.begin()));
    EXPECT_EQ(link.writes[11].bytes[6 + 3 * 0 + 2], 24);  // frame 12 lights LED 0 again
    // A few status updates a second, then the line cleared.
    EXPECT_TRUE(console.statuses.size() >= 2 && console.statuses.size() <= 10);
    EXPECT_EQ(console.statuses.back() + console.err, "");
}

TEST_F(StreamProbe, AWaitThatWakesAfterItsSlotDropsTheFrame) {
    link.pace_late_ns = {0, 0, 0, 0, 120 * kNsPerMs};
    reply_at(1005, "WLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM7", "stream", "seconds=1", "leds=12"}), 0);
    EXPECT_NE(console.out.find(" frames=27 late=3 "), std::string::npos) << console.out;
    // Slots 4 to 6 are over when the wait wakes: slot 7's frame goes next, inside its slot.
    EXPECT_EQ(frame_start(4), slot30(4) + 120 * kNsPerMs);
    EXPECT_EQ(link.writes[4].bytes[6 + 3 * 7 + 2], 24);
}

TEST_F(StreamProbe, OverTheCeilingRunsAtTheLineRate) {
    reply_at(1030, "WLED 0.14.0\n");
    console.status_is_console = false;
    EXPECT_EQ(run({"COM5", "stream", "seconds=1", "fps=30", "leds=300"}), 0);
    EXPECT_EQ(console.out, line(kStreamCeiling, "30", "300", "906", "12.7") +
                               line(kStream, "OK", "13", "0", "12.7", "300", "1.0", "0.0", "0.0", "0.0", "0",
                                    " reply=\"WLED 0.14.0\""));
    EXPECT_EQ(frame_start(4 * 12), 12 * 906 * 1000 * kNsPerMs / 11520);  // in pieces of 256, 256, 256, 138
    EXPECT_EQ(link.writes[3].bytes.size(), 138u);
    EXPECT_TRUE(console.statuses.empty());
    // 126 LEDs at 30 fps fill the line exactly: no ceiling.
    EXPECT_FALSE(plan_stream(1, 30, 126).at_ceiling);
    EXPECT_TRUE(plan_stream(1, 30, 127).at_ceiling);
}

TEST_F(StreamProbe, TextMidStreamFailsAndQuotesTheBoardsResetLine) {
    reply_at(1000,
             "ets Jun  8 2016 00:22:57\r\n\r\nrst:0xc (SW_CPU_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n");
    link.read_script.back().duration_ns = 0;
    reply_at(2005, "WLED 0.14.0\n");
    EXPECT_EQ(run({"COM5", "stream", "seconds=2", "leds=12"}), 1);
    EXPECT_EQ(console.out,
              line(kStream, "FAIL", "60", "0", "30.0", "12", "2.0", "0.0", "0.0", "0.0", "84",
                   " cause=text reply=\"WLED 0.14.0\"") +
                  line(kStreamText, "1.0", "ets Jun  8 2016 00:22:57") +
                  line(kStreamReset, "1", "rst:0xc (SW_CPU_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)"));
    // Read as much as waited, no more: a read for more would wait out its time-out.
    EXPECT_EQ(link.reads.front().capacity, 84u);
}

TEST_F(StreamProbe, AFailedWriteEndsTheStreamAtOnceCtrlCBeforeTheCheck) {
    link.write_policy = [](std::size_t n, const std::uint8_t*, std::uint32_t) {
        return n == 20 ? failed_write(22) : FakeLink::WriteResult{};
    };
    EXPECT_EQ(run({"COM5", "stream", "leds=12"}), 1);
    EXPECT_EQ(link.writes.size(), 20u);  // no query after it
    link.write_policy = [](std::size_t n, const std::uint8_t*, std::uint32_t) {
        return n == 25 ? request_stop(), FakeLink::WriteResult{} : FakeLink::WriteResult{};
    };
    EXPECT_EQ(run({"COM5", "stream", "leds=12"}), 1);
    EXPECT_EQ(console.out, line(kStream, "FAIL", "19", "0", "30.0", "12", "0.6", "0.0", "0.0", "0.0", "0",
                                " cause=write frame=20 code=22 at_ms=633") +
                               line(kStream, "FAIL", "5", "0", "37.5", "12", "0.1", "0.0", "0.0", "0.0", "0",
                                    " cause=no-reply,stopped reply=none"));
    EXPECT_EQ(link.all_bytes().back(), 'v');
}

TEST_F(StreamProbe, TheLedCountComesFromTheState) {
    reply_at(0, "{\"state\":{},\"info\":{\"leds\":{\"count\":5}}}\n");
    reply_at(2005, "WLED 0.14.0\n");
    EXPECT_EQ(run({"COM5", "stream", "seconds=1", "fps=1"}), 0);
    EXPECT_EQ(link.writes.at(1).bytes.size(), 6u + 3 * 5);
    console.out.clear();
    reply_at(0, "{\"state\":{},\"info\":{\"leds\":{\"count\":2049}}}\n");
    EXPECT_EQ(run({"COM5", "stream"}), 1);
    EXPECT_EQ(console.out, line(kStreamNoLeds, "no-led-count"));
}

TEST(StreamStatistics, NearestRankPercentile) {
    std::vector<std::int64_t> v(200);
    std::iota(v.rbegin(), v.rend(), 1);
    EXPECT_EQ(percentile(v.data(), v.size(), 50), 100);
    EXPECT_EQ(percentile(v.data(), v.size(), 99), 198);
    EXPECT_EQ(percentile(v.data(), v.size(), 100), 200);
    EXPECT_EQ(percentile(v.data(), 0, 99), 0);
}
