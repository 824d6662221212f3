#pragma once

#include <cstdint>

// Monotonic nanosecond clock and the one sleep every pause goes through.
// Tests swap the hooks for a virtual clock so long schedules run instantly.

using MonoNs = std::int64_t;

constexpr MonoNs kNsPerMs = 1000000;

struct ClockHooks {
    MonoNs (*now_ns)();                        // steady clock reading
    void (*sleep_whole_ms)(std::uint32_t ms);  // may return early; sleep_ms re-checks
};

// nullptr restores the real steady clock.
void set_clock_hooks(const ClockHooks* hooks);

MonoNs mono_now_ns();

// A deadline has passed once a reading is at or beyond it.
inline bool deadline_passed(MonoNs now, MonoNs deadline) { return now >= deadline; }

// Blocks until at least ms milliseconds have passed on the monotonic clock.
void sleep_ms(std::uint32_t ms);
