#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_win32.h"
#include "fakes/virtual_clock.h"
#include "link/link.h"

namespace {

using Calls = std::vector<std::string>;

// Preset before every call: a code the link forgot to set shows as this.
constexpr ErrorCode kUnset = 0xDEADBEEF;

std::intptr_t raw_of(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// Names the DCB fields that differ, for readable failures.
std::string dcb_diff(const DCB& got, const DCB& want) {
    std::string diff;
    const auto field = [&diff](const char* name, unsigned long got_value, unsigned long want_value) {
        if (got_value != want_value) {
            diff += std::string(name) + "=" + std::to_string(got_value) + " (want " +
                    std::to_string(want_value) + ") ";
        }
    };
#define LSS_DCB_FIELD(f) field(#f, static_cast<unsigned long>(got.f), static_cast<unsigned long>(want.f))
    LSS_DCB_FIELD(DCBlength);
    LSS_DCB_FIELD(BaudRate);
    LSS_DCB_FIELD(fBinary);
    LSS_DCB_FIELD(fParity);
    LSS_DCB_FIELD(fOutxCtsFlow);
    LSS_DCB_FIELD(fOutxDsrFlow);
    LSS_DCB_FIELD(fDtrControl);
    LSS_DCB_FIELD(fDsrSensitivity);
    LSS_DCB_FIELD(fTXContinueOnXoff);
    LSS_DCB_FIELD(fOutX);
    LSS_DCB_FIELD(fInX);
    LSS_DCB_FIELD(fErrorChar);
    LSS_DCB_FIELD(fNull);
    LSS_DCB_FIELD(fRtsControl);
    LSS_DCB_FIELD(fAbortOnError);
    LSS_DCB_FIELD(fDummy2);
    LSS_DCB_FIELD(wReserved);
    LSS_DCB_FIELD(XonLim);
    LSS_DCB_FIELD(XoffLim);
    LSS_DCB_FIELD(ByteSize);
    LSS_DCB_FIELD(Parity);
    LSS_DCB_FIELD(StopBits);
    LSS_DCB_FIELD(XonChar);
    LSS_DCB_FIELD(XoffChar);
    LSS_DCB_FIELD(ErrorChar);
    LSS_DCB_FIELD(EofChar);
    LSS_DCB_FIELD(EvtChar);
    LSS_DCB_FIELD(wReserved1);
#undef LSS_DCB_FIELD
    return diff;
}

struct OpenPort : ::testing::Test {
    FakeWin32 fake;
    ErrorCode code = kUnset;
};

}  // namespace

// ---- open_port: the device path and CreateFileA ----

TEST_F(OpenPort, OpensTheDevicePathExclusivelyForOverlappedIo) {
    for (const char* name : {"COM5", "COM10"}) {
        SCOPED_TRACE(name);
        code = kUnset;
        fake.calls.clear();
        fake.create_file_calls.clear();
        fake.comm_handles.clear();
        const PortHandle port = open_port(name, code);
        ASSERT_EQ(code, 0u);
        ASSERT_EQ(port.raw, raw_of(fake.ports_opened.back()));

        ASSERT_EQ(fake.create_file_calls.size(), 1u);
        const auto& call = fake.create_file_calls[0];
        EXPECT_TRUE(call.terminated);
        EXPECT_EQ(call.path, std::string("\x5C\x5C\x2E\x5C") + name);
        EXPECT_EQ(call.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_EQ(call.share, 0u);
        EXPECT_EQ(call.security, nullptr);
        EXPECT_EQ(call.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(call.flags, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
        EXPECT_EQ(call.templ, nullptr);
        EXPECT_EQ(fake.calls,
                  (Calls{"CreateFileA", "GetCommState", "SetCommState", "SetCommTimeouts", "PurgeComm"}));
        for (HANDLE h : fake.comm_handles) {
            EXPECT_EQ(raw_of(h), port.raw);
        }

        close_port(port);
        EXPECT_EQ(fake.closed.back(), fake.ports_opened.back());
        EXPECT_FALSE(fake.is_open(fake.ports_opened.back()));
    }
}

TEST_F(OpenPort, LongNameGivesTruncatedTerminatedPath) {
    const std::string name(100, 'A');
    const PortHandle port = open_port(name.c_str(), code);
    ASSERT_EQ(fake.create_file_calls.size(), 1u);
    EXPECT_TRUE(fake.create_file_calls[0].terminated);
    EXPECT_EQ(fake.create_file_calls[0].path, "\\\\.\\" + std::string(27, 'A'));
    close_port(port);
}

TEST_F(OpenPort, CreateFileFailureReportsItsCodeAndLeavesNothingOpen) {
    // 2: no such device; 5: the port is held by another program.
    for (DWORD error : {2u, 5u, 123u}) {
        SCOPED_TRACE(error);
        code = kUnset;
        fake.calls.clear();
        fake.create_file = FakeWin32::fails(error);
        const PortHandle port = open_port("COM5", code);
        EXPECT_FALSE(port_is_open(port));
        EXPECT_EQ(port.raw, kInvalidPort.raw);
        EXPECT_EQ(code, error);
        EXPECT_EQ(fake.calls, (Calls{"CreateFileA", "GetLastError"}));
    }
    EXPECT_TRUE(fake.ports_opened.empty());
}

// ---- open_port: line settings, time-outs, purge ----

TEST_F(OpenPort, GetCommStateReceivesAZeroedRecordThatAnnouncesItsSize) {
    close_port(open_port("COM5", code));
    ASSERT_EQ(fake.dcb_given_to_get.size(), 1u);
    DCB want;
    std::memset(&want, 0, sizeof want);
    want.DCBlength = 28;
    EXPECT_EQ(std::memcmp(&fake.dcb_given_to_get[0], &want, sizeof want), 0)
        << dcb_diff(fake.dcb_given_to_get[0], want);
}

struct LineSettings : OpenPort, ::testing::WithParamInterface<int> {};

// Every bit pattern of the reported record must come back unchanged outside
// the line settings: all ones catches a field cleared, all zeros a field set.
TEST_P(LineSettings, OnlyTheLineSettingsChange) {
    std::memset(&fake.reported_dcb, GetParam(), sizeof fake.reported_dcb);
    fake.reported_dcb.DCBlength = sizeof(DCB);
    close_port(open_port("COM5", code));
    EXPECT_EQ(code, 0u);
    ASSERT_EQ(fake.dcb_set.size(), 1u);

    DCB want = fake.reported_dcb;
    want.BaudRate = 115200;
    want.fBinary = 1;
    want.fDtrControl = DTR_CONTROL_DISABLE;
    want.fRtsControl = RTS_CONTROL_DISABLE;
    want.ByteSize = 8;
    want.Parity = NOPARITY;
    want.StopBits = ONESTOPBIT;
    const DCB& got = fake.dcb_set[0];
    EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << dcb_diff(got, want);
    EXPECT_EQ(got.fParity, fake.reported_dcb.fParity);
}

INSTANTIATE_TEST_SUITE_P(ReportedPatterns, LineSettings, ::testing::Values(0xFF, 0x00, 0xA5, 0x5A));

TEST_F(OpenPort, SetsTheWholeTimeoutRecordAndPurgesBothDirections) {
    fake.purge_comm = FakeWin32::fails(87);
    const PortHandle port = open_port("COM5", code);
    // A failed purge leaves a usable port.
    EXPECT_TRUE(port_is_open(port));
    EXPECT_EQ(code, 0u);

    ASSERT_EQ(fake.timeouts_set.size(), 1u);
    const COMMTIMEOUTS& t = fake.timeouts_set[0];
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 50u);
    close_port(port);
    close_port(open_port("COM5", code, OnOpen::purge_input));
    EXPECT_EQ(fake.purge_masks, (std::vector<DWORD>{0x0F, PURGE_RXABORT | PURGE_RXCLEAR}));
}

struct ConfigFailure : OpenPort, ::testing::WithParamInterface<int> {};

// The failing step's code is reported although earlier successes left other
// last-error values behind and CloseHandle sets yet another.
TEST_P(ConfigFailure, ReportsTheFailingCallsCodeClosesAndStops) {
    const int failing = GetParam();
    const char* const steps[] = {"GetCommState", "SetCommState", "SetCommTimeouts"};
    FakeWin32::Outcome* outcomes[] = {&fake.get_comm_state, &fake.set_comm_state, &fake.set_comm_timeouts};
    const DWORD error = 31u + static_cast<DWORD>(failing);
    for (int i = 0; i < failing; ++i) {
        *outcomes[i] = FakeWin32::succeeds_setting(1000u + static_cast<DWORD>(i));
    }
    *outcomes[failing] = FakeWin32::fails(error);
    fake.close_handle = FakeWin32::succeeds_setting(ERROR_INVALID_HANDLE);

    const PortHandle port = open_port("COM5", code);
    EXPECT_EQ(port.raw, kInvalidPort.raw);
    EXPECT_EQ(code, error);

    Calls want{"CreateFileA"};
    for (int i = 0; i <= failing; ++i) {
        want.push_back(steps[i]);
    }
    want.push_back("GetLastError");
    want.push_back("CloseHandle");
    EXPECT_EQ(fake.calls, want);
    ASSERT_EQ(fake.ports_opened.size(), 1u);
    EXPECT_EQ(fake.closed, (std::vector<HANDLE>{fake.ports_opened[0]}));
}

INSTANTIATE_TEST_SUITE_P(EachStep, ConfigFailure, ::testing::Values(0, 1, 2));

TEST_F(OpenPort, ClosingTheInvalidPortDoesNothing) {
    close_port(kInvalidPort);
    EXPECT_TRUE(fake.calls.empty());
}

// With no fake installed the link talks to kernel32: under Wine a COM port
// without a dosdevices entry cannot be opened.
TEST(Kernel32Table, RealCallsAreBackAfterTheFake) {
    { FakeWin32 scoped; }
    ErrorCode code = kUnset;
    const PortHandle port = open_port("COM87", code);
    EXPECT_FALSE(port_is_open(port));
    EXPECT_NE(code, 0u);
    EXPECT_NE(code, kUnset);
}

// ---- Transfers ----

namespace {

struct Transfer : ::testing::Test {
    FakeWin32 fake;
    PortHandle port{raw_of(fake.make_port())};
    ErrorCode code = kUnset;

    void TearDown() override { close_port(port); }

    // One fresh manual-reset, unnamed, non-signalled event, closed again.
    void expect_one_event_closed() {
        ASSERT_EQ(fake.create_event_calls.size(), 1u);
        const auto& ev = fake.create_event_calls[0];
        EXPECT_EQ(ev.security, nullptr);
        EXPECT_TRUE(ev.manual_reset);
        EXPECT_FALSE(ev.initial_state);
        EXPECT_EQ(ev.name, nullptr);
        ASSERT_EQ(fake.events_created.size(), 1u);
        EXPECT_FALSE(fake.is_open(fake.events_created[0]));
        EXPECT_EQ(fake.calls.back(), "CloseHandle");
    }

    // The transfer started on the port with a zero-filled record holding the event.
    void expect_started(const void* buffer, DWORD length) {
        ASSERT_EQ(fake.starts.size(), 1u);
        const auto& s = fake.starts[0];
        EXPECT_EQ(raw_of(s.port), port.raw);
        EXPECT_EQ(s.buffer, buffer);
        EXPECT_EQ(s.length, length);
        EXPECT_NE(s.count, nullptr);
        EXPECT_EQ(s.count_on_entry, 0u);
        ASSERT_NE(s.ov, nullptr);
        OVERLAPPED zero;
        std::memset(&zero, 0, sizeof zero);
        zero.hEvent = fake.events_created.at(0);
        EXPECT_EQ(std::memcmp(&s.ov_on_entry, &zero, sizeof zero), 0);
    }

    // A pending transfer was cancelled by its own record, then waited for.
    void expect_cancelled_and_settled() {
        ASSERT_EQ(fake.starts.size(), 1u);
        ASSERT_EQ(fake.cancels.size(), 1u);
        EXPECT_EQ(raw_of(fake.cancels[0].port), port.raw);
        EXPECT_EQ(fake.cancels[0].ov, fake.starts[0].ov);
        ASSERT_EQ(fake.results.size(), 1u);
        EXPECT_EQ(fake.results[0].ov, fake.starts[0].ov);
        EXPECT_TRUE(fake.results[0].wait);
    }

    void pend() { fake.transfer.start = FakeWin32::fails(ERROR_IO_PENDING); }
};

struct WriteTimed : Transfer {
    const std::uint8_t bytes[5] = {1, 2, 3, 4, 5};
};

struct ReadTimed : Transfer {
    std::uint8_t dest[16];
    ReadTimed() { std::memset(dest, 0xEE, sizeof dest); }
};

}  // namespace

TEST_F(WriteTimed, EventCreationFailureWritesNothing) {
    fake.create_event = FakeWin32::fails(1450);
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 1450u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "GetLastError"}));
}

