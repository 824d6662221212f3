#include "fake_win32.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/virtual_clock.h"

#include <cstdlib>
#include <cstring>

namespace {

FakeWin32* g_fake = nullptr;

// How far the fake looks for the path terminator: the link's path buffer.
constexpr std::size_t kPathBuffer = 32;

}  // namespace

FakeWin32::FakeWin32() {
    if (g_fake != nullptr) {
        std::abort();  // one scripted kernel32 at a time
    }
    g_fake = this;

    std::memset(&reported_dcb, 0, sizeof reported_dcb);
    reported_dcb.DCBlength = sizeof(DCB);
    reported_dcb.BaudRate = 9600;
    reported_dcb.fBinary = 1;
    reported_dcb.fDtrControl = DTR_CONTROL_ENABLE;
    reported_dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    reported_dcb.XonLim = 2048;
    reported_dcb.XoffLim = 512;
    reported_dcb.ByteSize = 7;
    reported_dcb.Parity = EVENPARITY;
    reported_dcb.StopBits = TWOSTOPBITS;
    reported_dcb.XonChar = 0x11;
    reported_dcb.XoffChar = 0x13;
    reported_dcb.EofChar = 0x1A;

    table_ = Win32Calls{
        &fake_create_file,
        &fake_get_comm_state,
        &fake_set_comm_state,
        &fake_set_comm_timeouts,
        &fake_purge_comm,
        &fake_write_file,
        &fake_read_file,
        &fake_create_event,
        &fake_wait,
        &fake_cancel_io_ex,
        &fake_get_overlapped_result,
        &fake_close_handle,
        &fake_get_last_error,
        &fake_clear_comm_error,
        &fake_escape_comm_function,
        &fake_create_timer,
        &fake_set_timer,
        &fake_time_begin_period,
        &fake_time_end_period,
    };
    install_win32_calls(&table_);
}

FakeWin32::~FakeWin32() {
    install_win32_calls(nullptr);
    g_fake = nullptr;
    for (const Handle& h : handles_) {
        if (h.open) {
            ADD_FAILURE() << (h.kind == Kind::port ? "port " : "event ") << h.value << " leaked";
        }
    }
    if (flight_.active) {
        ADD_FAILURE() << "a transfer was left in flight (never settled)";
    }
}

FakeWin32& FakeWin32::self() { return *g_fake; }

FakeWin32::Handle* FakeWin32::find(HANDLE h) {
    for (Handle& each : handles_) {
        if (each.value == h) {
            return &each;
        }
    }
    return nullptr;
}

HANDLE FakeWin32::add_handle(Kind kind) {
    std::uintptr_t& next = kind == Kind::port ? next_port_ : next_event_;
    const HANDLE h = reinterpret_cast<HANDLE>(next);
    next += 4;
    handles_.push_back(Handle{h, kind, true});
    (kind == Kind::port ? ports_opened : events_created).push_back(h);
    return h;
}

HANDLE FakeWin32::make_port() { return add_handle(Kind::port); }

bool FakeWin32::is_open(HANDLE h) const {
    for (const Handle& each : handles_) {
        if (each.value == h) {
            return each.open;
        }
    }
    return false;
}

bool FakeWin32::check_live(HANDLE h, Kind kind, const char* call) {
    const Handle* found = find(h);
    const char* wanted = kind == Kind::port ? "port" : "event";
    if (found == nullptr) {
        ADD_FAILURE() << call << " on unknown handle " << h << " (wanted a " << wanted << ")";
    } else if (!found->open) {
        ADD_FAILURE() << call << " on closed handle " << h;
    } else if (found->kind != kind) {
        ADD_FAILURE() << call << " on handle " << h << " which is not a " << wanted;
    } else {
        return true;
    }
    last_error_ = ERROR_INVALID_HANDLE;
    return false;
}

void FakeWin32::apply(const Outcome& outcome) {
    if (outcome.last_error) {
        last_error_ = *outcome.last_error;
    }
}

