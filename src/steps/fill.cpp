#include "common/clock.h"
#include "common/console.h"
#include "protocol/messages.h"
#include "steps/steps.h"

namespace {

constexpr std::uint32_t kBri50GapMs = 25;

}  // namespace

ExitStatus step_fill(PortHandle port, std::uint8_t r, std::uint8_t g, std::uint8_t b, const char* name) {
    const AdalightFrame frame = solid_frame(r, g, b);
    ErrorCode code = 0;
    if (!write_timed(port, frame.bytes, FRAME_SIZE, code)) {
        print_out("FAIL fill=%s code=%lu\n", name, as_ulong(code));
        return kExitFail;
    }
    print_out("OK fill=%s bytes=%d\n", name, static_cast<int>(FRAME_SIZE));
    return kExitPass;
}

ExitStatus step_bri50(PortHandle port) {
    const AdalightFrame frame = solid_frame(255, 255, 255);
    ErrorCode code = 0;
    if (!write_timed(port, frame.bytes, FRAME_SIZE, code)) {
        print_out("FAIL bri50 adalight_write code=%lu\n", as_ulong(code));
        return kExitFail;
    }
    // The controller reads pixel frames and JSON lines from one stream; the
    // gap lets it finish with the frame before the JSON line begins.
    sleep_ms(kBri50GapMs);
    code = 0;
    if (!write_timed(port, as_bytes(CMD_BRI50), CMD_BRI50_LEN, code)) {
        print_out("FAIL bri50 json_write code=%lu\n", as_ulong(code));
        return kExitFail;
    }
    print_out("OK bri=50 gap_ms=%d\n", static_cast<int>(kBri50GapMs));
    return kExitPass;
}