TEST_F(WriteTimed, CompletesAtOnce) {
    fake.transfer.start = FakeWin32::succeeds_setting(87);
    fake.transfer.start_count = 5;
    EXPECT_TRUE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "WriteFile", "CloseHandle"}));
    expect_started(bytes, 5);
    expect_one_event_closed();
    EXPECT_EQ(fake.starts[0].bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(WriteTimed, CompletesAtOnceShort) {
    fake.transfer.start_count = 3;
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 29u);
    expect_one_event_closed();
}

TEST_F(WriteTimed, FailsAtOnceWithItsCode) {
    // 21: the device went away. CloseHandle's own last error must not leak in.
    fake.transfer.start = FakeWin32::fails(21);
    fake.close_handle = FakeWin32::succeeds_setting(6);
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 21u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "WriteFile", "GetLastError", "CloseHandle"}));
    expect_one_event_closed();
}

// Signalled within the wait: collected without waiting, judged like step 3.
TEST_F(WriteTimed, PendingThenSignalledWithAllBytes) {
    pend();
    fake.transfer.result_count = 5;
    EXPECT_TRUE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "WriteFile", "GetLastError", "WaitForSingleObject",
                                 "GetOverlappedResult", "CloseHandle"}));
    expect_started(bytes, 5);
    ASSERT_EQ(fake.waits.size(), 1u);
    EXPECT_EQ(fake.waits[0].handle, fake.events_created[0]);
    EXPECT_EQ(fake.waits[0].ms, 100u);
    ASSERT_EQ(fake.results.size(), 1u);
    EXPECT_EQ(fake.results[0].ov, fake.starts[0].ov);
    EXPECT_FALSE(fake.results[0].wait);
    EXPECT_TRUE(fake.cancels.empty());
    expect_one_event_closed();
}

