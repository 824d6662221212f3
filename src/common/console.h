#pragma once

#include <cstdarg>
#include <cstddef>

// Console streams. Every line the tool prints goes through here so that
// tests can capture the exact bytes and feed standard input.

#if defined(__GNUC__) || defined(__clang__)
#define LSS_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
// For functions that forward a va_list: the format is checked at their callers.
#define LSS_VPRINTF(fmt_index) __attribute__((format(printf, fmt_index, 0)))
#else
#define LSS_VPRINTF(fmt_index)
#define LSS_PRINTF(fmt_index, first_arg)
#endif

enum class Stream { out, err };

struct ConsoleHooks {
    void (*vprint)(Stream stream, const char* fmt, va_list args);
    void (*flush_out)();
    int (*read_char)();  // next byte of standard input, or -1 at end or on error
    // Shows `text` as the one status line on standard error, replacing the
    // last one ("" clears it). False, and nothing written, when standard
    // error is not a console: a pipe or a file gets no status.
    bool (*status)(const char* text);
};

// nullptr restores the process's real streams.
void set_console_hooks(const ConsoleHooks* hooks);

void print_out(const char* fmt, ...) LSS_PRINTF(1, 2);
void print_err(const char* fmt, ...) LSS_PRINTF(1, 2);
void flush_out();
// A text of whole lines to standard error, one print per line: on a console
// only a line's closing LF is passed through as a line end.
void print_err_lines(const char* text);
int read_stdin_char();
bool print_status(const char* text);

// Ctrl+C (and Ctrl+Break) while watched: the process goes on, and
// stop_requested() turns true so that long work ends in order.
void watch_stop_request(bool on);
bool stop_requested();
// What the handler does; also the tests' Ctrl+C.
void request_stop();

// How many of `length` bytes of UTF-8 text to take so that a piece of at most
// `limit` bytes (limit >= 4) never ends inside a multi-byte sequence.
std::size_t utf8_chunk_length(const char* bytes, std::size_t length, std::size_t limit);

// A console is read by a person, and lines can carry text from outside (the
// controller's reply, an echoed argument) with control characters that a
// terminal acts on: an escape sequence can clear the screen or retitle the
// window. For a console, each byte below 0x20, DEL (0x7F) and each C1 control
// (U+0080..U+009F, C2 80..C2 9F in UTF-8) is written as \xHH, one escape per
// byte; only the LF that closes the line stays as it is, when `ends_line` says
// that the piece ends the line. Writes at most 4 * length bytes to `out` and
// returns how many. Pipes and files never go through this: they get the bytes.
std::size_t console_visible(const char* text, std::size_t length, bool ends_line, char* out);
