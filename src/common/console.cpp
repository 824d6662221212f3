#include "common/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/console_backend.h"

namespace {

void real_flush_out() { std::fflush(stdout); }

int real_read_char() {
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

const ConsoleHooks kRealConsole = {console_backend_vprint, real_flush_out, real_read_char,
                                   console_backend_status};

// Set from the console's own handler thread (Windows) or a signal handler.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
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

void print_err_lines(const char* text) {
    const char* line = text;
    while (*line != '\0') {
        const char* end = std::strchr(line, '\n');
        const int n = end != nullptr ? static_cast<int>(end - line) + 1 : static_cast<int>(std::strlen(line));
        print_err("%.*s", n, line);
        line += n;
    }
}

int read_stdin_char() { return g_console->read_char(); }

bool print_status(const char* text) { return g_console->status(text); }

void watch_stop_request(bool on) {
    g_stop = false;
    console_backend_watch_stop(on);
}

bool stop_requested() { return g_stop; }

void request_stop() { g_stop = true; }

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

namespace {

std::size_t put_escape(unsigned char byte, char* out) {
    static const char kHex[] = "0123456789ABCDEF";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHex[byte >> 4];
    out[3] = kHex[byte & 0x0F];
    return 4;
}

}  // namespace

std::size_t console_visible(const char* text, std::size_t length, bool ends_line, char* out) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool closing_lf = byte == '\n' && ends_line && i + 1 == length;
        const bool c1 =
            byte == 0xC2 && i + 1 < length && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c1) {
            used += put_escape(byte, out + used);
            used += put_escape(static_cast<unsigned char>(text[++i]), out + used);
        } else if ((byte < 0x20 && !closing_lf) || byte == 0x7F) {
            used += put_escape(byte, out + used);
        } else {
            out[used++] = static_cast<char>(byte);
        }
    }
    return used;
}
