#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "common/console.h"
#include "common/device_text.h"
#include "protocol/version_reply.h"

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
// is copied, and bare text is printable ASCII; a value cut short says so,
// still closes its quotes and never writes past its capacity.
TEST(DeviceText, HidesWhatCouldBreakALineAndKeepsTheRest) {
    const TextForm q = TextForm::quoted;
    struct Case {
        std::string text;
        TextForm form;
        std::size_t capacity;
        std::string want;
    } cases[] = {
        // Overlong forms (two- and three-byte), a surrogate, past U+10FFFF,
        // lead bytes F5 and F7, a sequence broken by an ASCII byte.
        {"\xC0\x80|\xE0\x80\x9F|\xED\xA0\x80|\xF4\x90\x80\x80|\xF5\x80\xF7|\xE2\x80\x41", q, 64,
         "\"??|???|???|????|???|??A\""},
        // U+001F, DEL, U+009F, U+2028, U+2029, then both ends of U+200B..U+200F,
        // U+202A..U+202E, U+2066..U+2069 and U+FEFF; after `|` their neighbours,
        // U+00A0 and an emoji, which are text.
        {"\x1F\x7F\xC2\x9F\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\x8B\xE2\x80\x8F\xE2\x80\xAA\xE2\x80\xAE\xE2\x81"
         "\xA6"
         "\xE2\x81\xA9\xEF\xBB\xBF|\xE2\x80\x8A\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"
         "\xEF\xBB\xBE\xC2\xA0\xF0\x9F\x92\xA1\"",
         q, 80,
         "\"????????????|\xE2\x80\x8A\xE2\x80\x90\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xEF\xBB\xBE"
         "\xC2\xA0\xF0\x9F\x92\xA1'\""},
        // Bare: a space, `"`, U+00A0 and U+3000 are `?` byte by byte.
        {"COM 9\"\xC2\xA0\xE3\x80\x80~!", TextForm::bare, 32, "COM?9??????~!"},
        {std::string(31, 'x'), TextForm::bare, 32, std::string(31, 'x')},
        {std::string(32, 'x'), TextForm::bare, 32, std::string(28, 'x') + "..."},
        {"abcdef", q, 9, "\"abcdef\""},
        {"abc\xC3\xA9"
         "def",
         q, 9, "\"abc...\""},  // the mark never splits the é
        {"abcd\x01\x01\x01\x01", q, 8, "\"ab...\""},
    };
    for (const Case& c : cases) {
        char out[96];
        std::memset(out, '#', sizeof out);
        const std::size_t n = put_device_text(c.text.data(), c.text.size(), c.form, out, c.capacity);
        EXPECT_EQ(std::string(out, n), c.want);
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(std::string(out + c.capacity, 4), "####") << c.want;
    }
}

// The hex dump of a reply the tool does not take: whole bytes, within the size.
TEST(HexBytes, WholeBytesThatFit) {
    const std::uint8_t bytes[] = {0xAB, 0x01, 0xFF};
    for (const auto& c :
         {std::make_pair(3, "AB"), std::make_pair(8, "AB 01"), std::make_pair(9, "AB 01 FF")}) {
        char out[16];
        std::memset(out, '#', sizeof out);
        const std::size_t n = format_hex_bytes(bytes, 3, out, static_cast<std::size_t>(c.first));
        EXPECT_EQ(std::string(out, n + 1), std::string(c.second) + '\0');
        EXPECT_EQ(out[c.first], '#');
    }
}
