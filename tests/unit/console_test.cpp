#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/console.h"
#include "common/device_text.h"

// The Windows console path converts a line piece by piece; a piece must never
// end inside a UTF-8 sequence, or the console would show U+FFFD twice for a
// character that was whole.
TEST(Utf8Chunk, NeverCutsInsideASequence) {
    const char* dash = "ab\xE2\x80\x94";       // 2 ASCII, then a 3-byte em dash
    const char* emoji = "a\xF0\x9F\x92\xA1z";  // a 4-byte sequence
    const char* stray = "\x80\x80\x80\x80\x80\x80";
    struct Case {
        const char* text;
        std::size_t limit;
        std::size_t want;
    } cases[] = {
        {dash, 5, 5},  {dash, 9, 5},  {dash, 4, 2},  // fits whole, or the cut moves before the dash
        {emoji, 4, 1}, {emoji, 5, 5}, {emoji, 6, 6},
        {stray, 4, 4},  // continuation bytes of no sequence: cut at the limit
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_chunk_length(c.text, std::strlen(c.text), c.limit), c.want)
            << "text of " << std::strlen(c.text) << " bytes, limit " << c.limit;
    }
}

// What a console window is given: control characters from a device reply or
// an argument as escapes, everything else (and the closing LF) as it was.
TEST(ConsoleVisible, ShowsControlCharactersInsteadOfPassingThem) {
    struct Case {
        std::string text;
        bool ends_line;
        std::string want;
    } cases[] = {
        {"OK v reply=\"WLED \x1B[2J\x1B]0;t\x07\"\n", true, "OK v reply=\"WLED \\x1B[2J\\x1B]0;t\\x07\"\n"},
        {"WLED 1\r\nFAIL x\n", true, "WLED 1\\x0D\\x0AFAIL x\n"},
        {"a\n", false, "a\\x0A"},  // a piece that does not end the line
        {std::string("\0\t\x1F\x7F", 4), true, "\\x00\\x09\\x1F\\x7F"},
        // C1 controls escaped byte by byte; U+00A0 and the em dash are text.
        {"\xC2\x9B"
         "1m \xC2\x80\xC2\xA0 \xE2\x80\x94\n",
         true, "\\xC2\\x9B1m \\xC2\\x80\xC2\xA0 \xE2\x80\x94\n"},
        {"ERR unknown step 'a\\x1B'\n", true, "ERR unknown step 'a\\x1B'\n"},
    };
    for (const Case& c : cases) {
        char out[4 * 64];
        const std::size_t n = console_visible(c.text.data(), c.text.size(), c.ends_line, out);
        EXPECT_EQ(std::string(out, n), c.want);
    }
}

// Device text in a result line: only text that is whole, valid and harmless
// is copied; a value cut short still closes its quotes.
TEST(DeviceText, HidesWhatCouldBreakALineAndKeepsTheRest) {
    const std::string text = "\xC0\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x80\xA9|\xF0\x9F\x92\xA1|\xC3\xA9";
    char out[64];
    EXPECT_EQ(put_device_text(text.data(), text.size(), TextForm::quoted, out, sizeof out), 23u);
    EXPECT_STREQ(out, "\"??|???|????|?|\xF0\x9F\x92\xA1|\xC3\xA9\"");
    EXPECT_EQ(put_device_text("a \"\xC3\xA9", 5, TextForm::bare, out, 5), 3u);  // no room for the é
    EXPECT_STREQ(out, "a??");
    EXPECT_EQ(put_device_text("abc\xC3\xA9", 5, TextForm::quoted, out, 7), 5u);
    EXPECT_STREQ(out, "\"abc\"");
}
