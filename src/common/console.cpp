#include "common/console.h"

#include <cstdio>

#include "common/console_backend.h"

namespace {

void real_flush_out() { std::fflush(stdout); }

int real_read_char() {
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

const ConsoleHooks kRealConsole = {console_backend_vprint, real_flush_out, real_read_char};
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

std::size_t utf8_chunk_length(const char* bytes, std::size_t length, std::size_t limit) {
    if (length <= limit) {
        return length;
    }
    // The cut falls before bytes[cut]; step back over the continuation bytes
    // (10xxxxxx) of a sequence that straddles it, at most three.
    std::size_t cut = limit;
    for (int i = 0; i < 3 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80; ++i) {
        --cut;
    }
    // Still a continuation byte: stray bytes that belong to no sequence.
    return (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80 ? limit : cut;
}
