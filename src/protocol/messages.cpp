#include "protocol/messages.h"

AdalightFrame solid_frame(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    constexpr std::uint32_t count_minus_one = LED_COUNT - 1;
    constexpr auto hi = static_cast<std::uint8_t>((count_minus_one >> 8) & 0xFF);
    constexpr auto lo = static_cast<std::uint8_t>(count_minus_one & 0xFF);

    AdalightFrame frame{};
    frame.bytes[0] = 'A';
    frame.bytes[1] = 'd';
    frame.bytes[2] = 'a';
    frame.bytes[3] = hi;
    frame.bytes[4] = lo;
    frame.bytes[5] = static_cast<std::uint8_t>(hi ^ lo ^ 0x55);
    for (std::uint32_t led = 0; led < LED_COUNT; ++led) {
        std::uint8_t* px = &frame.bytes[kFrameHeaderSize + 3 * led];
        px[0] = r;
        px[1] = g;
        px[2] = b;
    }
    return frame;
}
