#pragma once

// Result of a step and of the whole process.
using ExitStatus = int;

constexpr ExitStatus kExitPass = 0;
constexpr ExitStatus kExitFail = 1;
constexpr ExitStatus kExitUsage = 2;
