#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/win32_calls.h"

// A scripted kernel32 for the link tests. Constructing it installs its call
// table; destroying it restores kernel32 and reports (as test failures) leaked
// handles and a transfer left unsettled. Misuse is reported as it happens:
// closing an unknown or closed handle, using a closed handle, closing the
// event or port of a transfer still in flight, a transfer record that is not
// the one the transfer was started with.
//
// The thread's last-error value is emulated: a call stores a value only when
// its script says so (every scripted failure should name one), GetLastError
// returns the current value, and it starts as kJunkError so reading it when
// nothing set it shows.
class FakeWin32 {
  public:
    static constexpr DWORD kJunkError = 0xBAD0BAD0;

    FakeWin32();
    ~FakeWin32();
    FakeWin32(const FakeWin32&) = delete;
    FakeWin32& operator=(const FakeWin32&) = delete;

    // What one call does: succeed or fail, and what it leaves as last error.
    struct Outcome {
        bool ok = true;
        std::optional<DWORD> last_error;
    };
    static Outcome fails(DWORD error) { return Outcome{false, error}; }
    static Outcome succeeds_setting(DWORD error) { return Outcome{true, error}; }

    // --- Scripts for opening ---
    Outcome create_file;
    Outcome get_comm_state;
    DCB reported_dcb;  // what GetCommState fills in (a typical driver DCB by default)
    Outcome set_comm_state;
    Outcome set_comm_timeouts;
    Outcome purge_comm;
    Outcome close_handle;  // consulted for valid handles only

    // --- Scripts for one transfer (ReadFile or WriteFile) ---
    Outcome create_event;
    struct Transfer {
        // The ReadFile/WriteFile call: ok means completed at once; a failure
        // with ERROR_IO_PENDING leaves the transfer in flight.
        Outcome start;
        DWORD start_count = 0;                  // stored through the count pointer
        std::vector<std::uint8_t> start_bytes;  // ReadFile: stored in the buffer at once
        DWORD wait = WAIT_OBJECT_0;             // WaitForSingleObject's result
        std::optional<DWORD> wait_error;
        Outcome cancel;  // CancelIoEx
        // GetOverlappedResult once the transfer has ended (signalled, or
        // waited for); without waiting on a transfer not signalled it
        // fails with ERROR_IO_INCOMPLETE like Windows.
        Outcome result;
        DWORD result_count = 0;
        std::vector<std::uint8_t> settle_bytes;  // ReadFile: stored when it ends
    };
    Transfer transfer;

    DWORD in_queue = 0;  // the stream's calls: ClearCommError's cbInQue
    Outcome clear_comm_error;
    Outcome escape_comm_function;
    std::vector<DWORD> escapes;  // EscapeCommFunction's codes, in order
    Outcome create_high_resolution_timer;
    std::vector<DWORD> timer_flags;   // CreateWaitableTimerExW's flags, in order
    std::vector<LONGLONG> due_times;  // SetWaitableTimer's, in 100 ns units
    std::vector<long> periods;        // timeBeginPeriod's +ms, timeEndPeriod's -ms

    // A port handle as if CreateFileA had opened it (for transfer tests).
    HANDLE make_port();

    // --- Records ---
    std::vector<std::string> calls;  // every call by Win32 name, in order

    struct CreateFileCall {
        std::string path;         // up to the terminator
        bool terminated = false;  // a NUL within the first 32 bytes
        DWORD access = 0, share = 0, disposition = 0, flags = 0;
        const void* security = nullptr;
        HANDLE templ = nullptr;
    };
    std::vector<CreateFileCall> create_file_calls;
    std::vector<HANDLE> comm_handles;   // GetCommState .. PurgeComm, in order
    std::vector<DCB> dcb_given_to_get;  // the DCB as GetCommState received it
    std::vector<DCB> dcb_set;
    std::vector<COMMTIMEOUTS> timeouts_set;
    std::vector<DWORD> purge_masks;

