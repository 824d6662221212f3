#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/link.h"

// A scripted stand-in for the serial link, used by the step and CLI tests.
// It hands out numbered handles, records every transfer with its virtual
// time, and reports leaks, double closes and use after close.
class FakeLink {
  public:
    FakeLink();
    ~FakeLink();
    FakeLink(const FakeLink&) = delete;
    FakeLink& operator=(const FakeLink&) = delete;

    struct OpenResult {
        bool ok = true;
        ErrorCode code = 0;
    };
    struct WriteResult {
        bool ok = true;
        ErrorCode code = 0;
        std::int64_t duration_ns = 0;  // virtual time the write takes
    };
    struct ReadResult {
        std::vector<std::uint8_t> bytes;      // counted bytes (capped at capacity; the rest stays queued)
        std::vector<std::uint8_t> uncounted;  // stored after them but not counted (failed read)
        std::int64_t duration_ns = 10 * 1000 * 1000;
        std::int64_t arrives_ns = 0;  // virtual time before which reads find nothing
    };

    // Scripts: consumed front first; when empty the defaults apply
    // (opens succeed, writes succeed at once, reads return nothing after 10 ms).
    std::deque<OpenResult> open_script;
    std::deque<WriteResult> write_script;
    std::deque<ReadResult> read_script;
    // Optional policy consulted before the write script: 1-based write number.
    std::function<WriteResult(std::size_t number, const std::uint8_t*, std::uint32_t)> write_policy;
    ReadResult default_read;

    struct Write {
        std::intptr_t port;
        std::vector<std::uint8_t> bytes;
        std::int64_t start_ns;
        std::int64_t end_ns;
        bool ok;
        ErrorCode code;
    };
    struct Read {
        std::intptr_t port;
        std::uint32_t capacity;
        std::uint32_t returned;
    };

    std::vector<std::string> open_names;
    std::vector<OnOpen> open_modes;
    std::vector<std::intptr_t> opened;  // handles handed out, in order
    std::vector<std::intptr_t> closed;  // handles closed, in order
    std::vector<Write> writes;
    std::vector<Read> reads;
    std::vector<std::string> faults;  // double close, use after close, unknown handle

    // The stream's calls: DTR raised (handles, in order), its script, pacers open now.
    std::vector<std::intptr_t> dtr_raised;
    OpenResult dtr_result;
    int pacers_open = 0;
    // How late each pacer wait wakes, front first (a thread not run in time).
    std::deque<std::int64_t> pace_late_ns;

    // Every byte written, in order, across all writes.
    std::vector<std::uint8_t> all_bytes() const;
    std::size_t live_handles() const;
    // Empty when every handle was closed exactly once and no handle misuse occurred.
    std::string problems() const;
};
