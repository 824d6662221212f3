#include <cstdint>
#include <cstring>

#include "common/console.h"
#include "common/device_text.h"
#include "probe/attempts.h"
#include "probe/probe.h"
#include "protocol/messages.h"
#include "protocol/version_reply.h"

namespace {

// One attempt a second for 30 s: a board that was just plugged in, flashed or
// reset enumerates late and boots for a second or more.
constexpr MonoNs kReadyWaitNs = 30 * kAttemptNs;
constexpr std::uint32_t kLineCapacity = kVersionLineBytes;

void print_fail(const AttemptOutcome& out) {
    const int ms = elapsed_ms(out.start);
    switch (out.last) {
        case Obstacle::open:
            print_out("FAIL ready ms=%d attempts=%d last=open code=%lu\n", ms, out.attempts,
                      as_ulong(out.last_code));
            break;
        case Obstacle::write:
            print_out("FAIL ready ms=%d attempts=%d last=write code=%lu\n", ms, out.attempts,
                      as_ulong(out.last_code));
            break;
        case Obstacle::silence:
            print_out("FAIL ready ms=%d attempts=%d last=silence\n", ms, out.attempts);
            break;
        case Obstacle::reply: {
            char hex[3 * kSeenBytes];
            format_hex_bytes(out.seen, out.seen_count, hex, sizeof hex);
            print_out("FAIL ready ms=%d attempts=%d last=reply reply_bytes=%s\n", ms, out.attempts, hex);
            break;
        }
    }
}

}  // namespace

bool is_version_line(const std::uint8_t* line, std::uint32_t count) {
    return count >= VERSION_REPLY_PREFIX_LEN &&
           std::memcmp(line, VERSION_REPLY_PREFIX, VERSION_REPLY_PREFIX_LEN) == 0;
}

void print_other_text_note(std::uint32_t other_bytes) {
    if (other_bytes > 0) {
        print_out(
            "NOTE: %u bytes of other text came before the reply; the board probably restarted when "
            "the port opened.\n",
            static_cast<unsigned>(other_bytes));
    }
}

void print_dtr_note(const char* port_name, const char* chip, Dtr dtr, ErrorCode code) {
    if (dtr == Dtr::raised) {
        print_out("NOTE: %s is a native USB port (%s): DTR raised after the open, RTS kept off.\n", port_name,
                  chip);
    } else if (dtr == Dtr::failed) {
        print_out(
            "NOTE: %s is a native USB port (%s), but the driver refused to raise DTR (code=%lu): DTR stayed "
            "off, and such firmware usually answers only while DTR is up.\n",
            port_name, chip, as_ulong(code));
    }
}

const char* native_chip_of(const char* port_name, const char* (*native_usb_chip)(const char* port_name)) {
    return native_usb_chip != nullptr ? native_usb_chip(port_name) : nullptr;
}

ExitStatus probe_ready(const char* port_name, const char* (*native_usb_chip)(const char* port_name)) {
    std::uint8_t line[kLineCapacity + 1] = {};
    const std::uint8_t query = VERSION_QUERY;
    const char* chip = native_chip_of(port_name, native_usb_chip);
    AttemptPlan plan = {&query,          VERSION_QUERY_LEN, line,         kLineCapacity,
                        is_version_line, kReadyWaitNs,      kReadyWaitNs, true};
    plan.raise_dtr = chip != nullptr;
    AttemptOutcome out;
    run_attempts(port_name, plan, out);
    if (out.open_refused) {
        print_err("ERR open %s code=%lu\n", port_name, as_ulong(out.last_code));
        return kExitFail;
    }
    if (out.found) {
        std::uint32_t count = out.count;
        (void)judge_version_reply(line, count);
        char reply[2 * kLineCapacity + 3];
        put_device_text(reinterpret_cast<const char*>(line), count, TextForm::quoted, reply, sizeof reply);
        print_out("OK ready ms=%d attempts=%d reply=%s\n", elapsed_ms(out.start), out.attempts, reply);
        print_other_text_note(out.other_bytes);
        print_dtr_note(port_name, chip, out.dtr, out.dtr_code);
        return kExitPass;
    }
    print_fail(out);
    print_dtr_note(port_name, chip, out.dtr, out.dtr_code);
    return kExitFail;
}
