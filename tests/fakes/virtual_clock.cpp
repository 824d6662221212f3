#include "fakes/virtual_clock.h"

#include <cstdlib>

struct VirtualClockAccess {
    static VirtualClock* g;
    static MonoNs now_ns() { return g->now_; }
    static void sleep_whole_ms(std::uint32_t ms) {
        g->sleeps_.push_back(ms);
        g->now_ += static_cast<MonoNs>(ms) * kNsPerMs;
    }
};

VirtualClock* VirtualClockAccess::g = nullptr;

namespace {
const ClockHooks kVirtualHooks = {VirtualClockAccess::now_ns, VirtualClockAccess::sleep_whole_ms};
}

VirtualClock::VirtualClock(MonoNs start) : now_(start) {
    if (VirtualClockAccess::g != nullptr) {
        std::abort();  // one virtual clock at a time
    }
    VirtualClockAccess::g = this;
    set_clock_hooks(&kVirtualHooks);
}

VirtualClock::~VirtualClock() {
    set_clock_hooks(nullptr);
    VirtualClockAccess::g = nullptr;
}

std::int64_t VirtualClock::total_slept_ms() const {
    std::int64_t sum = 0;
    for (auto ms : sleeps_) {
        sum += ms;
    }
    return sum;
}

VirtualClock* VirtualClock::current() { return VirtualClockAccess::g; }
