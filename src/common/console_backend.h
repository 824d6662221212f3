#pragma once

#include <cstdarg>

#include "common/console.h"

// The process's real output streams, one implementation per platform, chosen
// by the build: console_std.cpp (bytes through the C runtime) or
// console_win32.cpp (a console window gets UTF-16 with control characters
// shown as escapes, pipes and files the bytes).
// Each call writes one line and flushes it.
void console_backend_vprint(Stream stream, const char* fmt, va_list args) LSS_VPRINTF(2);
bool console_backend_status(const char* text);
// Installs (on) or removes the handler that calls request_stop().
void console_backend_watch_stop(bool on);
