#include "link/win32_calls.h"

namespace {

// The addresses of imported functions are not constant expressions, so this
// table is filled during static initialisation; nothing uses the link before
// main starts.
const Win32Calls kKernel32 = {
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
};

const Win32Calls* g_installed = nullptr;

}  // namespace

const Win32Calls& win32_calls() { return g_installed != nullptr ? *g_installed : kKernel32; }

void install_win32_calls(const Win32Calls* table) { g_installed = table; }
