// The serial link on Win32: one COM port opened for overlapped I/O, every
// transfer bounded by a 100 ms completion wait. All kernel32 calls go through
// win32_calls() so the unit tests can script the driver.

#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "link/link.h"
#include "link/win32_calls.h"

namespace {

// "\\.\" plus a name of at most 6 bytes needs 11; longer names are truncated.
constexpr std::size_t kPathSize = 32;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;

static_assert(sizeof(DCB) == 28, "DCBlength must announce the 28-byte record");
static_assert(static_cast<ErrorCode>(ERROR_WRITE_FAULT) == kErrWriteFault,
              "short-write code must match Win32");
static_assert(static_cast<ErrorCode>(WAIT_TIMEOUT) == kErrWaitTimeout, "time-out code must match Win32");
static_assert(sizeof(std::intptr_t) == sizeof(HANDLE), "PortHandle carries a HANDLE");

HANDLE handle_of(PortHandle port) { return reinterpret_cast<HANDLE>(port.raw); }

PortHandle port_of(HANDLE handle) { return PortHandle{reinterpret_cast<std::intptr_t>(handle)}; }

// Manual-reset, so a completion that lands between the wait and
// GetOverlappedResult is not lost; unnamed, so no other process can touch it.
HANDLE create_completion_event(const Win32Calls& w) {
    return w.create_event_a(nullptr, TRUE, FALSE, nullptr);
}

// A transfer still pending after the wait is cancelled, then collected with a
// waiting GetOverlappedResult: only once that returns has the driver let go of
// the caller's buffer and of the OVERLAPPED on our stack. CancelIoEx may find
// nothing to cancel (the transfer ended meanwhile), so neither result is used.
void cancel_and_settle(const Win32Calls& w, HANDLE port, OVERLAPPED& ov, DWORD& count) {
    (void)w.cancel_io_ex(port, &ov);
    (void)w.get_overlapped_result(port, &ov, &count, TRUE);
}

}  // namespace

PortHandle open_port(const char* name, ErrorCode& code, OnOpen on_open) {
    const Win32Calls& w = win32_calls();

    char path[kPathSize];
    // snprintf truncates and terminates; the explicit terminator guards CRTs
    // whose snprintf behaves like _snprintf and leaves a full buffer open.
    (void)std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    path[sizeof path - 1] = '\0';

    const HANDLE port = w.create_file_a(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        code = w.get_last_error();
        return kInvalidPort;
    }

    // Start from what the driver reports and change only the line settings,
    // so flow-control and special-character fields keep the driver's values.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    bool configured = w.get_comm_state(port, &dcb) != FALSE;
    if (configured) {
        dcb.BaudRate = 115200;
        dcb.fBinary = 1;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        configured = w.set_comm_state(port, &dcb) != FALSE;
    }
    if (configured) {
        // Reads return what has arrived within 10 ms; a write the device does
        // not drain ends after 50 ms, well inside the 100 ms completion wait.
        COMMTIMEOUTS timeouts = {MAXDWORD, 0, 10, 0, 50};
        configured = w.set_comm_timeouts(port, &timeouts) != FALSE;
    }
    if (!configured) {
        // Read the code before CloseHandle can overwrite it.
        code = w.get_last_error();
        (void)w.close_handle(port);
        return kInvalidPort;
    }

    // Stale bytes from an earlier run must not be taken for a reply. A failed
    // purge leaves a usable port, so it does not fail the open.
    (void)w.purge_comm(port, on_open == OnOpen::purge_both ? kPurgeAll : kPurgeInput);
    code = 0;
    return port_of(port);
}

bool write_timed(PortHandle port, const std::uint8_t* bytes, std::uint32_t length, ErrorCode& code) {
    const Win32Calls& w = win32_calls();
    const HANDLE handle = handle_of(port);

    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = create_completion_event(w);
    if (ov.hEvent == nullptr) {
        code = w.get_last_error();
        return false;
    }

    // `done` is tracked apart from the code: a failure whose last-error value
    // happens to be 0 must still be a failure.
    bool done = false;
    DWORD count = 0;
    if (w.write_file(handle, bytes, length, &count, &ov) != FALSE) {
        done = true;
    } else {
        const DWORD start_error = w.get_last_error();
        if (start_error != ERROR_IO_PENDING) {
            code = start_error;
        } else {
            const DWORD waited = w.wait_for_single_object(ov.hEvent, kCompletionWaitMs);
            if (waited == WAIT_OBJECT_0) {
                if (w.get_overlapped_result(handle, &ov, &count, FALSE) != FALSE) {
                    done = true;
                } else {
                    code = w.get_last_error();
                }
            } else {
                cancel_and_settle(w, handle, ov, count);
                // After a failed wait, the code is whatever the cancel and the
                // settle leave behind; the wait's own error is overwritten.
                code = waited == WAIT_TIMEOUT ? kErrWaitTimeout : w.get_last_error();
            }
        }
    }

    bool all_sent = false;
    if (done) {
        all_sent = count == length;
        code = all_sent ? 0 : kErrWriteFault;
    }
    (void)w.close_handle(ov.hEvent);
    return all_sent;
}

