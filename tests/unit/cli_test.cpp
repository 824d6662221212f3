#include <gtest/gtest.h>

#include "cli/cli.h"
#include "expected_lines.h"
#include "front/port_name.h"
#include "protocol/messages.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

struct Cli : ::testing::Test {
    VirtualClock clock;
    FakeConsole console;
    FakeLink link;

    void TearDown() override { EXPECT_EQ(link.problems(), ""); }
};

}  // namespace

TEST_F(Cli, WrongArgumentCountPrintsUsageAndTouchesNoPort) {
    const std::vector<std::vector<std::string>> cases = {{}, {"COM5"}, {"COM5", "off", "extra"}};
    for (const auto& args : cases) {
        console.err.clear();
        console.prints.clear();
        EXPECT_EQ(run_cli(args), 2);
        EXPECT_EQ(console.err, kUsage);
        // A console shows only a print's closing LF as a line end: one line per print.
        EXPECT_EQ(console.prints.size(), 3u);
        for (const auto& print : console.prints) {
            EXPECT_EQ(print.text.find('\n'), print.text.size() - 1) << print.text;
        }
    }
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(link.open_names.empty());
}

TEST_F(Cli, UsageTextLayoutIsExact) { EXPECT_EQ(std::string(kUsageText), kUsage); }

TEST_F(Cli, PortNameRule) {
    for (const char* good : {"COM0", "COM5", "COM10", "COM999", "COM007"}) {
        EXPECT_TRUE(is_com_port_name(good)) << good;
    }
    for (const char* bad : {"", "com3", "COM", "COM1234", "COM1a", "\\\\.\\COM5", "Com5", "COM 5", "COM-1",
                            "COM5 ", " COM5", "COMX"}) {
        EXPECT_FALSE(is_com_port_name(bad)) << bad;
    }
}

TEST_F(Cli, InvalidPortNameIsRejectedBeforeAnyOpen) {
    EXPECT_EQ(run_cli({"com3", "off"}), 2);
    EXPECT_EQ(console.err, line(kBadPortName, "com3"));
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(link.open_names.empty());
}

TEST_F(Cli, NameIsPrintedAsTextNeverAsFormat) {
    EXPECT_EQ(run_cli({"%s%n%x", "off"}), 2);
    EXPECT_EQ(console.err, line(kBadPortName, "%s%n%x"));
    EXPECT_EQ(run_cli({"COM5", "%n%s"}), 2);
    EXPECT_NE(console.err.find(line(kUnknownStep, "%n%s")), std::string::npos);
}

TEST_F(Cli, OpenFailureNamesThePortAsTypedAndNeverJudgesTheStep) {
    for (const char* step : {"off", "no-such-step"}) {
        console.err.clear();
        link.open_script.push_back({false, 2});
        EXPECT_EQ(run_cli({"COM9", step}), 1);
        EXPECT_EQ(console.err, line(kOpenFail, "COM9", "2"));
    }
    console.err.clear();
    link.open_script.push_back({false, 4294967295u});
    EXPECT_EQ(run_cli({"COM007", "v"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM007", "4294967295"));
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(link.open_names, (std::vector<std::string>{"COM9", "COM9", "COM007"}));
}

TEST_F(Cli, UnknownStepIsJudgedAfterTheOpenAndClosesThePort) {
    for (const char* step : {"V", "Fill-red", "", "off "}) {
        console.err.clear();
        EXPECT_EQ(run_cli({"COM5", step}), 2);
        EXPECT_EQ(console.err, line(kUnknownStep, step) + kUsage);
    }
    EXPECT_EQ(console.prints.size(), 4u * 4u);  // the error, then one print per line of the usage text
    EXPECT_EQ(link.opened.size(), 4u);
    EXPECT_EQ(link.closed.size(), 4u);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(console.out, "");
}

TEST_F(Cli, PowerStepsSendExactlyTheirLineAndCloseOnce) {
    EXPECT_EQ(run_cli({"COM10", "off"}), 0);
    EXPECT_EQ(run_cli({"COM10", "on"}), 0);
    EXPECT_EQ(console.out, line(kPowerOk, "off") + line(kPowerOk, "on"));
    EXPECT_EQ(console.err, "");
    ASSERT_EQ(link.writes.size(), 2u);
    EXPECT_EQ(link.writes[0].bytes, bytes_of("{\"on\":false}\n"));
    EXPECT_EQ(link.writes[1].bytes, bytes_of("{\"on\":true}\n"));
    EXPECT_EQ(link.open_names, (std::vector<std::string>{"COM10", "COM10"}));
    EXPECT_EQ(link.closed.size(), 2u);
}

TEST_F(Cli, PowerWriteFailureIsAFailLineWithTheCode) {
    link.write_script.push_back(failed_write(258));
    EXPECT_EQ(run_cli({"COM5", "off"}), 1);
    link.write_script.push_back(failed_write(21));
    EXPECT_EQ(run_cli({"COM5", "on"}), 1);
    EXPECT_EQ(console.out, line(kPowerFail, "off", "258") + line(kPowerFail, "on", "21"));
    EXPECT_EQ(link.closed.size(), 2u);
}

TEST_F(Cli, EveryStepNameDispatchesAndTheStatusPassesThrough) {
    // A silent controller: v fails, writes succeed.
    struct Case {
        const char* step;
        int status;
        std::string first_line;
    };
    const Case cases[] = {
        {"v", 1, kVersionTimeout},
        {"fill-red", 0, line(kFillOk, "red")},
        {"fill-green", 0, line(kFillOk, "green")},
        {"fill-blue", 0, line(kFillOk, "blue")},
        {"bri50", 0, kBri50Ok},
        {"all", 1, kVersionTimeout},
    };
    for (const Case& c : cases) {
        console.out.clear();
        EXPECT_EQ(run_cli({"COM5", c.step}), c.status) << c.step;
        EXPECT_EQ(console.out.substr(0, c.first_line.size()), c.first_line) << c.step;
    }
    EXPECT_EQ(link.opened.size(), 6u);
    EXPECT_EQ(console.err, "");
}

TEST_F(Cli, UnplugLoopThatClosedThePortIsNotClosedAgain) {
    console.stdin_data = "\n";
    link.write_script.push_back(failed_write(21));
    EXPECT_EQ(run_cli({"COM5", "unplug-loop"}), 0);
    EXPECT_NE(console.out.find(line(kReopenOk, "1", "21")), std::string::npos);
    ASSERT_EQ(link.opened.size(), 2u);
    EXPECT_EQ(link.closed, link.opened);
}

TEST_F(Cli, PortHeldByAnotherProgramIsAnOpenFailure) {
    // Windows refuses a second open of a COM port with ERROR_ACCESS_DENIED.
    link.open_script.push_back({false, 5});
    EXPECT_EQ(run_cli({"COM5", "all"}), 1);
    EXPECT_EQ(console.err, line(kOpenFail, "COM5", "5"));
    EXPECT_EQ(console.out, "");
    EXPECT_TRUE(link.opened.empty());
}