TEST_F(WriteTimed, PendingThenSignalledShort) {
    pend();
    fake.transfer.result_count = 2;
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 29u);
    expect_one_event_closed();
}

TEST_F(WriteTimed, PendingThenResultFailsWithItsCode) {
    pend();
    fake.transfer.result = FakeWin32::fails(1117);
    fake.close_handle = FakeWin32::succeeds_setting(6);
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 1117u);
    expect_one_event_closed();
}

// Still pending after 100 ms: cancelled and settled before returning, so the
// fake's check that the bytes are intact at settle time runs while the
// caller's buffer is still lent out. Even a write that turns out complete
// when settled counts as timed out.
TEST_F(WriteTimed, PendingPastTheWaitIsCancelledAndTimesOut) {
    pend();
    fake.transfer.wait = WAIT_TIMEOUT;
    fake.transfer.result = FakeWin32::fails(ERROR_OPERATION_ABORTED);
    fake.transfer.result_count = 5;
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 258u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "WriteFile", "GetLastError", "WaitForSingleObject",
                                 "CancelIoEx", "GetOverlappedResult", "CloseHandle"}));
    EXPECT_EQ(fake.waits.at(0).ms, 100u);
    expect_cancelled_and_settled();
    expect_one_event_closed();
}

// A failed wait reports what is left after the cancel and the settle.
TEST_F(WriteTimed, FailedWaitReportsTheErrorLeftAfterSettling) {
    pend();
    fake.transfer.wait = WAIT_FAILED;
    fake.transfer.wait_error = ERROR_INVALID_HANDLE;
    fake.transfer.cancel = FakeWin32::fails(ERROR_NOT_FOUND);
    fake.transfer.result = FakeWin32::fails(ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, static_cast<ErrorCode>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "WriteFile", "GetLastError", "WaitForSingleObject",
                                 "CancelIoEx", "GetOverlappedResult", "GetLastError", "CloseHandle"}));
    expect_cancelled_and_settled();
    expect_one_event_closed();
}

