#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/console.h"

// Captures standard output and standard error byte for byte and serves a
// scripted standard input. Each print is stamped with the monotonic clock
// (virtual when a VirtualClock is installed).
class FakeConsole {
  public:
    FakeConsole();
    ~FakeConsole();
    FakeConsole(const FakeConsole&) = delete;
    FakeConsole& operator=(const FakeConsole&) = delete;

    struct Print {
        Stream stream;
        std::string text;
        std::int64_t at_ns;
    };

    std::string out;
    std::string err;
    std::vector<Print> prints;
    int flushes = 0;
    std::int64_t last_flush_ns = 0;

    // Standard input: these bytes, then -1 (end of input or a read error).
    std::string stdin_data;
    std::size_t stdin_pos = 0;
    int stdin_reads = 0;

    // Status lines shown (standard error as a console), "" for a clear.
    bool status_is_console = true;
    std::vector<std::string> statuses;

    // Time of the first print containing `needle`, or -1.
    std::int64_t time_of(const std::string& needle) const;
};
