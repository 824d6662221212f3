#include "front/wide_args_win32.h"

#include <windows.h>

int utf8_args_from_wide(int argc, const wchar_t* const* wargv, Utf8Args& out) {
    // More arguments than a command line can carry cannot happen; clamping keeps
    // the count other than 3, so the front end still answers with the usage text.
    out.argc = argc < 0 ? 0 : (argc > kMaxWideArgs ? kMaxWideArgs : argc);
    std::size_t used = 0;
    int first_bad = 0;
    for (int i = 0; i < out.argc; ++i) {
        char* dest = out.bytes + used;
        const std::size_t room = sizeof(out.bytes) - used;
        // Without WC_ERR_INVALID_CHARS an unpaired surrogate would silently
        // become U+FFFD and the argument would no longer be what was typed.
        const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wargv[i], -1, dest,
                                          static_cast<int>(room), nullptr, nullptr);
        if (n <= 0) {
            if (first_bad == 0) {
                first_bad = i;
            }
            dest[0] = '\0';
            used += 1;
        } else {
            used += static_cast<std::size_t>(n);  // n counts the NUL
        }
        out.argv[i] = dest;
    }
    out.argv[out.argc] = nullptr;
    return first_bad;
}