// A failure whose last-error value is 0 is still a failure.
TEST_F(WriteTimed, FailureWithZeroLastErrorIsStillFalse) {
    pend();
    fake.transfer.result = FakeWin32::fails(0);
    fake.transfer.result_count = 5;
    EXPECT_FALSE(write_timed(port, bytes, 5, code));
    EXPECT_EQ(code, 0u);
}

TEST_F(ReadTimed, EventCreationFailureReadsNothing) {
    fake.create_event = FakeWin32::fails(1450);
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 0u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA"}));
}

TEST_F(ReadTimed, CompletesAtOnceWithWhatArrived) {
    fake.transfer.start_count = 3;
    fake.transfer.start_bytes = {'W', 'L', 'E'};
    EXPECT_EQ(read_timed(port, dest, 12), 3u);
    EXPECT_EQ(std::memcmp(dest, "WLE", 3), 0);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "ReadFile", "CloseHandle"}));
    expect_started(dest, 12);
    expect_one_event_closed();
}

TEST_F(ReadTimed, FailsAtOnceCountsNothingWhateverWasStored) {
    fake.transfer.start = FakeWin32::fails(21);
    fake.transfer.start_count = 4;
    fake.transfer.start_bytes = {'W', 'L', 'E', 'D'};
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 0u);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "ReadFile", "GetLastError", "CloseHandle"}));
    expect_one_event_closed();
}

