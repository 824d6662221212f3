#include "common/clock.h"
#include "common/console.h"
#include "protocol/messages.h"
#include "protocol/version_reply.h"
#include "steps/steps.h"

namespace {

constexpr std::uint32_t kReplyBufferSize = 64;
// One byte always stays free for the terminator written before printing.
constexpr std::uint32_t kReplyCapacity = kReplyBufferSize - 1;
constexpr MonoNs kReplyWindowNs = 2000 * kNsPerMs;
constexpr std::uint32_t kIdlePauseMs = 50;

bool is_line_end(std::uint8_t c) { return c == '\n' || c == '\r'; }

}  // namespace

ExitStatus step_version(PortHandle port) {
    ErrorCode code = 0;
    const std::uint8_t query = VERSION_QUERY;
    if (!write_timed(port, &query, VERSION_QUERY_LEN, code)) {
        print_out("FAIL v write code=%lu\n", static_cast<unsigned long>(code));
        return kExitFail;
    }

    std::uint8_t reply[kReplyBufferSize] = {};
    std::uint32_t received = 0;
    const MonoNs deadline = mono_now_ns() + kReplyWindowNs;

    while (!deadline_passed(mono_now_ns(), deadline) && received < kReplyCapacity) {
        const std::uint32_t room = kReplyCapacity - received;
        std::uint32_t n = read_timed(port, reply + received, room);
        if (n > room) {
            // Never trust a count past what was asked for: it would walk
            // the judgement off the end of the buffer.
            n = room;
        }
        bool line_ended = false;
        for (std::uint32_t i = 0; i < n; ++i) {
            line_ended = line_ended || is_line_end(reply[received + i]);
        }
        received += n;
        if (line_ended) {
            break;
        }
        if (n == 0) {
            sleep_ms(kIdlePauseMs);
        }
    }

    switch (judge_version_reply(reply, received)) {
        case VersionVerdict::none:
            print_out("FAIL v reply_bytes=(none, 2s timeout)\n");
            return kExitFail;
        case VersionVerdict::accepted:
            print_out("OK v reply=\"%s\"\n", reinterpret_cast<const char*>(reply));
            return kExitPass;
        case VersionVerdict::rejected:
            break;
    }
    // At most 63 bytes as "XX ".
    char hex[3 * kReplyCapacity];
    format_hex_bytes(reply, received, hex, sizeof hex);
    print_out("FAIL v reply_bytes=%s\n", hex);
    return kExitFail;
}
