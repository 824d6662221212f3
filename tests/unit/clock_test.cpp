#include <gtest/gtest.h>

#include <vector>

#include "common/clock.h"
#include "fakes/virtual_clock.h"

namespace {

// A clock whose sleeps wake early, as a coarse OS timer can.
MonoNs g_now = 0;
std::vector<std::uint32_t> g_requests;
MonoNs early_now() { return g_now; }
void early_sleep(std::uint32_t ms) {
    g_requests.push_back(ms);
    // Wake 0.6 ms early every time.
    g_now += static_cast<MonoNs>(ms) * kNsPerMs - 600000;
}
const ClockHooks kEarlyClock = {early_now, early_sleep};

}  // namespace

TEST(SleepMs, NeverReturnsEarlyWhenTheOsWakesEarly) {
    g_now = 5;
    g_requests.clear();
    set_clock_hooks(&kEarlyClock);
    sleep_ms(25);
    const MonoNs after = g_now;
    set_clock_hooks(nullptr);
    EXPECT_GE(after - 5, 25 * kNsPerMs);
    // The remainder after an early wake is rounded up to a whole millisecond.
    ASSERT_GE(g_requests.size(), 2u);
    EXPECT_EQ(g_requests[0], 25u);
    EXPECT_EQ(g_requests[1], 1u);
}

TEST(SleepMs, ZeroDoesNotSleepAndExactSleepsOnce) {
    VirtualClock clock;
    sleep_ms(0);
    EXPECT_TRUE(clock.sleeps().empty());
    sleep_ms(250);
    ASSERT_EQ(clock.sleeps().size(), 1u);
    EXPECT_EQ(clock.sleeps()[0], 250u);
}

TEST(SleepMs, PartialMillisecondIsRoundedUp) {
    VirtualClock clock;
    // Start mid-millisecond, then ask for the remainder of a deadline.
    const MonoNs start = clock.now();
    clock.advance(300000);
    sleep_ms(1);
    EXPECT_GE(clock.now() - start - 300000, kNsPerMs);
}

TEST(RealClock, IsMonotonicAndSleepLastsAtLeastTheRequest) {
    const MonoNs a = mono_now_ns();
    sleep_ms(5);
    const MonoNs b = mono_now_ns();
    EXPECT_GE(b - a, 5 * kNsPerMs);
    EXPECT_TRUE(deadline_passed(b, a));
    EXPECT_TRUE(deadline_passed(b, b));
    EXPECT_FALSE(deadline_passed(a, b));
}
