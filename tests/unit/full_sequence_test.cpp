#include <gtest/gtest.h>

#include "cli/cli.h"
#include "expected_lines.h"
#include "protocol/messages.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

const std::string kVersionOk14 = line(kVersionOk, "WLED 0.14.0");
const std::string kFillsOk = line(kFillOk, "red") + line(kFillOk, "green") + line(kFillOk, "blue");

struct FullSequence : ::testing::Test {
    StepRig rig;
    void SetUp() override { rig.open(); }
    void TearDown() override {
        close_port(rig.port);
        EXPECT_EQ(rig.link.problems(), "");
    }
};

}  // namespace

TEST_F(FullSequence, EverythingPasses) {
    rig.link.read_script.push_back(read_of("WLED 0.14.0\r\n"));
    EXPECT_EQ(step_all(rig.port), 0);
    EXPECT_EQ(rig.console.out,
              kVersionOk14 + kFillsOk + kBri50Ok + line(kPowerOk, "off") + line(kPowerOk, "on") + kNote);
    ASSERT_EQ(rig.link.writes.size(), 8u);
    EXPECT_EQ(rig.link.writes.back().bytes, bytes_of(CMD_POWER_ON));
    // Pauses 250, 500, 500, 500, 1000, 250 plus the 25 ms gap inside bri50.
    EXPECT_EQ(rig.clock.sleeps(), (std::vector<std::uint32_t>{250, 500, 500, 500, 25, 1000, 250}));
}

TEST_F(FullSequence, SilentControllerSendsNothingElseButKeepsThePauses) {
    const MonoNs after_query_start = rig.clock.now();
    EXPECT_EQ(step_all(rig.port), 1);
    EXPECT_EQ(rig.console.out, kVersionTimeout + std::string(kNote));
    ASSERT_EQ(rig.link.writes.size(), 1u);
    EXPECT_EQ(rig.link.writes[0].bytes, bytes_of("v"));
    const auto& sleeps = rig.clock.sleeps();
    const std::vector<std::uint32_t> pauses(sleeps.end() - 6, sleeps.end());
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{250, 500, 500, 500, 1000, 250}));
    EXPECT_GE(rig.console.time_of(kNote) - after_query_start, (2000 + 3000) * kNsPerMs);
}

TEST_F(FullSequence, JsonFailureInBri50SkipsPowerButNotThePauses) {
    rig.link.read_script.push_back(read_of("WLED 0.14.0\r\n"));
    // Writes: query, red, green, blue, white frame, then the JSON line fails.
    rig.link.write_policy = [](std::size_t n, const std::uint8_t*, std::uint32_t) {
        return n == 6 ? failed_write(258) : FakeLink::WriteResult{};
    };
    EXPECT_EQ(step_all(rig.port), 1);
    EXPECT_EQ(rig.console.out, kVersionOk14 + kFillsOk + line(kBri50Fail, "json_write", "258") + kNote);
    EXPECT_EQ(rig.link.writes.size(), 6u);
    EXPECT_EQ(rig.clock.sleeps(), (std::vector<std::uint32_t>{250, 500, 500, 500, 25, 1000, 250}));
    EXPECT_GE(rig.console.time_of(kNote) - rig.console.time_of(head(kBri50Fail)), 1250 * kNsPerMs);
}

TEST_F(FullSequence, FailingCheckInTheMiddleStopsChecking) {
    rig.link.read_script.push_back(read_of("WLED 0.14.0\r\n"));
    rig.link.write_policy = [](std::size_t n, const std::uint8_t*, std::uint32_t) {
        return n == 3 ? failed_write(29) : FakeLink::WriteResult{};
    };
    EXPECT_EQ(step_all(rig.port), 1);
    EXPECT_EQ(rig.console.out, kVersionOk14 + line(kFillOk, "red") + line(kFillFail, "green", "29") + kNote);
    EXPECT_EQ(rig.link.writes.size(), 3u);
}
