#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/fake_console.h"
#include "fakes/fake_link.h"
#include "fakes/virtual_clock.h"

// Runs the front end with these arguments after the program name.
int run_cli(const std::vector<std::string>& args);

inline std::vector<std::uint8_t> bytes_of(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// The three fakes every step test installs.
struct StepRig {
    VirtualClock clock;
    FakeConsole console;
    FakeLink link;
    PortHandle port{};

    // Opens one port through the fake, as main would before a step.
    PortHandle open();
};

FakeLink::ReadResult read_of(const std::string& bytes);
FakeLink::WriteResult failed_write(ErrorCode code);
