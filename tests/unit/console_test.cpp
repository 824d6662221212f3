#include <gtest/gtest.h>

#include <cstring>

#include "common/console.h"

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