std::uint32_t read_timed(PortHandle port, std::uint8_t* dest, std::uint32_t capacity) {
    const Win32Calls& w = win32_calls();
    const HANDLE handle = handle_of(port);

    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = create_completion_event(w);
    if (ov.hEvent == nullptr) {
        return 0;
    }

    DWORD count = 0;
    DWORD stored = 0;
    if (w.read_file(handle, dest, capacity, &count, &ov) != FALSE) {
        stored = count;
    } else if (w.get_last_error() == ERROR_IO_PENDING) {
        if (w.wait_for_single_object(ov.hEvent, kCompletionWaitMs) == WAIT_OBJECT_0) {
            // The result is not examined: when the 10 ms driver time-out ends
            // a read, Windows reports success with 0 bytes while Wine reports
            // failure (STATUS_TIMEOUT, error 1460), also with 0 bytes. The
            // count is what matters either way.
            (void)w.get_overlapped_result(handle, &ov, &count, FALSE);
            stored = count;
        } else {
            // The settled read's count is kept: the read may have completed
            // just as the wait gave up (a late signal under load; CancelIoEx
            // then finds nothing to cancel), or stored some bytes before the
            // cancel took effect. Either way the driver has handed those bytes
            // over and holds no other copy: dropping them would lose a reply.
            cancel_and_settle(w, handle, ov, count);
            stored = count;
        }
    }
    (void)w.close_handle(ov.hEvent);
    // The caller indexes its buffer with the count; never trust a driver
    // report beyond what was asked for.
    return stored <= capacity ? stored : capacity;
}

void close_port(PortHandle port) {
    if (port_is_open(port)) {
        (void)win32_calls().close_handle(handle_of(port));
    }
}

std::uint32_t input_waiting(PortHandle port) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    // ClearCommError answers from the driver's counters at once; it also
    // clears a pending line error, which would otherwise stop further reads.
    if (win32_calls().clear_comm_error(handle_of(port), &errors, &status) == FALSE) {
        return 0;
    }
    return status.cbInQue;
}

bool raise_dtr(PortHandle port, ErrorCode& code) {
    const Win32Calls& w = win32_calls();
    if (w.escape_comm_function(handle_of(port), SETDTR) != FALSE) {
        code = 0;
        return true;
    }
    code = w.get_last_error();
    return false;
}

namespace {

constexpr DWORD kTimerAccess = TIMER_MODIFY_STATE | SYNCHRONIZE;
// A timer that never fires must not hold the stream: the wait gives up this
// long after the moment it was set for.
constexpr MonoNs kTimerGraceMs = 1000;

}  // namespace

Pacer open_pacer() {
    const Win32Calls& w = win32_calls();
    Pacer pacer = {kInvalidPort.raw, PaceKind::coarse, false};
    // Windows before 10 1803 refuses the flag (ERROR_INVALID_PARAMETER).
    HANDLE timer =
        w.create_waitable_timer_ex_w(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, kTimerAccess);
    if (timer != nullptr) {
        pacer.raw = reinterpret_cast<std::intptr_t>(timer);
        pacer.kind = PaceKind::high_resolution;
        return pacer;
    }
    // An ordinary timer fires on the system's tick; at 1 ms that is fine
    // enough for slots of 3.3 ms and more.
    pacer.period_raised = w.time_begin_period(1) == TIMERR_NOERROR;
    timer = w.create_waitable_timer_ex_w(nullptr, nullptr, 0, kTimerAccess);
    if (timer != nullptr) {
        pacer.raw = reinterpret_cast<std::intptr_t>(timer);
    }
    pacer.kind = pacer.period_raised ? PaceKind::period_1ms : PaceKind::coarse;
    return pacer;
}

void pace_until(Pacer& pacer, std::int64_t when) {
    const Win32Calls& w = win32_calls();
    const HANDLE timer = reinterpret_cast<HANDLE>(pacer.raw);
    for (;;) {
        const MonoNs now = mono_now_ns();
        if (deadline_passed(now, when)) {
            return;
        }
        const MonoNs left = when - now;
        const MonoNs left_ms = (left + kNsPerMs - 1) / kNsPerMs;
        // Relative due times are negative, in 100 ns units.
        LARGE_INTEGER due;
        due.QuadPart = -((left + 99) / 100);
        if (pacer.raw == kInvalidPort.raw ||
            w.set_waitable_timer(timer, &due, 0, nullptr, nullptr, FALSE) == FALSE ||
            w.wait_for_single_object(timer, static_cast<DWORD>(left_ms + kTimerGraceMs)) != WAIT_OBJECT_0) {
            // Without a working timer the ordinary sleep keeps the schedule
            // to the system's tick; it returns only once the moment is past.
            sleep_ms(static_cast<std::uint32_t>(left_ms));
            return;
        }
        // The timer's clock and the monotonic one can differ by a few
        // microseconds: check again, and wait out any rest.
    }
}

void close_pacer(Pacer& pacer) {
    const Win32Calls& w = win32_calls();
    if (pacer.raw != kInvalidPort.raw) {
        (void)w.close_handle(reinterpret_cast<HANDLE>(pacer.raw));
        pacer.raw = kInvalidPort.raw;
    }
    if (pacer.period_raised) {
        (void)w.time_end_period(1);
        pacer.period_raised = false;
    }
}
