#include "link/win32_calls.h"

namespace {

// Built on first use: the addresses of imported functions are not constant
// expressions, and a namespace-scope table would depend on static
// initialisation order.
const Win32Calls& kernel32_calls() {
    // One entry a line, in the order of the struct.
    // clang-format off
    static const Win32Calls table = {
        &::CreateFileA,
        &::GetCommState,
        &::SetCommState,
        &::SetCommTimeouts,
        &::PurgeComm,
        &::WriteFile,
        &::ReadFile,
        &::CreateEventA,
        &::WaitForSingleObject,
        &::CancelIoEx,
        &::GetOverlappedResult,
        &::CloseHandle,
        &::GetLastError,
        &::ClearCommError,
        &::EscapeCommFunction,
        &::CreateWaitableTimerExW,
        &::SetWaitableTimer,
        &::timeBeginPeriod,
        &::timeEndPeriod,
    };
    // clang-format on
    return table;
}

const Win32Calls* g_installed = nullptr;

}  // namespace

const Win32Calls& win32_calls() { return g_installed != nullptr ? *g_installed : kernel32_calls(); }

void install_win32_calls(const Win32Calls* table) { g_installed = table; }
