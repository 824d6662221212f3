#pragma once

#include <windows.h>

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
};

// The table in use. Until something else is installed it is kernel32's.
const Win32Calls& win32_calls();

// Makes `table` the one in use; it must outlive its installation. nullptr
// restores kernel32. Not synchronised: install only while no transfer runs.
void install_win32_calls(const Win32Calls* table);
