#pragma once

#include <windows.h>
// After <windows.h>: timeBeginPeriod (winmm), which WIN32_LEAN_AND_MEAN leaves out.
#include <mmsystem.h>

// Every kernel32 call the serial link makes goes through this table, so the
// link's unit tests can replace the driver with a scripted one and check the
// exact arguments, the order of calls and which last-error value is read.
struct Win32Calls {
    HANDLE(WINAPI* create_file_a)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* get_comm_state)(HANDLE, LPDCB);
    BOOL(WINAPI* set_comm_state)(HANDLE, LPDCB);
    BOOL(WINAPI* set_comm_timeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* purge_comm)(HANDLE, DWORD);
    BOOL(WINAPI* write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* read_file)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    HANDLE(WINAPI* create_event_a)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
    DWORD(WINAPI* wait_for_single_object)(HANDLE, DWORD);
    BOOL(WINAPI* cancel_io_ex)(HANDLE, LPOVERLAPPED);
    BOOL(WINAPI* get_overlapped_result)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
    BOOL(WINAPI* close_handle)(HANDLE);
    DWORD(WINAPI* get_last_error)();
    // The companion's stream only: what waits in the input queue, DTR, and
    // the frame slots' timer.
    BOOL(WINAPI* clear_comm_error)(HANDLE, LPDWORD, LPCOMSTAT);
    BOOL(WINAPI* escape_comm_function)(HANDLE, DWORD);
    HANDLE(WINAPI* create_waitable_timer_ex_w)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
    BOOL(WINAPI* set_waitable_timer)(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, LPVOID, BOOL);
    MMRESULT(WINAPI* time_begin_period)(UINT);
    MMRESULT(WINAPI* time_end_period)(UINT);
};

// Older SDK headers (MinGW-w64's among them) lack the flag of Windows 10 1803.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// The table in use. Until something else is installed it is kernel32's.
const Win32Calls& win32_calls();

// Makes `table` the one in use; it must outlive its installation. nullptr
// restores kernel32. Not synchronised: install only while no transfer runs.
void install_win32_calls(const Win32Calls* table);
