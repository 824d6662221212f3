#include "protocol/messages.h"

#include <cstring>

namespace {

void put_header(std::uint32_t leds, std::uint8_t* out) {
    const std::uint32_t count_minus_one = leds - 1;
    const auto hi = static_cast<std::uint8_t>((count_minus_one >> 8) & 0xFF);
    const auto lo = static_cast<std::uint8_t>(count_minus_one & 0xFF);
    out[0] = 'A';
    out[1] = 'd';
    out[2] = 'a';
    out[3] = hi;
    out[4] = lo;
    out[5] = static_cast<std::uint8_t>(hi ^ lo ^ 0x55);
}

}  // namespace

void put_stream_frame(std::uint32_t leds, std::uint32_t lit, std::uint8_t* out) {
    put_header(leds, out);
    std::memset(out + kFrameHeaderSize, 0, 3 * static_cast<std::size_t>(leds));
    out[kFrameHeaderSize + 3 * (lit % leds) + 2] = kStreamDotBlue;
}

AdalightFrame solid_frame(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    AdalightFrame frame{};
    put_header(LED_COUNT, frame.bytes);
    for (std::uint32_t led = 0; led < LED_COUNT; ++led) {
        std::uint8_t* px = &frame.bytes[kFrameHeaderSize + 3 * led];
        px[0] = r;
        px[1] = g;
        px[2] = b;
    }
    return frame;
}
