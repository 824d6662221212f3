#include <windows.h>

#include <cstdio>

#include "common/console_backend.h"

namespace {

// The longest line the tool prints: a template of under 256 bytes around at
// most one argument, and an argument is at most 3 UTF-8 bytes for each of the
// command line's 32767 UTF-16 units. A line therefore always fits whole.
constexpr std::size_t kLineCapacity = 3 * 32768 + 256;
// A piece of the line, and the same piece with its control characters shown
// as escapes (each byte at most four).
constexpr std::size_t kPieceBytes = 256;
constexpr std::size_t kChunkBytes = 4 * kPieceBytes;

void write_console_utf8(HANDLE console, const char* text, std::size_t length) {
    char shown[kChunkBytes];
    // Each UTF-8 byte gives at most one UTF-16 unit (4 bytes give a surrogate
    // pair; an invalid byte gives one U+FFFD), so a chunk always fits.
    wchar_t wide[kChunkBytes];
    while (length > 0) {
        // Whole UTF-8 sequences only, so a C1 control is never cut in two.
        const std::size_t take = utf8_chunk_length(text, length, kPieceBytes);
        const std::size_t n = console_visible(text, take, take == length, shown);
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, shown, static_cast<int>(n), wide, static_cast<int>(kChunkBytes));
        int done = 0;
        while (done < units) {
            DWORD written = 0;
            if (!WriteConsoleW(console, wide + done, static_cast<DWORD>(units - done), &written, nullptr) ||
                written == 0) {
                return;  // a console that refuses text would not take the bytes either
            }
            done += static_cast<int>(written);
        }
        text += take;
        length -= take;
    }
}

}  // namespace

void console_backend_vprint(Stream stream, const char* fmt, va_list args) {
    std::FILE* file = stream == Stream::out ? stdout : stderr;
    const HANDLE handle = GetStdHandle(stream == Stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    // A console decodes bytes with its output code page (437 or 850 by default,
    // which shows the em dash as three wrong characters). Giving it UTF-16
    // shows the text right without changing the code page the shell will see
    // after we exit; control characters in the line are shown, not obeyed
    // (console_visible). Pipes and files fail GetConsoleMode and keep the bytes.
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        char line[kLineCapacity];
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(line, sizeof line, fmt, copy);
        va_end(copy);
        if (n >= 0 && static_cast<std::size_t>(n) < sizeof line) {
            std::fflush(file);  // keep the order with anything the C runtime holds
            write_console_utf8(handle, line, static_cast<std::size_t>(n));
            return;
        }
    }
    std::vfprintf(file, fmt, args);
    // Standard output is fully buffered when a script reads it through a
    // pipe; flush each result so it appears when it happens, not at exit.
    std::fflush(file);
}

namespace {

// Wide enough for any status the tool shows; a longer one is cut.
constexpr int kStatusUnits = 79;

BOOL WINAPI on_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        request_stop();
        return TRUE;
    }
    return FALSE;  // closing the window or logging off still ends the process
}

}  // namespace

bool console_backend_status(const char* text) {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return false;
    }
    // CR returns to the line's start; the padding covers a longer last status.
    wchar_t wide[kStatusUnits + 2];
    wide[0] = L'\r';
    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide + 1, kStatusUnits) - 1;
    if (units < 0) {
        units = 0;
    }
    for (int i = 1 + units; i <= kStatusUnits; ++i) {
        wide[i] = L' ';
    }
    wide[kStatusUnits + 1] = L'\r';
    // An empty text leaves the cursor at the start of a blank line.
    const int total = text[0] == '\0' ? kStatusUnits + 2 : 1 + kStatusUnits;
    DWORD written = 0;
    (void)WriteConsoleW(handle, wide, static_cast<DWORD>(total), &written, nullptr);
    return true;
}

void console_backend_watch_stop(bool on) { (void)SetConsoleCtrlHandler(on_control, on ? TRUE : FALSE); }
