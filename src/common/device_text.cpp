#include "common/device_text.h"

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Whether the character of `n` bytes at `text` prints as `?`.
bool is_hidden(const unsigned char* text, std::size_t n) {
    if (n == 1) {
        return text[0] < 0x20 || text[0] == 0x7F;
    }
    if (n == 2) {
        return text[0] == 0xC2 && text[1] <= 0x9F;  // C1 controls
    }
    // U+2028 LINE SEPARATOR and U+2029 PARAGRAPH SEPARATOR end a line for
    // some line readers (and for JavaScript).
    return n == 3 && text[0] == 0xE2 && text[1] == 0x80 && (text[2] == 0xA8 || text[2] == 0xA9);
}

}  // namespace

std::size_t utf8_sequence_length(const unsigned char* text, std::size_t length) {
    if (length == 0) {
        return 0;
    }
    const unsigned char c = text[0];
    if (c < 0x80) {
        return 1;
    }
    std::size_t n = 0;
    // The second byte's range excludes overlong forms, UTF-16 surrogates and
    // code points past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (length < n || text[1] < low || text[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < n; ++i) {
        if (!is_continuation(text[i])) {
            return 0;
        }
    }
    return n;
}

std::size_t put_device_text(const char* text, std::size_t length, TextForm form, char* out,
                            std::size_t capacity) {
    const bool quoted = form == TextForm::quoted;
    // Room kept for the closing quote and the NUL.
    const std::size_t end = capacity - (quoted ? 2 : 1);
    std::size_t used = 0;
    if (quoted) {
        out[used++] = '"';
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        const std::size_t n = utf8_sequence_length(bytes + i, length - i);
        if (n == 0 || is_hidden(bytes + i, n) || bytes[i] == '"' || (!quoted && bytes[i] == ' ')) {
            if (used + 1 > end) {
                break;
            }
            out[used++] = quoted && bytes[i] == '"' ? '\'' : '?';
            i += n == 0 ? 1 : n;
            continue;
        }
        if (used + n > end) {
            break;
        }
        for (std::size_t k = 0; k < n; ++k) {
            out[used++] = static_cast<char>(bytes[i + k]);
        }
        i += n;
    }
    if (quoted) {
        out[used++] = '"';
    }
    out[used] = '\0';
    return used;
}
