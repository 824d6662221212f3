#include <gtest/gtest.h>

#include "expected_lines.h"
#include "probe/probe.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

const std::string kDtrNote = line(kReadyDtrNote, "COM7", "ESP32-S3");

int g_listings = 0;
ExitStatus fake_listing() { return ++g_listings, 0; }
const char* esp32_s3_on_com7(const char* port) { return std::string(port) == "COM7" ? "ESP32-S3" : nullptr; }
const ProbeHost kHost = {fake_listing, esp32_s3_on_com7};

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
    EXPECT_EQ(console.prints.size(), 9u);  // one print per line of the usage text
    console.err.clear();
    EXPECT_EQ(run({"com3", "state"}), 2);
    EXPECT_EQ(console.err, line(kBadPortName, "com3"));
    console.err.clear();
    EXPECT_EQ(run({"COM5", "Ready"}), 2);
    EXPECT_EQ(console.err, line(kUnknownCommand, "Ready") + kProbeUsage);
    EXPECT_TRUE(link.open_names.empty());
    EXPECT_EQ(run({"ports"}), 0);
    EXPECT_EQ(g_listings, 1);
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
    reply_at(0, "rst:0x1 (POWERON)\r\nboot:0x13\r\n");  // 30 bytes, then deaf until 1.5 s
    reply_at(1500, "OK\nWLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, result_ms(), "2", "WLED 0.14.0") + line(kReadyOtherText, "33"));
    EXPECT_GE(result_ns(), 1500 * kNsPerMs);
    EXPECT_EQ(link.opened.size(), 1u);
    EXPECT_EQ(link.all_bytes(), bytes_of("vv"));
}

TEST_F(Probe, ReadyReopensOnlyAfterAFailedWrite) {
    link.write_script.push_back(failed_write(22));
    reply_at(1000, "WLED 0.14.0\r\n");
    EXPECT_EQ(run({"COM5", "ready"}), 0);
    EXPECT_EQ(console.out, line(kReadyOk, "1010", "2", "WLED 0.14.0"));
    ASSERT_EQ(link.opened.size(), 2u);
    EXPECT_EQ(link.writes[1].port, link.opened[1]);
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
    EXPECT_EQ(run({"COM7", "ready"}), 1);  // the DTR note is for silence only
    EXPECT_EQ(console.out, line(kReadyFail, result_ms(), "reply reply_bytes=4F 4B 0D 0A"));

    console.out.clear();
    link.open_script.assign(30, {false, 2});
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, "30000", "open code=2"));

    link.write_policy = [](std::size_t, const std::uint8_t*, std::uint32_t) { return failed_write(22); };
    console.out.clear();
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.out, line(kReadyFail, "30000", "write code=22"));

    link.open_script = {{false, 2}, {false, 31}};
    EXPECT_EQ(run({"COM5", "ready"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM5", "31"));
}

TEST_F(Probe, StateSendsTheQueryAndReportsWhatItKnows) {
    link.read_script.push_back(
        read_of("{\"state\":{\"on\":true,\"bri\":128,\"seg\":[]},\"info\":{\"ver\":\"0.14.0\","));
    link.read_script.push_back(read_of("\"leds\":{\"count\":12},\"live\":false,\"name\":\"WLED\"}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "true", "128", "false", "12", "\"0.14.0\"", "\"WLED\""));
    EXPECT_EQ(link.all_bytes(), bytes_of("{\"v\":true}\n"));

    console.out.clear();
    link.read_script.push_back(read_of("{\"state\":{\"on\":false,\"bri\":\"x\"}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 0);
    EXPECT_EQ(console.out, line(kStateOk, "false", "unknown", "unknown", "unknown", "unknown", "unknown"));
}

TEST_F(Probe, StateFailures) {
    link.write_script.push_back(failed_write(22));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"state\":{\"on\":tru}}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of("{\"error\":3}\r\n"));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    link.read_script.push_back(read_of(std::string(20000, '{')));
    EXPECT_EQ(run({"COM5", "state"}), 1);
    EXPECT_EQ(console.out, line(kStateFail, "write code=22") + line(kStateFail, "reply=none waited_ms=3000") +
                               line(kStateFail, "reply=not-json at=19 bytes=22") +
                               line(kStateFail, "reply=error error=3") + kStateBusyNote +
                               line(kStateFail, "reply=too-long bytes=16384"));
    link.open_script.push_back({false, 2});
    EXPECT_EQ(run({"COM9", "state"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM9", "2"));
}
