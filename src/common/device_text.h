#pragma once

#include <cstddef>

// Text that comes from outside the program (a controller's reply, a name the
// controller's owner chose, what a driver calls its device) printed inside a
// result line. Whatever it holds, the line stays one line, the value stays
// closed and no key can be forged:
//   - `"` prints as `'` (inside quotes) or `?` (bare);
//   - NUL and every other C0 control, DEL, the C1 controls (U+0080..U+009F),
//     U+2028 and U+2029 print as `?`, one per character;
//   - each byte that is not part of valid UTF-8 prints as `?`;
//   - bare text also prints a space as `?`, so the value stays one token.
// Every other character is copied unchanged. The console's own escapes see
// nothing left to escape.

enum class TextForm { quoted, bare };

// Writes `length` bytes of `text` in `form` to `out` and NUL-terminates it,
// quotes included when quoted. When `capacity` is too small the text is cut
// on a whole character and the closing quote is still written. Returns the
// length written. `capacity` must leave room for the quotes and the NUL (3).
std::size_t put_device_text(const char* text, std::size_t length, TextForm form, char* out,
                            std::size_t capacity);

// The length of the valid UTF-8 sequence at `text` (1 to 4), or 0 when the
// byte there does not begin one within `length` bytes.
std::size_t utf8_sequence_length(const unsigned char* text, std::size_t length);
