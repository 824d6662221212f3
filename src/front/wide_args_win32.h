#pragma once

#include <cstddef>

// The Windows command line as UTF-8 byte strings for the front ends. The C runtime's
// narrow argv goes through the ANSI code page, whose best-fit mapping turns
// characters it cannot represent into look-alikes (full-width "ｏｆｆ" into
// "off"); converting the UTF-16 arguments ourselves keeps every argument
// exactly as typed.

// A command line holds at most 32767 UTF-16 units. Each argument after the
// first takes at least one unit and a separator (an empty one takes "" and a
// separator), so there are never more than this many.
constexpr int kMaxWideArgs = 16385;

struct Utf8Args {
    // Every UTF-16 unit becomes at most 3 UTF-8 bytes (a surrogate pair, two
    // units, becomes 4), plus one NUL per argument.
    char bytes[3 * 32768 + kMaxWideArgs];
    char* argv[kMaxWideArgs + 1];
    int argc;
};

// Fills `out` with the arguments converted to UTF-8. Returns 0 when all of them
// converted, otherwise the index of the first one that is not valid UTF-16 (an
// unpaired surrogate); that one is left as an empty string and the rest are
// still converted.
int utf8_args_from_wide(int argc, const wchar_t* const* wargv, Utf8Args& out);
