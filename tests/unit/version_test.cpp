#include <gtest/gtest.h>

#include "expected_lines.h"
#include "steps/steps.h"
#include "unit/test_support.h"

using namespace expected;

namespace {

struct Version : ::testing::Test {
    StepRig rig;
    MonoNs start = 0;
    void SetUp() override {
        rig.open();
        start = rig.clock.now();
    }
    void TearDown() override {
        close_port(rig.port);
        EXPECT_EQ(rig.link.problems(), "");
    }
    void script(std::initializer_list<std::string> reads) {
        for (const auto& r : reads) {
            rig.link.read_script.push_back(read_of(r));
        }
    }
    int run() { return step_version(rig.port); }
    MonoNs elapsed() const { return rig.clock.now() - start; }
};

}  // namespace

TEST_F(Version, ReplyInOneReadOrInPiecesPasses) {
    script({std::string("WLED 0.14.0\r\n")});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 0.14.0"));
    ASSERT_EQ(rig.link.writes.size(), 1u);
    EXPECT_EQ(rig.link.writes[0].bytes, bytes_of("v"));

    rig.console.out.clear();
    script({"WL", "", "ED 0.14.0", "\r\n"});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 0.14.0"));
    // Collection stops at the line ending: the fourth read was the last.
    EXPECT_EQ(rig.link.reads.size(), 1u + 4u);
}

TEST_F(Version, ReadsAskOnlyForTheRoomLeft) {
    script({"WL", "ED 0.14.0", "\r\n"});
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(rig.link.reads.size(), 3u);
    EXPECT_EQ(rig.link.reads[0].capacity, 63u);
    EXPECT_EQ(rig.link.reads[1].capacity, 61u);
    EXPECT_EQ(rig.link.reads[2].capacity, 52u);
}

TEST_F(Version, WledWithoutTheSpaceIsDumpedInHex) {
    script({std::string("WLED\r\n")});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionBytes, "57 4C 45 44 0D 0A"));

    rig.console.out.clear();
    script({std::string("WLED\r"), std::string("\n")});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionBytes, "57 4C 45 44 0D"));

    // One byte is a reply too, not silence.
    rig.console.out.clear();
    script({std::string("\n")});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionBytes, "0A"));
}

TEST_F(Version, ReplyWithoutLineEndingIsJudgedAtTheDeadline) {
    script({"OK"});
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionBytes, "4F 4B"));
    EXPECT_GE(elapsed(), 2000 * kNsPerMs);
    // The deadline is tested only at the top of a round: at most one read
    // wait and one idle pause past it.
    EXPECT_LE(elapsed(), (2000 + 100 + 50) * kNsPerMs);
}

TEST_F(Version, BarePrefixPassesWithTheSpaceTrimmed) {
    script({"WLED "});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED"));
}

TEST_F(Version, TrimmingStopsAtOtherControlCharacters) {
    script({std::string("WLED 1\t \r\n")});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 1\t"));
}

TEST_F(Version, SixtyThreeBytesWithoutLineEndingEndCollection) {
    const std::string long_reply = "WLED " + std::string(70, 'x');
    script({long_reply});
    const MonoNs before = rig.clock.now();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED " + std::string(58, 'x')));
    EXPECT_LT(rig.clock.now() - before, 100 * kNsPerMs);

    rig.console.out.clear();
    rig.link.read_script.clear();  // what did not fit the first time
    script({std::string(63, 'A')});
    EXPECT_EQ(run(), 1);
    std::string dump = "41";
    for (int i = 1; i < 63; ++i) {
        dump += " 41";
    }
    EXPECT_EQ(rig.console.out, line(kVersionBytes, dump));
}

TEST_F(Version, OnlyTheTrailingLineEndIsRemoved) {
    script({std::string("WLED 1\r\nX\r\n")});
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 1\r\nX"));
}

TEST_F(Version, SilenceEndsInTheNoneLineAfterTwoSeconds) {
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, kVersionTimeout);
    EXPECT_GE(elapsed(), 2000 * kNsPerMs);
    EXPECT_LE(elapsed(), (2000 + 100 + 50) * kNsPerMs);
    // Empty reads are paced by the idle pause, not spun.
    EXPECT_FALSE(rig.clock.sleeps().empty());
    for (auto ms : rig.clock.sleeps()) {
        EXPECT_EQ(ms, 50u);
    }
}

// The rest of the reply from a read that was still pending when its wait
// ran out and was settled after the cancel: counted like any other bytes.
TEST_F(Version, BytesOfAReadSettledPastItsWaitCompleteTheReply) {
    FakeLink::ReadResult settled = read_of(".0\r\n");
    settled.duration_ns = 100 * kNsPerMs;
    script({"WLED 0.14"});
    rig.link.read_script.push_back(settled);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 0.14.0"));
    EXPECT_EQ(rig.link.reads.size(), 2u);
}

TEST_F(Version, UncountedBytesFromAFailedReadAreNeverPrinted) {
    FakeLink::ReadResult counted = read_of("WLED 0.14");
    FakeLink::ReadResult failed;
    failed.uncounted = bytes_of(".0\r\nEXTRA");
    failed.duration_ns = 100 * kNsPerMs;
    rig.link.read_script.push_back(counted);
    rig.link.read_script.push_back(failed);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(rig.console.out, line(kVersionOk, "WLED 0.14"));

    rig.console.out.clear();
    rig.link.read_script.push_back(read_of("OK"));
    rig.link.read_script.push_back(failed);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionBytes, "4F 4B"));
}

TEST_F(Version, QueryWriteFailureEndsBeforeAnyRead) {
    rig.link.write_script.push_back(failed_write(21));
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(rig.console.out, line(kVersionWriteFail, "21"));
    EXPECT_TRUE(rig.link.reads.empty());
}
