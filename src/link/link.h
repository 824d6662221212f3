#pragma once

#include <cstdint>

// Error codes. Every call here that reports one sets its `code` out-parameter
// on every path: 0 exactly when the call succeeded; otherwise the platform's
// error number (on Windows GetLastError(), read right after the failing call;
// after a wait that itself failed, what the cancel and settle leave behind),
// or one of the link's two codes of its own: 29 (kErrWriteFault, a write that
// moved fewer bytes than asked) and 258 (kErrWaitTimeout, a write not done
// within kCompletionWaitMs). read_timed reports none: a failed read counts 0 bytes.
// Callers print codes unchanged as "code=%lu"; the probe's `ready` and
// `state` alone tell some apart, because they retry an open that failed with
// a code meaning "not there yet" or "busy" (see probe/attempts.h).

// The serial link: the only interface the rest of the tool uses to reach the
// controller. This header stays free of <windows.h> so that everything above
// the link builds and is tested on any platform.

using ErrorCode = std::uint32_t;

// Lines print codes with "%lu", whose unsigned long is 32 bits on Windows and
// 64 on Linux: widen explicitly.
inline unsigned long as_ulong(ErrorCode code) { return static_cast<unsigned long>(code); }

// The link's own codes, numerically equal to the Win32 values of the same name.
constexpr ErrorCode kErrWriteFault = 29;    // ERROR_WRITE_FAULT: short write
constexpr ErrorCode kErrWaitTimeout = 258;  // WAIT_TIMEOUT: write not done within the wait

// An open, configured serial port. `raw` carries the platform handle value;
// kInvalidPort (the value of INVALID_HANDLE_VALUE) is never an open port.
struct PortHandle {
    std::intptr_t raw;
};

constexpr PortHandle kInvalidPort = {-1};

inline bool port_is_open(PortHandle port) { return port.raw != kInvalidPort.raw; }

// Every transfer waits this long for completion, then cancels and settles.
constexpr std::uint32_t kCompletionWaitMs = 100;

// What the open does with bytes already in the driver's queues.
enum class OnOpen {
    purge_both,
    // Only stale input is dropped. Output in the queue is another program's
    // that has not left yet (under Wine on a pty: not yet read by the far
    // end); a program that must not change what the controller receives
    // leaves it to go out.
    purge_input,
};

// Opens "\\.\<name>" for overlapped I/O at 115200 8N1 with DTR and RTS off,
// sets the driver time-outs and purges as `on_open` says. On failure returns
// kInvalidPort and leaves no handle open. `code` is always set (0 on success).
PortHandle open_port(const char* name, ErrorCode& code, OnOpen on_open = OnOpen::purge_both);

// Writes all `length` bytes with a bounded wait. True only when every byte was
// transferred; `code` is always set (0 on success).
bool write_timed(PortHandle port, const std::uint8_t* bytes, std::uint32_t length, ErrorCode& code);

// Reads what has arrived, up to `capacity` bytes, with a bounded wait. A read
// that cannot start counts 0 bytes; one still pending after the wait is
// cancelled, and what it had stored by the time it settled is counted.
std::uint32_t read_timed(PortHandle port, std::uint8_t* dest, std::uint32_t capacity);

// Releases a port received from open_port. Call exactly once per open port.
void close_port(PortHandle port);

// --- For the companion's stream only; the spike never calls these. ---

// How many received bytes the driver holds, asked without a wait (0 when it
// cannot tell). Reading at most that many with read_timed returns at once.
std::uint32_t input_waiting(PortHandle port);

// Raises DTR on an open port (RTS is left as it is). `code` is always set.
bool raise_dtr(PortHandle port, ErrorCode& code);

// A wait that ends close to a moment on the monotonic clock, for a sender's
// frame slots: Windows sleeps in 15.6 ms ticks unless a program asks for a
// finer timer. No busy wait: the caller blocks in the OS.
enum class PaceKind {
    high_resolution,  // a high-resolution waitable timer (Windows 10 1803 and later)
    period_1ms,       // an ordinary waitable timer with the system timer at 1 ms
    coarse,           // neither could be had: sleep_ms and the system's tick
};
struct Pacer {
    std::intptr_t raw;  // a timer handle, or kInvalidPort's value
    PaceKind kind;
    bool period_raised;  // a 1 ms period was asked for and must be given back
};
Pacer open_pacer();
// Returns once mono_now_ns() has reached `when` (at once when it has).
void pace_until(Pacer& pacer, std::int64_t when);
// Releases what open_pacer took. Call exactly once per pacer.
void close_pacer(Pacer& pacer);
