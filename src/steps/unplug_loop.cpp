#include "common/clock.h"
#include "common/console.h"
#include "protocol/messages.h"
#include "steps/steps.h"

namespace {

constexpr int kMaxStreamWrites = 600;  // 600 x 250 ms = 150 s of streaming
constexpr std::uint32_t kStreamPauseMs = 250;
constexpr int kReopenAttempts = 30;  // about the 30 s the prompt promises
constexpr std::uint32_t kReopenPauseMs = 1000;

void wait_for_enter() {
    // End of input or a read error counts as ENTER, so the step never waits
    // on a closed standard input.
    for (;;) {
        const int c = read_stdin_char();
        if (c < 0 || c == '\n') {
            return;
        }
    }
}

}  // namespace

ExitStatus step_unplug_loop(PortHandle& port, const char* port_name) {
    print_out("Unplug the Orvane-1 now; replug within 30 s. Press ENTER to begin.\n");
    flush_out();
    wait_for_enter();

    const AdalightFrame frame = solid_frame(16, 16, 16);
    bool write_failed = false;
    ErrorCode first_write_err = 0;
    for (int attempt = 1; attempt <= kMaxStreamWrites && !write_failed; ++attempt) {
        ErrorCode code = 0;
        if (write_timed(port, frame.bytes, FRAME_SIZE, code)) {
            sleep_ms(kStreamPauseMs);
        } else {
            write_failed = true;
            first_write_err = code;
        }
    }

    if (!write_failed) {
        print_out("FAIL unplug-loop: no write error observed within 150 s (did you unplug?)\n");
        return kExitFail;  // the port is still open; the caller closes it
    }

    print_out("ERR write code=%lu\n", as_ulong(first_write_err));
    close_port(port);
    port = kInvalidPort;

    for (int attempt = 1; attempt <= kReopenAttempts; ++attempt) {
        sleep_ms(kReopenPauseMs);
        ErrorCode code = 0;
        const PortHandle again = open_port(port_name, code);
        if (port_is_open(again)) {
            print_out("OK reopen attempt=%d (first_write_err=%lu)\n", attempt, as_ulong(first_write_err));
            close_port(again);
            return kExitPass;
        }
    }

    print_out("FAIL no-reopen (first_write_err=%lu)\n", as_ulong(first_write_err));
    return kExitFail;
}
