#include <gtest/gtest.h>

#include "expected_lines.h"
#include "protocol/messages.h"
#include "steps/steps.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

struct Fill : ::testing::Test {
    StepRig rig;
    void SetUp() override { rig.open(); }
    void TearDown() override {
        close_port(rig.port);
        EXPECT_EQ(rig.link.problems(), "");
    }
};

std::vector<std::uint8_t> frame_of(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const AdalightFrame f = solid_frame(r, g, b);
    return std::vector<std::uint8_t>(f.bytes, f.bytes + FRAME_SIZE);
}

}  // namespace

TEST_F(Fill, GreenSendsOneWholeFrameAndReportsIt) {
    EXPECT_EQ(step_fill(rig.port, 0, 255, 0, "green"), 0);
    ASSERT_EQ(rig.link.writes.size(), 1u);
    const auto& bytes = rig.link.writes[0].bytes;
    ASSERT_EQ(bytes.size(), 42u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 6),
              (std::vector<std::uint8_t>{0x41, 0x64, 0x61, 0x00, 0x0B, 0x5E}));
    for (std::size_t i = 6; i < 42; i += 3) {
        EXPECT_EQ(bytes[i], 0x00);
        EXPECT_EQ(bytes[i + 1], 0xFF);
        EXPECT_EQ(bytes[i + 2], 0x00);
    }
    EXPECT_EQ(rig.console.out, line(kFillOk, "green"));
    EXPECT_TRUE(rig.link.reads.empty());
}

TEST_F(Fill, WriteFailureIsAFailLineWithTheCode) {
    rig.link.write_script.push_back(failed_write(29));
    EXPECT_EQ(step_fill(rig.port, 0, 0, 255, "blue"), 1);
    EXPECT_EQ(rig.console.out, line(kFillFail, "blue", "29"));
}

TEST_F(Fill, Bri50SendsWhiteFrameThenJsonAfterAtLeast25ms) {
    FakeLink::WriteResult slow;
    slow.duration_ns = 3 * kNsPerMs;
    rig.link.write_script.push_back(slow);
    EXPECT_EQ(step_bri50(rig.port), 0);
    ASSERT_EQ(rig.link.writes.size(), 2u);
    EXPECT_EQ(rig.link.writes[0].bytes, frame_of(255, 255, 255));
    EXPECT_EQ(rig.link.writes[1].bytes, bytes_of("{\"bri\":50}\n"));
    EXPECT_GE(rig.link.writes[1].start_ns - rig.link.writes[0].end_ns, 25 * kNsPerMs);
    EXPECT_EQ(rig.console.out, kBri50Ok);
}

TEST_F(Fill, Bri50FrameFailureSendsNoJson) {
    rig.link.write_script.push_back(failed_write(258));
    EXPECT_EQ(step_bri50(rig.port), 1);
    EXPECT_EQ(rig.console.out, line(kBri50Fail, "adalight_write", "258"));
    ASSERT_EQ(rig.link.writes.size(), 1u);
    EXPECT_EQ(rig.link.writes[0].bytes.size(), 42u);
    EXPECT_TRUE(rig.clock.sleeps().empty());
}

TEST_F(Fill, Bri50JsonFailureReportsItsOwnCode) {
    rig.link.write_script.push_back({});
    rig.link.write_script.push_back(failed_write(1460));
    EXPECT_EQ(step_bri50(rig.port), 1);
    EXPECT_EQ(rig.console.out, line(kBri50Fail, "json_write", "1460"));
}