void FakeWin32::store_bytes(void* buffer, DWORD capacity, const std::vector<std::uint8_t>& bytes,
                            const char* when) {
    if (bytes.size() > capacity) {
        ADD_FAILURE() << "script stores " << bytes.size() << " bytes " << when << " into a " << capacity
                      << "-byte read";
        return;
    }
    if (!bytes.empty()) {
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
}

HANDLE WINAPI FakeWin32::fake_create_file(LPCSTR path, DWORD access, DWORD share,
                                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                          HANDLE templ) {
    FakeWin32& f = self();
    f.calls.push_back("CreateFileA");
    CreateFileCall call;
    const void* end = std::memchr(path, 0, kPathBuffer);
    call.terminated = end != nullptr;
    call.path.assign(path, end != nullptr ? static_cast<const char*>(end) : path + kPathBuffer);
    call.access = access;
    call.share = share;
    call.security = security;
    call.disposition = disposition;
    call.flags = flags;
    call.templ = templ;
    f.create_file_calls.push_back(call);
    f.apply(f.create_file);
    return f.create_file.ok ? f.add_handle(Kind::port) : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeWin32::fake_get_comm_state(HANDLE port, LPDCB dcb) {
    FakeWin32& f = self();
    f.calls.push_back("GetCommState");
    f.comm_handles.push_back(port);
    f.dcb_given_to_get.push_back(*dcb);
    if (!f.check_live(port, Kind::port, "GetCommState")) {
        return FALSE;
    }
    f.apply(f.get_comm_state);
    if (f.get_comm_state.ok) {
        *dcb = f.reported_dcb;
    }
    return f.get_comm_state.ok ? TRUE : FALSE;
}

BOOL WINAPI FakeWin32::fake_set_comm_state(HANDLE port, LPDCB dcb) {
    FakeWin32& f = self();
    f.calls.push_back("SetCommState");
    f.comm_handles.push_back(port);
    f.dcb_set.push_back(*dcb);
    if (!f.check_live(port, Kind::port, "SetCommState")) {
        return FALSE;
    }
    f.apply(f.set_comm_state);
    return f.set_comm_state.ok ? TRUE : FALSE;
}

BOOL WINAPI FakeWin32::fake_set_comm_timeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
    FakeWin32& f = self();
    f.calls.push_back("SetCommTimeouts");
    f.comm_handles.push_back(port);
    f.timeouts_set.push_back(*timeouts);
    if (!f.check_live(port, Kind::port, "SetCommTimeouts")) {
        return FALSE;
    }
    f.apply(f.set_comm_timeouts);
    return f.set_comm_timeouts.ok ? TRUE : FALSE;
}

BOOL WINAPI FakeWin32::fake_purge_comm(HANDLE port, DWORD mask) {
    FakeWin32& f = self();
    f.calls.push_back("PurgeComm");
    f.comm_handles.push_back(port);
    f.purge_masks.push_back(mask);
    if (!f.check_live(port, Kind::port, "PurgeComm")) {
        return FALSE;
    }
    f.apply(f.purge_comm);
    return f.purge_comm.ok ? TRUE : FALSE;
}

HANDLE WINAPI FakeWin32::fake_create_event(LPSECURITY_ATTRIBUTES security, BOOL manual_reset,
                                           BOOL initial_state, LPCSTR name) {
    FakeWin32& f = self();
    f.calls.push_back("CreateEventA");
    f.create_event_calls.push_back(CreateEventCall{security, manual_reset, initial_state, name});
    f.apply(f.create_event);
    return f.create_event.ok ? f.add_handle(Kind::event) : nullptr;
}

BOOL FakeWin32::start(bool is_write, HANDLE port, const void* buffer, DWORD length, LPDWORD count,
                      LPOVERLAPPED ov) {
    const char* name = is_write ? "WriteFile" : "ReadFile";
    calls.push_back(name);
    StartCall call{};
    call.is_write = is_write;
    call.port = port;
    call.buffer = buffer;
    call.length = length;
    call.count = count;
    call.count_on_entry = count != nullptr ? *count : 0xFFFFFFFF;
    call.ov = ov;
    if (ov != nullptr) {
        call.ov_on_entry = *ov;
    }
    if (is_write && length > 0) {
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        call.bytes.assign(p, p + length);
    }
    starts.push_back(call);

    if (!check_live(port, Kind::port, name)) {
        return FALSE;
    }
    if (ov == nullptr || !check_live(ov->hEvent, Kind::event, name)) {
        ADD_FAILURE() << name << " without an OVERLAPPED record holding a live event";
        last_error_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (flight_.active) {
        ADD_FAILURE() << name << " while another transfer is in flight";
    }

    apply(transfer.start);
    if (count != nullptr) {
        *count = transfer.start_count;
    }
    if (!is_write) {
        store_bytes(const_cast<void*>(buffer), length, transfer.start_bytes, "at the start");
    }
    if (transfer.start.ok) {
        return TRUE;
    }
    if (last_error_ == ERROR_IO_PENDING) {
        flight_ = Flight{};
        flight_.active = true;
        flight_.is_write = is_write;
        flight_.port = port;
        flight_.event = ov->hEvent;
        flight_.ov = ov;
        flight_.buffer = const_cast<void*>(buffer);
        flight_.length = length;
        flight_.bytes = call.bytes;
    }
    return FALSE;
}

BOOL WINAPI FakeWin32::fake_write_file(HANDLE port, LPCVOID buffer, DWORD length, LPDWORD count,
                                       LPOVERLAPPED ov) {
    return self().start(true, port, buffer, length, count, ov);
}

BOOL WINAPI FakeWin32::fake_read_file(HANDLE port, LPVOID buffer, DWORD length, LPDWORD count,
                                      LPOVERLAPPED ov) {
    return self().start(false, port, buffer, length, count, ov);
}

DWORD WINAPI FakeWin32::fake_wait(HANDLE handle, DWORD ms) {
    FakeWin32& f = self();
    f.calls.push_back("WaitForSingleObject");
    f.waits.push_back(WaitCall{handle, ms});
    if (std::find(f.timers_.begin(), f.timers_.end(), handle) != f.timers_.end()) {
        // The timer fires when due: a virtual clock moves there.
        if (VirtualClock* clock = VirtualClock::current(); clock != nullptr && !f.due_times.empty()) {
            clock->advance(-f.due_times.back() * 100);
        }
        return f.check_live(handle, Kind::event, "WaitForSingleObject") ? WAIT_OBJECT_0 : WAIT_FAILED;
    }
    if (!f.check_live(handle, Kind::event, "WaitForSingleObject")) {
        return WAIT_FAILED;
    }
    if (!f.flight_.active || handle != f.flight_.event) {
        ADD_FAILURE() << "WaitForSingleObject on " << handle << ", not the event of a transfer in flight";
    }
    if (f.transfer.wait_error) {
        f.last_error_ = *f.transfer.wait_error;
    }
    if (f.transfer.wait == WAIT_OBJECT_0) {
        f.flight_.signalled = true;
    }
    return f.transfer.wait;
}

BOOL WINAPI FakeWin32::fake_cancel_io_ex(HANDLE port, LPOVERLAPPED ov) {
    FakeWin32& f = self();
    f.calls.push_back("CancelIoEx");
    f.cancels.push_back(CancelCall{port, ov});
    if (!f.check_live(port, Kind::port, "CancelIoEx")) {
        return FALSE;
    }
    if (!f.flight_.active || ov != f.flight_.ov) {
        ADD_FAILURE() << "CancelIoEx with a record that is not the transfer in flight";
    }
    f.apply(f.transfer.cancel);
    return f.transfer.cancel.ok ? TRUE : FALSE;
}

BOOL WINAPI FakeWin32::fake_get_overlapped_result(HANDLE port, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
    FakeWin32& f = self();
    f.calls.push_back("GetOverlappedResult");
    f.results.push_back(ResultCall{port, ov, count, wait});
    if (!f.check_live(port, Kind::port, "GetOverlappedResult")) {
        return FALSE;
    }
    Flight& flight = f.flight_;
    if (!flight.active) {
        ADD_FAILURE() << "GetOverlappedResult with no transfer in flight";
        f.last_error_ = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    // The record must be the one the transfer started with, still holding its
    // (open) event: the driver completes into it and waits on that event.
    if (ov != flight.ov) {
        ADD_FAILURE() << "GetOverlappedResult with a record that is not the transfer's";
    } else if (ov->hEvent != flight.event || !f.is_open(flight.event)) {
        ADD_FAILURE() << "the transfer's record lost its open event before it was settled";
    }
    if (!wait && !flight.signalled) {
        f.last_error_ = ERROR_IO_INCOMPLETE;
        return FALSE;
    }
    // The transfer ends now: a read stores its bytes in the caller's buffer,
    // a write has been reading the caller's bytes until this moment.
    if (flight.is_write) {
        const auto* p = static_cast<const std::uint8_t*>(flight.buffer);
        if (flight.length > 0 && std::memcmp(p, flight.bytes.data(), flight.length) != 0) {
            ADD_FAILURE() << "the bytes of a write in flight changed before it was settled";
        }
    } else {
        f.store_bytes(flight.buffer, flight.length, f.transfer.settle_bytes, "when settling");
    }
    if (count != nullptr) {
        *count = f.transfer.result_count;
    }
    flight.active = false;
    f.apply(f.transfer.result);
    return f.transfer.result.ok ? TRUE : FALSE;
}

BOOL WINAPI FakeWin32::fake_close_handle(HANDLE handle) {
    FakeWin32& f = self();
    f.calls.push_back("CloseHandle");
    f.closed.push_back(handle);
    Handle* found = f.find(handle);
    if (found == nullptr || !found->open) {
        ADD_FAILURE() << "CloseHandle on " << (found == nullptr ? "unknown" : "already closed") << " handle "
                      << handle;
        f.last_error_ = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (f.flight_.active && (handle == f.flight_.event || handle == f.flight_.port)) {
        ADD_FAILURE() << "CloseHandle on " << handle << " while its transfer is in flight";
    }
    found->open = false;
    f.apply(f.close_handle);
    return f.close_handle.ok ? TRUE : FALSE;
}

DWORD WINAPI FakeWin32::fake_get_last_error() {
    FakeWin32& f = self();
    f.calls.push_back("GetLastError");
    return f.last_error_;
}

BOOL WINAPI FakeWin32::fake_clear_comm_error(HANDLE port, LPDWORD errors, LPCOMSTAT status) {
    FakeWin32& f = self();
    f.apply(f.clear_comm_error);
    if (!f.check_live(port, Kind::port, "ClearCommError") || !f.clear_comm_error.ok) {
        return FALSE;
    }
    *errors = 0;
    status->cbInQue = f.in_queue;
    return TRUE;
}

BOOL WINAPI FakeWin32::fake_escape_comm_function(HANDLE port, DWORD function) {
    FakeWin32& f = self();
    f.escapes.push_back(function);
    f.apply(f.escape_comm_function);
    return f.check_live(port, Kind::port, "EscapeCommFunction") && f.escape_comm_function.ok ? TRUE : FALSE;
}

HANDLE WINAPI FakeWin32::fake_create_timer(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD flags, DWORD) {
    FakeWin32& f = self();
    f.timer_flags.push_back(flags);
    if ((flags & CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) != 0 && !f.create_high_resolution_timer.ok) {
        f.apply(f.create_high_resolution_timer);
        return nullptr;
    }
    f.timers_.push_back(f.add_handle(Kind::event));
    return f.timers_.back();
}

BOOL WINAPI FakeWin32::fake_set_timer(HANDLE timer, const LARGE_INTEGER* due, LONG, PTIMERAPCROUTINE, LPVOID,
                                      BOOL) {
    FakeWin32& f = self();
    f.due_times.push_back(due->QuadPart);
    return f.check_live(timer, Kind::event, "SetWaitableTimer") ? TRUE : FALSE;
}

MMRESULT WINAPI FakeWin32::fake_time_begin_period(UINT ms) {
    return self().periods.push_back(static_cast<long>(ms)), TIMERR_NOERROR;
}

MMRESULT WINAPI FakeWin32::fake_time_end_period(UINT ms) {
    return self().periods.push_back(-static_cast<long>(ms)), TIMERR_NOERROR;
}
