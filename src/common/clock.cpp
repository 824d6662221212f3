#include "common/clock.h"

#include <chrono>
#include <thread>

namespace {

MonoNs real_now_ns() {
    auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<MonoNs>(std::chrono::duration_cast<std::chrono::nanoseconds>(t).count());
}

void real_sleep_whole_ms(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const ClockHooks kRealClock = {real_now_ns, real_sleep_whole_ms};
const ClockHooks* g_clock = &kRealClock;

}  // namespace

void set_clock_hooks(const ClockHooks* hooks) { g_clock = hooks != nullptr ? hooks : &kRealClock; }

MonoNs mono_now_ns() { return g_clock->now_ns(); }

void sleep_ms(std::uint32_t ms) {
    const MonoNs deadline = g_clock->now_ns() + static_cast<MonoNs>(ms) * kNsPerMs;
    for (;;) {
        const MonoNs now = g_clock->now_ns();
        if (deadline_passed(now, deadline)) {
            return;
        }
        // Whole milliseconds, rounded up: the OS may wake us early (timer
        // granularity on Windows is coarse), so the loop re-reads the clock
        // instead of trusting one sleep.
        const MonoNs remaining = deadline - now;
        const auto whole = static_cast<std::uint32_t>((remaining + kNsPerMs - 1) / kNsPerMs);
        g_clock->sleep_whole_ms(whole);
    }
}