TEST_F(ReadTimed, PendingThenSignalledReturnsTheCollectedCount) {
    pend();
    fake.transfer.result_count = 6;
    fake.transfer.settle_bytes = {'W', 'L', 'E', 'D', ' ', '0'};
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 6u);
    EXPECT_EQ(std::memcmp(dest, "WLED 0", 6), 0);
    EXPECT_EQ(fake.waits.at(0).ms, 100u);
    ASSERT_EQ(fake.results.size(), 1u);
    EXPECT_FALSE(fake.results[0].wait);
    EXPECT_EQ(fake.results[0].ov, fake.starts.at(0).ov);
    EXPECT_TRUE(fake.cancels.empty());
    expect_one_event_closed();
}

// A read ended by the 10 ms driver time-out: Wine reports failure with 1460,
// Windows success; both with 0 bytes. Only the count is used.
TEST_F(ReadTimed, DriverTimeoutAsWineReportsIt) {
    pend();
    fake.transfer.result = FakeWin32::fails(ERROR_TIMEOUT);
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 0u);
    expect_one_event_closed();
}

TEST_F(ReadTimed, DriverTimeoutAsWindowsReportsIt) {
    pend();
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 0u);
    expect_one_event_closed();
}

TEST_F(ReadTimed, FailedResultStillGivesItsCount) {
    pend();
    fake.transfer.result = FakeWin32::fails(ERROR_TIMEOUT);
    fake.transfer.result_count = 2;
    fake.transfer.settle_bytes = {'W', 'L'};
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 2u);
    expect_one_event_closed();
}

