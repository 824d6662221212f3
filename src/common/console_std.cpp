#include <csignal>
#include <cstdio>

#include "common/console_backend.h"

void console_backend_vprint(Stream stream, const char* fmt, va_list args) {
    std::FILE* file = stream == Stream::out ? stdout : stderr;
    std::vfprintf(file, fmt, args);
    // Standard output is fully buffered when a script reads it through a
    // pipe; flush each result so it appears when it happens, not at exit.
    std::fflush(file);
}

// The portable build is for tests: its standard error is never a console.
bool console_backend_status(const char*) { return false; }

namespace {
extern "C" void on_interrupt(int) { request_stop(); }
}  // namespace

void console_backend_watch_stop(bool on) { (void)std::signal(SIGINT, on ? on_interrupt : SIG_DFL); }
