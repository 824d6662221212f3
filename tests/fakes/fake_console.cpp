#include "fakes/fake_console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "common/clock.h"

namespace {

FakeConsole* g_fake = nullptr;

LSS_VPRINTF(2) void fake_vprint(Stream stream, const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) {
        std::vsnprintf(&text[0], text.size() + 1, fmt, args);
    }
    (stream == Stream::out ? g_fake->out : g_fake->err) += text;
    g_fake->prints.push_back({stream, text, mono_now_ns()});
}

void fake_flush_out() {
    ++g_fake->flushes;
    g_fake->last_flush_ns = mono_now_ns();
}

int fake_read_char() {
    ++g_fake->stdin_reads;
    if (g_fake->stdin_pos < g_fake->stdin_data.size()) {
        return static_cast<unsigned char>(g_fake->stdin_data[g_fake->stdin_pos++]);
    }
    return -1;
}

// Not a console: nothing shown, as on a pipe.
bool fake_status(const char* text) {
    return g_fake->status_is_console && (g_fake->statuses.emplace_back(text), true);
}

const ConsoleHooks kFakeHooks = {fake_vprint, fake_flush_out, fake_read_char, fake_status};

}  // namespace

FakeConsole::FakeConsole() {
    if (g_fake != nullptr) {
        std::abort();
    }
    g_fake = this;
    set_console_hooks(&kFakeHooks);
}

FakeConsole::~FakeConsole() {
    set_console_hooks(nullptr);
    g_fake = nullptr;
}

std::int64_t FakeConsole::time_of(const std::string& needle) const {
    for (const auto& p : prints) {
        if (p.text.find(needle) != std::string::npos) {
            return p.at_ns;
        }
    }
    return -1;
}
