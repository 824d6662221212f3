#include "fakes/fake_link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "fakes/virtual_clock.h"

namespace {

FakeLink* g_link = nullptr;
std::intptr_t g_next_handle = 100;

bool is_live(const FakeLink& link, std::intptr_t h) {
    const auto opened = std::count(link.opened.begin(), link.opened.end(), h);
    const auto closed = std::count(link.closed.begin(), link.closed.end(), h);
    return opened > closed;
}

// Transfers take time only on a virtual clock; the fake never sleeps for real.
void advance(std::int64_t ns) {
    if (VirtualClock* clock = VirtualClock::current()) {
        clock->advance(ns);
    }
}

}  // namespace

FakeLink::FakeLink() {
    if (g_link != nullptr) {
        std::abort();
    }
    g_link = this;
}

FakeLink::~FakeLink() { g_link = nullptr; }

std::vector<std::uint8_t> FakeLink::all_bytes() const {
    std::vector<std::uint8_t> all;
    for (const auto& w : writes) {
        all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    }
    return all;
}

std::size_t FakeLink::live_handles() const {
    std::size_t n = 0;
    for (auto h : opened) {
        n += is_live(*this, h) ? 1 : 0;
    }
    return n;
}

std::string FakeLink::problems() const {
    std::string text;
    for (const auto& f : faults) {
        text += f + "; ";
    }
    for (auto h : opened) {
        if (is_live(*this, h)) {
            text += "handle " + std::to_string(h) + " never closed; ";
        }
    }
    text += pacers_open != 0 ? std::to_string(pacers_open) + " pacers open; " : "";
    return text;
}

PortHandle open_port(const char* name, ErrorCode& code, OnOpen on_open) {
    FakeLink& link = *g_link;
    link.open_names.emplace_back(name);
    link.open_modes.push_back(on_open);
    FakeLink::OpenResult result;
    if (!link.open_script.empty()) {
        result = link.open_script.front();
        link.open_script.pop_front();
    }
    if (!result.ok) {
        code = result.code;
        return kInvalidPort;
    }
    const std::intptr_t h = g_next_handle++;
    link.opened.push_back(h);
    code = 0;
    return PortHandle{h};
}

bool write_timed(PortHandle port, const std::uint8_t* bytes, std::uint32_t length, ErrorCode& code) {
    FakeLink& link = *g_link;
    if (!is_live(link, port.raw)) {
        link.faults.push_back("write on handle " + std::to_string(port.raw) + " that is not open");
    }
    FakeLink::WriteResult result;
    const std::size_t number = link.writes.size() + 1;
    if (link.write_policy) {
        result = link.write_policy(number, bytes, length);
    } else if (!link.write_script.empty()) {
        result = link.write_script.front();
        link.write_script.pop_front();
    }
    FakeLink::Write w;
    w.port = port.raw;
    w.bytes.assign(bytes, bytes + length);
    w.start_ns = mono_now_ns();
    advance(result.duration_ns);
    w.end_ns = mono_now_ns();
    w.ok = result.ok;
    w.code = result.ok ? 0 : result.code;
    link.writes.push_back(w);
    code = w.code;
    return result.ok;
}

std::uint32_t read_timed(PortHandle port, std::uint8_t* dest, std::uint32_t capacity) {
    FakeLink& link = *g_link;
    if (!is_live(link, port.raw)) {
        link.faults.push_back("read on handle " + std::to_string(port.raw) + " that is not open");
    }
    FakeLink::ReadResult result = link.default_read;
    if (!link.read_script.empty() && link.read_script.front().arrives_ns <= mono_now_ns()) {
        result = link.read_script.front();
        link.read_script.pop_front();
    }
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(result.bytes.size(), capacity));
    if (n < result.bytes.size()) {
        // What does not fit arrives with the next read, as a driver would keep it buffered.
        FakeLink::ReadResult rest;
        rest.bytes.assign(result.bytes.begin() + n, result.bytes.end());
        rest.duration_ns = 0;
        link.read_script.push_front(rest);
    }
    // Every byte is stored through the caller's pointer, so a wrong capacity
    // shows up as an out-of-bounds write under the sanitizers.
    for (std::uint32_t i = 0; i < n; ++i) {
        dest[i] = result.bytes[i];
    }
    const std::size_t room = capacity - n;
    const std::size_t extra = std::min(room, result.uncounted.size());
    for (std::size_t i = 0; i < extra; ++i) {
        dest[n + i] = result.uncounted[i];
    }
    advance(result.duration_ns);
    link.reads.push_back({port.raw, capacity, n});
    return n;
}

void close_port(PortHandle port) {
    FakeLink& link = *g_link;
    if (std::find(link.opened.begin(), link.opened.end(), port.raw) == link.opened.end()) {
        link.faults.push_back("close of handle " + std::to_string(port.raw) + " never opened");
        return;
    }
    if (!is_live(link, port.raw)) {
        link.faults.push_back("double close of handle " + std::to_string(port.raw));
        return;
    }
    link.closed.push_back(port.raw);
}

// What a read would return now, without a wait.
std::uint32_t input_waiting(PortHandle port) {
    const FakeLink& link = *g_link;
    const bool ready = !link.read_script.empty() && link.read_script.front().arrives_ns <= mono_now_ns();
    return is_live(link, port.raw) && ready
               ? static_cast<std::uint32_t>(link.read_script.front().bytes.size())
               : 0;
}

bool raise_dtr(PortHandle port, ErrorCode& code) {
    FakeLink& link = *g_link;
    if (!is_live(link, port.raw)) {
        link.faults.push_back("DTR on handle " + std::to_string(port.raw) + " that is not open");
    }
    link.dtr_raised.push_back(port.raw);
    code = link.dtr_result.ok ? 0 : link.dtr_result.code;
    return link.dtr_result.ok;
}

Pacer open_pacer() {
    ++g_link->pacers_open;
    return Pacer{kInvalidPort.raw, PaceKind::high_resolution, false};
}

void pace_until(Pacer&, std::int64_t when) {
    std::int64_t late = 0;
    if (!g_link->pace_late_ns.empty()) {
        late = g_link->pace_late_ns.front();
        g_link->pace_late_ns.pop_front();
    }
    if (VirtualClock* clock = VirtualClock::current()) {
        clock->advance(std::max<std::int64_t>(0, when - clock->now()) + late);
    }
}

void close_pacer(Pacer&) { --g_link->pacers_open; }