// Past the wait: cancelled and settled while the caller's buffer is still
// lent out, and whatever the settled read reports is counted. First race: the
// read completed as the wait gave up, so the cancel finds nothing to cancel.
TEST_F(ReadTimed, CompletedAsTheWaitTimedOutIsCounted) {
    pend();
    fake.transfer.wait = WAIT_TIMEOUT;
    fake.transfer.cancel = FakeWin32::fails(ERROR_NOT_FOUND);
    fake.transfer.result_count = 13;
    fake.transfer.settle_bytes = {'W', 'L', 'E', 'D', ' ', '0', '.', '1', '4', '.', '0', '\r', '\n'};
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 13u);
    EXPECT_EQ(std::memcmp(dest, "WLED 0.14.0\r\n", 13), 0);
    EXPECT_EQ(fake.calls, (Calls{"CreateEventA", "ReadFile", "GetLastError", "WaitForSingleObject",
                                 "CancelIoEx", "GetOverlappedResult", "CloseHandle"}));
    expect_cancelled_and_settled();
    expect_one_event_closed();
}

// Second race: the cancel took effect after k bytes had been stored.
TEST_F(ReadTimed, CancelledAfterStoringBytesCountsThem) {
    pend();
    fake.transfer.wait = WAIT_TIMEOUT;
    fake.transfer.result = FakeWin32::fails(ERROR_OPERATION_ABORTED);
    fake.transfer.result_count = 4;
    fake.transfer.settle_bytes = {'W', 'L', 'E', 'D'};
    EXPECT_EQ(read_timed(port, dest, sizeof dest), 4u);
    EXPECT_EQ(std::memcmp(dest, "WLED", 4), 0);
    expect_cancelled_and_settled();
    expect_one_event_closed();
}

// A count beyond the capacity would send the caller past its buffer.
TEST_F(ReadTimed, CountIsNeverAboveTheCapacity) {
    pend();
    fake.transfer.result_count = 40;
    EXPECT_EQ(read_timed(port, dest, 8), 8u);
    expect_one_event_closed();
}

// A failed wait is no completion: the read is cancelled and settled like a
// timed-out one before the buffer is handed back, and its count is capped too.
TEST_F(ReadTimed, FailedWaitIsCancelledAndSettledAndItsCountCapped) {
    pend();
    fake.transfer.wait = WAIT_FAILED;
    fake.transfer.wait_error = ERROR_INVALID_HANDLE;
    fake.transfer.result = FakeWin32::fails(ERROR_OPERATION_ABORTED);
    fake.transfer.result_count = 40;
    EXPECT_EQ(read_timed(port, dest, 8), 8u);
    expect_cancelled_and_settled();
    expect_one_event_closed();
}

TEST(StreamCalls, QueueCountDtrAndTheSlotTimer) {
    VirtualClock clock;
    FakeWin32 fake;
    const PortHandle port{raw_of(fake.make_port())};
    fake.in_queue = 83;
    EXPECT_EQ(input_waiting(port), 83u);
    fake.clear_comm_error = FakeWin32::fails(ERROR_INVALID_HANDLE);
    EXPECT_EQ(input_waiting(port), 0u);

    ErrorCode code = kUnset;
    EXPECT_TRUE(raise_dtr(port, code) && code == 0);
    fake.escape_comm_function = FakeWin32::fails(ERROR_GEN_FAILURE);
    EXPECT_FALSE(raise_dtr(port, code));
    EXPECT_EQ(code, static_cast<ErrorCode>(ERROR_GEN_FAILURE));
    EXPECT_EQ(fake.escapes, (std::vector<DWORD>{SETDTR, SETDTR}));  // RTS is never touched

    Pacer pacer = open_pacer();
    EXPECT_EQ(pacer.kind, PaceKind::high_resolution);
    const MonoNs when = clock.now() + 2500050;
    pace_until(pacer, when);
    EXPECT_EQ(fake.due_times, (std::vector<LONGLONG>{-25001}));  // relative, rounded up
    EXPECT_GE(clock.now(), when);
    close_pacer(pacer);

    // Before Windows 10 1803: an ordinary timer with the system timer at 1 ms, given back at the end.
    fake.create_high_resolution_timer = FakeWin32::fails(ERROR_INVALID_PARAMETER);
    pacer = open_pacer();
    EXPECT_EQ(pacer.kind, PaceKind::period_1ms);
    EXPECT_EQ(fake.timer_flags, (std::vector<DWORD>{CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                    CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, 0}));
    close_pacer(pacer);
    EXPECT_EQ(fake.periods, (std::vector<long>{1, -1}));
    close_port(port);
}
