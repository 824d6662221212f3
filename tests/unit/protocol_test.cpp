#include <gtest/gtest.h>

#include <cstring>

#include "protocol/messages.h"

TEST(SolidFrame, RedIsHeaderThenTwelveRedPixels) {
    const AdalightFrame f = solid_frame(255, 0, 0);
    const std::uint8_t header[] = {0x41, 0x64, 0x61, 0x00, 0x0B, 0x5E};
    ASSERT_EQ(sizeof f.bytes, 42u);
    EXPECT_EQ(0, std::memcmp(f.bytes, header, sizeof header));
    for (std::uint32_t led = 0; led < LED_COUNT; ++led) {
        EXPECT_EQ(f.bytes[6 + 3 * led + 0], 0xFF) << "led " << led;
        EXPECT_EQ(f.bytes[6 + 3 * led + 1], 0x00) << "led " << led;
        EXPECT_EQ(f.bytes[6 + 3 * led + 2], 0x00) << "led " << led;
    }
}

TEST(SolidFrame, ChannelOrderAndHeaderDoNotDependOnColour) {
    const AdalightFrame grey = solid_frame(16, 16, 16);
    const AdalightFrame mixed = solid_frame(1, 2, 3);
    EXPECT_EQ(0, std::memcmp(grey.bytes, mixed.bytes, kFrameHeaderSize));
    EXPECT_EQ(grey.bytes[5], grey.bytes[3] ^ grey.bytes[4] ^ 0x55);
    for (std::uint32_t i = kFrameHeaderSize; i < FRAME_SIZE; ++i) {
        EXPECT_EQ(grey.bytes[i], 0x10);
        EXPECT_EQ(mixed.bytes[i], 1 + (i - kFrameHeaderSize) % 3);
    }
}

TEST(JsonLines, ExactBytesWithSingleLineFeedAndNoNul) {
    EXPECT_EQ(std::string(CMD_POWER_OFF, CMD_POWER_OFF_LEN), "{\"on\":false}\n");
    EXPECT_EQ(std::string(CMD_POWER_ON, CMD_POWER_ON_LEN), "{\"on\":true}\n");
    EXPECT_EQ(std::string(CMD_BRI50, CMD_BRI50_LEN), "{\"bri\":50}\n");
    EXPECT_EQ(VERSION_QUERY, 0x76);
    EXPECT_EQ(std::string(VERSION_REPLY_PREFIX, VERSION_REPLY_PREFIX_LEN), "WLED ");
}
