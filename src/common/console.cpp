#include "common/console.h"

#include <cstdio>

namespace {

LSS_VPRINTF(2) void real_vprint(Stream stream, const char* fmt, va_list args) {
    std::FILE* file = stream == Stream::out ? stdout : stderr;
    std::vfprintf(file, fmt, args);
    // Standard output is fully buffered when a script reads it through a
    // pipe; flush each result so it appears when it happens, not at exit.
    std::fflush(file);
}

void real_flush_out() { std::fflush(stdout); }

int real_read_char() {
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

const ConsoleHooks kRealConsole = {real_vprint, real_flush_out, real_read_char};
const ConsoleHooks* g_console = &kRealConsole;

}  // namespace

void set_console_hooks(const ConsoleHooks* hooks) { g_console = hooks != nullptr ? hooks : &kRealConsole; }

void print_out(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    g_console->vprint(Stream::out, fmt, args);
    va_end(args);
}

void print_err(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    g_console->vprint(Stream::err, fmt, args);
    va_end(args);
}

void flush_out() { g_console->flush_out(); }

int read_stdin_char() { return g_console->read_char(); }
