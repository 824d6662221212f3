#pragma once

#include <cstdint>
#include <vector>

#include "common/clock.h"

// A virtual monotonic clock: sleeps advance it instantly. Installing one
// replaces the real clock until it is destroyed.
class VirtualClock {
  public:
    explicit VirtualClock(MonoNs start = 1000 * 1000 * kNsPerMs);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    MonoNs now() const { return now_; }
    void advance(MonoNs ns) { now_ += ns; }
    void advance_ms(std::int64_t ms) { now_ += ms * kNsPerMs; }

    // Every whole-millisecond sleep requested through the hooks, in order.
    const std::vector<std::uint32_t>& sleeps() const { return sleeps_; }
    std::int64_t total_slept_ms() const;

    static VirtualClock* current();

  private:
    MonoNs now_;
    std::vector<std::uint32_t> sleeps_;
    friend struct VirtualClockAccess;
};
