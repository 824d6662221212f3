#pragma once

#include <cstddef>

// Text that comes from outside the program (a controller's reply, a name the
// controller's owner chose, what a driver calls its device) printed inside a
// result line. Whatever it holds, the line stays one line, the value stays
// closed and no key can be forged.
//
// Quoted, the text stays readable:
//   - `"` prints as `'`;
//   - NUL and every other C0 control, DEL, the C1 controls (U+0080..U+009F),
//     U+2028 and U+2029 print as `?`, one per character;
//   - so do the bidi controls (U+202A..U+202E, U+2066..U+2069) and the
//     invisible format characters U+200B..U+200F and U+FEFF: a terminal that
//     reorders bidi text would otherwise show the line's keys out of order;
//   - each byte that is not part of valid UTF-8 prints as `?`;
//   - every other character is copied unchanged.
// Bare, each byte that is not printable ASCII other than the space (0x21 to
// 0x7E) prints as `?`, and `"` too: a Unicode space (U+00A0, U+3000) is a
// word break for Python's split(), .NET's \s and PowerShell's -split, so a
// bare value must hold none to stay one word.
//
// A value cut to fit ends with kCutMark (inside the quotes when quoted). The
// console's own escapes see nothing left to escape.

enum class TextForm { quoted, bare };

// Plain ASCII, so that it reaches every console and log unchanged; a text
// that really ends in three dots and fits is not told apart.
constexpr char kCutMark[] = "...";
constexpr std::size_t kCutMarkBytes = sizeof kCutMark - 1;

// Writes `length` bytes of `text` in `form` to `out` and NUL-terminates it,
// quotes included when quoted. When `capacity` is too small the text is cut
// on a whole character, kCutMark follows, and the closing quote is still
// written. Returns the length written. `capacity` must leave room for the
// quotes, the mark and the NUL (6; 4 bare).
std::size_t put_device_text(const char* text, std::size_t length, TextForm form, char* out,
                            std::size_t capacity);

// The length of the valid UTF-8 sequence at `text` (1 to 4), or 0 when the
// byte there does not begin one within `length` bytes.
std::size_t utf8_sequence_length(const unsigned char* text, std::size_t length);
