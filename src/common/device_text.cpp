#include "common/device_text.h"

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Whether the character of `n` bytes at `text` prints as `?` in quoted text.
bool is_hidden(const unsigned char* text, std::size_t n) {
    if (n == 1) {
        return text[0] < 0x20 || text[0] == 0x7F;
    }
    if (n == 2) {
        return text[0] == 0xC2 && text[1] <= 0x9F;  // C1 controls
    }
    if (n != 3) {
        return false;
    }
    if (text[0] == 0xE2 && text[1] == 0x80) {
        // U+200B..U+200F (zero-width characters and the LRM/RLM marks);
        // U+2028 LINE SEPARATOR and U+2029 PARAGRAPH SEPARATOR, which end a
        // line for some line readers (and for JavaScript); U+202A..U+202E,
        // the bidi embeddings and overrides.
        return (text[2] >= 0x8B && text[2] <= 0x8F) || (text[2] >= 0xA8 && text[2] <= 0xAE);
    }
    if (text[0] == 0xE2 && text[1] == 0x81) {
        return text[2] >= 0xA6 && text[2] <= 0xA9;  // U+2066..U+2069, the bidi isolates
    }
    return text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF;  // U+FEFF
}

bool is_bare_printable(unsigned char c) { return c > 0x20 && c < 0x7F && c != '"'; }

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
    // Room kept for the closing quote and the NUL; and, should the text not
    // fit, for the mark as well.
    const std::size_t end = capacity - (quoted ? 2 : 1);
    const std::size_t mark_end = end > kCutMarkBytes ? end - kCutMarkBytes : 0;
    std::size_t used = 0;
    if (quoted) {
        out[used++] = '"';
    }
    // The end of the last whole character that leaves room for the mark.
    std::size_t mark_at = used;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < length) {
        // Bare text is judged byte by byte: no sequence is whole there.
        const std::size_t n = quoted ? utf8_sequence_length(bytes + i, length - i) : 1;
        const bool shown =
            quoted ? n != 0 && !is_hidden(bytes + i, n) && bytes[i] != '"' : is_bare_printable(bytes[i]);
        const std::size_t width = shown ? n : 1;
        if (used + width > end) {
            break;
        }
        if (shown) {
            for (std::size_t k = 0; k < n; ++k) {
                out[used++] = static_cast<char>(bytes[i + k]);
            }
        } else {
            out[used++] = quoted && bytes[i] == '"' ? '\'' : '?';
        }
        i += n == 0 ? 1 : n;
        if (used <= mark_end) {
            mark_at = used;
        }
    }
    if (i < length) {
        used = mark_at;
        for (std::size_t k = 0; k < kCutMarkBytes; ++k) {
            out[used++] = kCutMark[k];
        }
    }
    if (quoted) {
        out[used++] = '"';
    }
    out[used] = '\0';
    return used;
}
