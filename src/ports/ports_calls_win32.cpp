#include "ports/ports_calls_win32.h"

namespace {

// Built on first use, like the link's kernel32 table: imported addresses are
// not constant expressions.
const PortsCalls& windows_calls() {
    // One entry a line, in the order of the struct.
    // clang-format off
    static const PortsCalls table = {
        &::RegOpenKeyExW,
        &::RegEnumValueW,
        &::RegQueryValueExW,
        &::RegCloseKey,
        &::SetupDiGetClassDevsW,
        &::SetupDiEnumDeviceInfo,
        &::SetupDiOpenDevRegKey,
        &::SetupDiGetDeviceRegistryPropertyW,
        &::SetupDiGetDeviceInstanceIdW,
        &::SetupDiDestroyDeviceInfoList,
        &::CM_Get_Parent,
        &::CM_Get_Device_IDW,
    };
    // clang-format on
    return table;
}

const PortsCalls* g_installed = nullptr;

}  // namespace

const PortsCalls& ports_calls() { return g_installed != nullptr ? *g_installed : windows_calls(); }

void install_ports_calls(const PortsCalls* table) { g_installed = table; }
