#pragma once

#include <cstddef>
#include <cstdint>

// Every byte the tool sends to the controller, and the reply prefix it accepts.

constexpr std::uint8_t VERSION_QUERY = 0x76;  // 'v'
constexpr std::uint32_t VERSION_QUERY_LEN = 1;

constexpr char VERSION_REPLY_PREFIX[] = "WLED ";
constexpr std::uint32_t VERSION_REPLY_PREFIX_LEN = 5;

constexpr char CMD_POWER_OFF[] = "{\"on\":false}\n";
constexpr std::uint32_t CMD_POWER_OFF_LEN = 13;
constexpr char CMD_POWER_ON[] = "{\"on\":true}\n";
constexpr std::uint32_t CMD_POWER_ON_LEN = 12;
constexpr char CMD_BRI50[] = "{\"bri\":50}\n";
constexpr std::uint32_t CMD_BRI50_LEN = 11;

// The probe's state query: the controller answers it with one line holding
// its whole state ({"state":{...},"info":{...}}) and changes nothing.
constexpr char kStateQuery[] = "{\"v\":true}\n";
constexpr std::uint32_t kStateQueryLen = 11;

static_assert(sizeof(CMD_POWER_OFF) - 1 == CMD_POWER_OFF_LEN, "length excludes the NUL");
static_assert(sizeof(CMD_POWER_ON) - 1 == CMD_POWER_ON_LEN, "length excludes the NUL");
static_assert(sizeof(CMD_BRI50) - 1 == CMD_BRI50_LEN, "length excludes the NUL");
static_assert(sizeof(kStateQuery) - 1 == kStateQueryLen, "length excludes the NUL");
static_assert(sizeof(VERSION_REPLY_PREFIX) - 1 == VERSION_REPLY_PREFIX_LEN, "prefix length");

constexpr std::uint32_t LED_COUNT = 12;
constexpr std::uint32_t kFrameHeaderSize = 6;
constexpr std::uint32_t FRAME_SIZE = kFrameHeaderSize + 3 * LED_COUNT;  // 42
static_assert(FRAME_SIZE == 42, "Adalight frame for 12 LEDs");

struct Rgb {
    std::uint8_t r;
    std::uint8_t g;
    std::uint8_t b;
};

struct AdalightFrame {
    std::uint8_t bytes[FRAME_SIZE];
};

// "Ada", LED count minus one (high, low), then high ^ low ^ 0x55, followed by
// LED_COUNT copies of the colour in red, green, blue order.
AdalightFrame solid_frame(std::uint8_t r, std::uint8_t g, std::uint8_t b);

// The companion's stream: frames for `leds` LEDs (1..kMaxFrameLeds), same
// header as the spike's. One LED, at `lit` (taken modulo the count), shows a
// dim blue; all others are off, so the power drawn stays low and a step
// that is skipped or repeated is visible on the strip.
constexpr std::uint32_t kMaxFrameLeds = 2048;
constexpr std::uint8_t kStreamDotBlue = 24;
inline std::uint32_t frame_size(std::uint32_t leds) { return kFrameHeaderSize + 3 * leds; }
// Writes frame_size(leds) bytes to `out`.
void put_stream_frame(std::uint32_t leds, std::uint32_t lit, std::uint8_t* out);

// Convenience views of the constant texts as bytes for write_timed.
inline const std::uint8_t* as_bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }
