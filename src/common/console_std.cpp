#include <cstdio>

#include "common/console_backend.h"

void console_backend_vprint(Stream stream, const char* fmt, va_list args) {
    std::FILE* file = stream == Stream::out ? stdout : stderr;
    std::vfprintf(file, fmt, args);
    // Standard output is fully buffered when a script reads it through a
    // pipe; flush each result so it appears when it happens, not at exit.
    std::fflush(file);
}
