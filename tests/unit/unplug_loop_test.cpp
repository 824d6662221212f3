#include <gtest/gtest.h>

#include "expected_lines.h"
#include "protocol/messages.h"
#include "steps/steps.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

struct UnplugLoop : ::testing::Test {
    StepRig rig;
    PortHandle lent{};
    void SetUp() override {
        rig.console.stdin_data = "\n";
        lent = rig.open();
    }
    // The lent port, closed the way main closes it: only if still open.
    int run() {
        const int status = step_unplug_loop(rig.port, "COM5");
        if (port_is_open(rig.port)) {
            close_port(rig.port);
        }
        return status;
    }
    void fail_write_number(std::size_t k, ErrorCode code) {
        rig.link.write_policy = [k, code](std::size_t n, const std::uint8_t*, std::uint32_t) {
            return n == k ? failed_write(code) : FakeLink::WriteResult{};
        };
    }
    void TearDown() override {
        // Every handle handed out was closed exactly once.
        EXPECT_EQ(rig.link.problems(), "");
        EXPECT_EQ(rig.link.closed.size(), rig.link.opened.size());
    }
};

}  // namespace

TEST_F(UnplugLoop, NoWriteErrorInSixHundredWritesFailsAndLeavesThePortToTheCaller) {
    EXPECT_EQ(step_unplug_loop(rig.port, "COM5"), 1);
    EXPECT_TRUE(port_is_open(rig.port));
    EXPECT_TRUE(rig.link.closed.empty());
    close_port(rig.port);
    EXPECT_EQ(rig.console.out, std::string(kPrompt) + kNoWriteError);
    EXPECT_EQ(rig.link.writes.size(), 600u);
    EXPECT_GE(rig.console.time_of(kNoWriteError) - rig.console.time_of(kPrompt), 150000 * kNsPerMs);
    const AdalightFrame grey = solid_frame(16, 16, 16);
    const std::vector<std::uint8_t> expected(grey.bytes, grey.bytes + FRAME_SIZE);
    for (const auto& w : rig.link.writes) {
        ASSERT_EQ(w.bytes, expected);
    }
    EXPECT_EQ(rig.link.opened.size(), 1u);
}

TEST_F(UnplugLoop, WriteKFailsAndReopenAttemptJSucceeds) {
    fail_write_number(5, 22);
    rig.link.open_script = {{false, 2}, {false, 433}, {true, 0}};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, kPrompt + line(kWriteError, "22") + line(kReopenOk, "3", "22"));
    EXPECT_EQ(rig.link.writes.size(), 5u);
    // Frames are spaced by the 250 ms pause.
    EXPECT_GE(rig.link.writes[1].start_ns - rig.link.writes[0].end_ns, 250 * kNsPerMs);
    EXPECT_GE(rig.console.time_of(head(kReopenOk)) - rig.console.time_of(head(kWriteError)), 3000 * kNsPerMs);
    // The lent port was closed before the first re-open; the re-opened one right after.
    ASSERT_EQ(rig.link.opened.size(), 2u);
    EXPECT_EQ(rig.link.closed, rig.link.opened);
    EXPECT_FALSE(port_is_open(rig.port));
    EXPECT_EQ(rig.link.open_names, (std::vector<std::string>{"COM5", "COM5", "COM5", "COM5"}));
}

TEST_F(UnplugLoop, AllThirtyReopensFail) {
    fail_write_number(2, 21);
    for (int i = 0; i < 30; ++i) {
        rig.link.open_script.push_back({false, 2});
    }
    rig.link.open_script.push_back({true, 0});  // a 31st attempt would succeed: it must not be made
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, kPrompt + line(kWriteError, "21") + line(kNoReopen, "21"));
    EXPECT_EQ(rig.link.open_names.size(), 1u + 30u);
    EXPECT_GE(rig.console.time_of(head(kNoReopen)) - rig.console.time_of(head(kWriteError)),
              30000 * kNsPerMs);
}

TEST_F(UnplugLoop, FirstWriteFailingGoesStraightToReopening) {
    fail_write_number(1, 1167);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, kPrompt + line(kWriteError, "1167") + line(kReopenOk, "1", "1167"));
    EXPECT_EQ(rig.console.time_of(head(kWriteError)), rig.link.writes[0].end_ns);
}

TEST_F(UnplugLoop, PromptIsFlushedBeforeWaitingAndInputEndCountsAsEnter) {
    rig.console.stdin_data = "";
    fail_write_number(1, 2);
    EXPECT_EQ(run(), 0);
    EXPECT_GE(rig.console.flushes, 1);
    EXPECT_EQ(rig.console.stdin_reads, 1);

    // Typed text before ENTER is consumed up to the line feed, no further.
    rig.console.out.clear();
    rig.console.stdin_data = "go\nmore";
    rig.console.stdin_pos = 0;
    fail_write_number(2, 2);
    rig.open();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.stdin_pos, 3u);
}