    struct CreateEventCall {
        const void* security;
        BOOL manual_reset;
        BOOL initial_state;
        const char* name;
    };
    std::vector<CreateEventCall> create_event_calls;

    struct StartCall {
        bool is_write;
        HANDLE port;
        const void* buffer;
        DWORD length;
        const DWORD* count;
        DWORD count_on_entry;
        OVERLAPPED* ov;
        OVERLAPPED ov_on_entry;           // copy, to check zero-filling and the event
        std::vector<std::uint8_t> bytes;  // WriteFile: the bytes given
    };
    std::vector<StartCall> starts;

    struct WaitCall {
        HANDLE handle;
        DWORD ms;
    };
    std::vector<WaitCall> waits;

    struct CancelCall {
        HANDLE port;
        OVERLAPPED* ov;
    };
    std::vector<CancelCall> cancels;

    struct ResultCall {
        HANDLE port;
        OVERLAPPED* ov;
        const DWORD* count;
        BOOL wait;
    };
    std::vector<ResultCall> results;

    std::vector<HANDLE> closed;  // every CloseHandle argument, in order

    std::vector<HANDLE> ports_opened;
    std::vector<HANDLE> events_created;

    bool is_open(HANDLE h) const;
    DWORD last_error() const { return last_error_; }

  private:
    enum class Kind { port, event };
    struct Handle {
        HANDLE value;
        Kind kind;
        bool open;
    };
    // The one transfer that may be in flight.
    struct Flight {
        bool active = false;
        bool signalled = false;
        bool is_write = false;
        HANDLE port = nullptr;
        HANDLE event = nullptr;
        OVERLAPPED* ov = nullptr;
        void* buffer = nullptr;
        DWORD length = 0;
        std::vector<std::uint8_t> bytes;  // WriteFile: copy taken at the start
    };

    Handle* find(HANDLE h);
    HANDLE add_handle(Kind kind);
    bool check_live(HANDLE h, Kind kind, const char* call);
    void apply(const Outcome& outcome);
    void store_bytes(void* buffer, DWORD capacity, const std::vector<std::uint8_t>& bytes, const char* when);
    BOOL start(bool is_write, HANDLE port, const void* buffer, DWORD length, LPDWORD count, LPOVERLAPPED ov);

    static HANDLE WINAPI fake_create_file(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    static BOOL WINAPI fake_get_comm_state(HANDLE, LPDCB);
    static BOOL WINAPI fake_set_comm_state(HANDLE, LPDCB);
    static BOOL WINAPI fake_set_comm_timeouts(HANDLE, LPCOMMTIMEOUTS);
    static BOOL WINAPI fake_purge_comm(HANDLE, DWORD);
    static BOOL WINAPI fake_write_file(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static BOOL WINAPI fake_read_file(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static HANDLE WINAPI fake_create_event(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
    static DWORD WINAPI fake_wait(HANDLE, DWORD);
    static BOOL WINAPI fake_cancel_io_ex(HANDLE, LPOVERLAPPED);
    static BOOL WINAPI fake_get_overlapped_result(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
    static BOOL WINAPI fake_close_handle(HANDLE);
    static DWORD WINAPI fake_get_last_error();
    static BOOL WINAPI fake_clear_comm_error(HANDLE, LPDWORD, LPCOMSTAT);
    static BOOL WINAPI fake_escape_comm_function(HANDLE, DWORD);
    static HANDLE WINAPI fake_create_timer(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
    static BOOL WINAPI fake_set_timer(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL);
    static MMRESULT WINAPI fake_time_begin_period(UINT);
    static MMRESULT WINAPI fake_time_end_period(UINT);

    static FakeWin32& self();

    std::vector<Handle> handles_;
    Flight flight_;
    std::vector<HANDLE> timers_;
    DWORD last_error_ = kJunkError;
    std::uintptr_t next_port_ = 0x1000;
    std::uintptr_t next_event_ = 0x8000;
    Win32Calls table_;
};
