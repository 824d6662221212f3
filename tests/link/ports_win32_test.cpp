#include <gtest/gtest.h>

#include "ports/ports_calls_win32.h"

#include <initguid.h>

#include <devguid.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_console.h"
#include "ports/ports.h"

namespace {

// A scripted registry and SetupAPI: the fakes check the arguments that select
// what is read, the fixture what is left open. In a Ports-class device, an
// empty text is a property it does not have (an empty port: no device key).
struct Device {
    std::wstring port, name, hardware_id, location, instance, parent;
    std::wstring provider{}, version{};  // of its driver
};
struct Script {
    LONG open_status = ERROR_SUCCESS;
    std::vector<std::pair<std::wstring, std::wstring>> serialcomm;  // value name, data
    std::pair<DWORD, DWORD> odd_type{MAXDWORD, REG_SZ};             // value index, its type
    std::pair<DWORD, LONG> enum_error{MAXDWORD, ERROR_SUCCESS};     // RegEnumValueW fails at this index
    std::vector<Device> devices;
    int keys_open = 0, sets_open = 0;
};
Script* g = nullptr;

const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x300);
constexpr std::uintptr_t kDeviceKeys = 0x200;  // + the device's index
constexpr std::uintptr_t kDriverKeys = 0x400;  // + the device's index
constexpr DEVINST kParents = 100;              // + the device's DevInst

// Stores text and its terminator(s) if they fit; `bytes` gets their size.
bool put(const std::wstring& text, void* dest, DWORD capacity, DWORD* bytes = nullptr, bool list = false) {
    const auto need = static_cast<DWORD>((text.size() + (list ? 2 : 1)) * sizeof(wchar_t));
    if (need <= capacity) {
        std::memset(dest, 0, need);
        std::memcpy(dest, text.c_str(), text.size() * sizeof(wchar_t));
    }
    if (bytes != nullptr) {
        *bytes = need;
    }
    return need <= capacity;
}

LONG WINAPI open_key(HKEY root, LPCWSTR path, DWORD, REGSAM access, PHKEY key) {
    EXPECT_TRUE(root == HKEY_LOCAL_MACHINE && std::wstring(path) == L"HARDWARE\\DEVICEMAP\\SERIALCOMM" &&
                access == KEY_READ);
    g->keys_open += g->open_status == ERROR_SUCCESS ? 1 : 0;
    *key = g->open_status == ERROR_SUCCESS ? reinterpret_cast<HKEY>(0x100) : nullptr;
    return g->open_status;
}
LONG WINAPI enum_value(HKEY, DWORD index, LPWSTR name, LPDWORD name_units, LPDWORD, LPDWORD type, LPBYTE data,
                       LPDWORD data_bytes) {
    if (index == g->enum_error.first) {
        return g->enum_error.second;
    }
    if (index >= g->serialcomm.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    DWORD name_bytes = 0;
    (void)put(g->serialcomm[index].first, name, *name_units * sizeof(wchar_t), &name_bytes);
    *name_units = name_bytes / sizeof(wchar_t) - 1;
    *type = index == g->odd_type.first ? g->odd_type.second : REG_SZ;
    return put(g->serialcomm[index].second, data, *data_bytes, data_bytes) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}
LONG WINAPI query_value(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD bytes) {
    const auto k = reinterpret_cast<std::uintptr_t>(key);
    const Device& d = g->devices[k - (k < kDriverKeys ? kDeviceKeys : kDriverKeys)];
    // Only the names Windows gives these values.
    const std::wstring n = name;
    const std::wstring none;
    const std::wstring& text = k < kDriverKeys         ? (n == L"PortName" ? d.port : none)
                               : n == L"ProviderName"  ? d.provider
                               : n == L"DriverVersion" ? d.version
                                                       : none;
    *type = REG_SZ;
    return text.empty()                     ? ERROR_FILE_NOT_FOUND
           : put(text, data, *bytes, bytes) ? ERROR_SUCCESS
                                            : ERROR_MORE_DATA;
}
LONG WINAPI close_key(HKEY) { return --g->keys_open, ERROR_SUCCESS; }
HDEVINFO WINAPI class_devs(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    EXPECT_TRUE(IsEqualGUID(*guid, GUID_DEVCLASS_PORTS) && flags == DIGCF_PRESENT);
    return ++g->sets_open, kSet;
}
BOOL WINAPI enum_device(HDEVINFO, DWORD index, PSP_DEVINFO_DATA data) {
    EXPECT_EQ(data->cbSize, sizeof(SP_DEVINFO_DATA));
    data->DevInst = index + 1;
    return index < g->devices.size() ? TRUE : (SetLastError(ERROR_NO_MORE_ITEMS), FALSE);
}
HKEY WINAPI open_device_key(HDEVINFO, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD type, REGSAM access) {
    EXPECT_TRUE(scope == DICS_FLAG_GLOBAL && (type == DIREG_DEV || type == DIREG_DRV) && access == KEY_READ);
    const Device& d = g->devices[data->DevInst - 1];
    if (type == DIREG_DEV ? d.port.empty() : d.provider.empty() && d.version.empty()) {
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return ++g->keys_open,
           reinterpret_cast<HKEY>((type == DIREG_DEV ? kDeviceKeys : kDriverKeys) + data->DevInst - 1);
}
BOOL WINAPI property(HDEVINFO, PSP_DEVINFO_DATA data, DWORD which, PDWORD type, PBYTE buffer, DWORD size,
                     PDWORD required) {
    const Device& d = g->devices[data->DevInst - 1];
    const bool list = which == SPDRP_HARDWAREID;
    const std::wstring& text = list ? d.hardware_id : which == SPDRP_FRIENDLYNAME ? d.name : d.location;
    *type = list ? REG_MULTI_SZ : REG_SZ;
    const bool fits = !text.empty() && put(text, buffer, size, required, list);
    SetLastError(fits ? ERROR_SUCCESS : text.empty() ? ERROR_INVALID_DATA : ERROR_INSUFFICIENT_BUFFER);
    return fits;
}
BOOL WINAPI instance_id(HDEVINFO, PSP_DEVINFO_DATA data, PWSTR id, DWORD units, PDWORD) {
    return put(g->devices[data->DevInst - 1].instance, id, units * sizeof(wchar_t));
}
BOOL WINAPI destroy(HDEVINFO set) { return set == kSet ? (--g->sets_open, TRUE) : FALSE; }
CONFIGRET WINAPI parent_of(PDEVINST parent, DEVINST child, ULONG) {
    *parent = kParents + child;
    return g->devices[child - 1].parent.empty() ? CR_NO_SUCH_DEVNODE : CR_SUCCESS;
}
CONFIGRET WINAPI device_id(DEVINST devinst, PWSTR id, ULONG units, ULONG) {
    return put(g->devices[devinst - kParents - 1].parent, id, units * sizeof(wchar_t)) ? CR_SUCCESS
                                                                                       : CR_BUFFER_SMALL;
}

struct PortsListing : ::testing::Test {
    Script script;
    FakeConsole console;
    PortsCalls table = {&open_key,        &enum_value, &query_value, &close_key, &class_devs, &enum_device,
                        &open_device_key, &property,   &instance_id, &destroy,   &parent_of,  &device_id};
    PortsListing() { g = &script, install_ports_calls(&table); }
    ~PortsListing() override {
        install_ports_calls(nullptr);
        EXPECT_TRUE(script.keys_open == 0 && script.sets_open == 0) << script.keys_open << script.sets_open;
    }
};

}  // namespace

TEST_F(PortsListing, SixKindsOfDeviceAndAPortSetupApiDoesNotKnow) {
    script.serialcomm = {{L"\\Device\\VCP0", L"COM10"},      {L"\\Device\\USBSER001", L"COM7"},
                         {L"\\Device\\Serial0", L"COM1"},    {L"\\Device\\USBSER000", L"COM3"},
                         {L"\\Device\\Silabser0", L"COM4"},  {L"\\Device\\BthModem0", L"COM5"},
                         {L"\\Device\\com0com10", L"COM20"}, {L"\\Device\\com0com20", L"CNCB0"}};
    script.devices = {
        {L"", L"No device key", L"", L"", L"", L""},
        {L"COM3", L"CH340 (COM3)", L"USB\\VID_1A86&PID_7523&REV_0264", L"Port_#0002.Hub_#0001",
         L"USB\\VID_1A86&PID_7523\\5&2A3B4C5D&0&2", L"", L"wch.cn", L"3.8.2023.2"},
        {L"COM4", L"CP210x (COM4)", L"USB\\VID_10C4&PID_EA60&REV_0100", L"", L"USB\\VID_10C4&PID_EA60\\0001",
         L"", L"Silicon Laboratories Inc.", L"11.1.0.331"},
        {L"COM10", L"", L"FTDIBUS\\COMPORT&VID_0403&PID_6001", L"",
         L"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", L"", L"FTDI", L"2.12.36.4"},
        {L"COM7", L"", L"USB\\VID_303A&PID_1001&REV_0101&MI_00", L"",
         L"USB\\VID_303A&PID_1001&MI_00\\6&1B2C&0&0000", L"USB\\VID_303A&PID_1001\\F4:12:FA:4D:F1:7C",
         L"Microsoft", L"10.0.19041.1"},
        {L"COM5", L"BT (COM5)", L"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002", L"",
         L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&3A2B&0&001122334455_C00000000",
         L"", L"Microsoft", L"10.0.19041.1"},
        {L"COM20", L"", L"com0com\\port", L"", L"COM0COM\\PORT\\CNCA0", L""},
    };
    EXPECT_EQ(list_ports(), 0);
    EXPECT_EQ(
        console.out,
        "OK port=COM1 vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- "
        "device=\"\\Device\\Serial0\"\n"
        "OK port=COM3 vid=1A86 pid=7523 mi=- chip=\"CH340/CH341\" serial=- location=\"Port_#0002.Hub_#0001\" "
        "name=\"CH340 (COM3)\" driver=\"wch.cn 3.8.2023.2\" device=\"\\Device\\USBSER000\"\n"
        "OK port=COM4 vid=10C4 pid=EA60 mi=- chip=\"CP210x\" serial=\"0001\" location=- "
        "name=\"CP210x (COM4)\" driver=\"Silicon Laboratories Inc. 11.1.0.331\" "
        "device=\"\\Device\\Silabser0\"\n"
        "OK port=COM5 vid=- pid=- mi=- chip=- serial=- location=- name=\"BT (COM5)\" "
        "driver=\"Microsoft 10.0.19041.1\" device=\"\\Device\\BthModem0\"\n"
        "OK port=COM7 vid=303A pid=1001 mi=00 chip=\"ESP32-S3/C3/C6 USB-Serial/JTAG\" "
        "serial=\"F4:12:FA:4D:F1:7C\" location=- name=- driver=\"Microsoft 10.0.19041.1\" "
        "device=\"\\Device\\USBSER001\"\n"
        "OK port=COM10 vid=0403 pid=6001 mi=- chip=\"FTDI FT232R\" serial=\"A50285BIA\" location=- name=- "
        "driver=\"FTDI 2.12.36.4\" device=\"\\Device\\VCP0\"\n"
        "OK port=COM20 vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- "
        "device=\"\\Device\\com0com10\"\n"
        "OK port=CNCB0 vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- "
        "device=\"\\Device\\com0com20\"\n"
        "OK ports count=8\n");

    UsbIdentity usb{};
    EXPECT_TRUE(find_usb_identity("com7", usb) && usb.vid == 0x303A && usb.pid == 0x1001 &&
                usb.interface_number == 0);
    EXPECT_FALSE(find_usb_identity("COM1", usb) || find_usb_identity("COM5", usb));
}

TEST_F(PortsListing, RegistryThatCannotBeReadOrHasNoPorts) {
    script.open_status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(list_ports(), 1);
    EXPECT_EQ(console.out, "FAIL ports registry code=5\n");

    console.out.clear();
    script.open_status = ERROR_FILE_NOT_FOUND;  // the volatile key when no driver published a port
    EXPECT_EQ(list_ports(), 1);
    EXPECT_EQ(console.out.substr(0, 25), "FAIL ports count=0\nNOTE: ");
}

TEST_F(PortsListing, ValuesSkippedAndAnEnumerationErrorAfterTheLinesRead) {
    script.serialcomm = {{L"\\Device\\Empty", L""},
                         {L"\\Device\\Dword", L"COM3"},
                         {L"\\Device\\Serial0", L"COM1"},
                         {L"\\Device\\Serial9", L"COM9"}};
    script.odd_type = {1, REG_DWORD};
    script.enum_error = {3, ERROR_ACCESS_DENIED};
    EXPECT_EQ(list_ports(), 1);
    EXPECT_EQ(console.out,
              "OK port=COM1 vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- "
              "device=\"\\Device\\Serial0\"\nFAIL ports registry code=5\n");
}

TEST_F(PortsListing, CapKeepsTheLowestNumberedPorts) {
    for (int n = 256; n >= 1; --n) {
        script.serialcomm.push_back({L"\\Device\\S" + std::to_wstring(n), L"COM" + std::to_wstring(n)});
    }
    EXPECT_EQ(list_ports(), 0);
    EXPECT_EQ(console.out.find("NOTE"), std::string::npos);
    script.serialcomm.insert(script.serialcomm.begin(), {L"\\Device\\S257", L"COM257"});
    console.out.clear();
    EXPECT_EQ(list_ports(), 0);
    EXPECT_EQ(console.out.rfind("OK port=COM1 ", 0), 0u);
    EXPECT_EQ(console.out.substr(console.out.find("\\S256\"\n") + 7),
              "NOTE: the registry lists more than 256 COM ports; only the 256 lowest-numbered are shown.\n"
              "OK ports count=256\n");
}

// Two CH340s without a serial number, one known by its hardware ID alone and
// one by its instance ID alone, and an ESP32 whose serial is its parent's.
TEST_F(PortsListing, FindByUsbIdentity) {
    script.serialcomm = {{L"\\Device\\USBSER002", L"COM12"},
                         {L"\\Device\\USBSER000", L"COM3"},
                         {L"\\Device\\USBSER001", L"COM7"}};
    script.devices = {
        {L"COM12", L"", L"", L"", L"USB\\VID_1A86&PID_7523\\5&2A3B&0&3", L""},
        {L"COM3", L"", L"USB\\VID_1A86&PID_7523&REV_0264", L"", L"", L""},
        {L"COM7", L"", L"USB\\VID_303A&PID_1001&REV_0101&MI_00", L"", L"USB\\VID_303A&PID_1001&MI_00\\6&1B2C",
         L"USB\\VID_303A&PID_1001\\F4:12:FA:4D:F1:7C"}};
    UsbIdFilter filter{};
    ASSERT_TRUE(parse_usb_id_filter("1a86:7523", filter));
    EXPECT_EQ(find_ports(filter), 1);
    EXPECT_EQ(console.err,
              "FAIL find id=1A86:7523 count=2\nNOTE: candidate port=COM3 serial=-\n"
              "NOTE: candidate port=COM12 serial=-\n");
    ASSERT_TRUE(parse_usb_id_filter("303a:1001:f4:12:fa:4d:f1:7c", filter));
    EXPECT_EQ(find_ports(filter), 0);
    EXPECT_EQ(console.out, "COM7\n");
    console.err.clear();
    script.open_status = ERROR_ACCESS_DENIED;
    EXPECT_EQ(find_ports(filter), 1);
    EXPECT_EQ(console.err, "FAIL find registry code=5\n");
}

// Values longer than their fields are read whole, then cut and marked; a lone
// surrogate prints `?`; of two entries naming one port, one gets its device.
TEST_F(PortsListing, LongValuesAndTwoEntriesForOnePort) {
    const std::wstring port = L"COM" + std::wstring(600, L'9');
    script.serialcomm = {{L"\\Device\\" + std::wstring(200, L'x'), L"COM3"},
                         {L"\\Device\\USBSER001", L"COM3"},
                         {L"\\Device\\Silabser0", port}};
    script.devices = {
        {L"COM3", L"", L"USB\\VID_1A86&PID_7523", L"", L"", L""},
        {port, std::wstring(600, L'n'), L"USB\\VID_10C4&PID_EA60", L"\xD800" + std::wstring(200, L'l'),
         L"USB\\VID_10C4&PID_EA60\\" + std::wstring(150, L's'), L"", L"Silabs",
         L"1.2.3.4" + std::wstring(40, L'5')}};
    EXPECT_EQ(list_ports(), 0);
    EXPECT_EQ(console.out,
              "OK port=COM3 vid=1A86 pid=7523 mi=- chip=\"CH340/CH341\" serial=- location=- name=- driver=- "
              "device=\"\\Device\\USBSER001\"\n"
              "OK port=COM3 vid=- pid=- mi=- chip=- serial=- location=- name=- driver=- device=\"\\Device\\" +
                  std::string(116, 'x') + "...\"\nOK port=COM" + std::string(25, '9') +
                  "... vid=10C4 pid=EA60 mi=- chip=\"CP210x\" serial=\"" + std::string(124, 's') +
                  "...\" location=\"?" + std::string(123, 'l') + "...\" name=\"" + std::string(252, 'n') +
                  "...\" driver=\"Silabs 1.2.3.4" + std::string(21, '5') +
                  "...\" device=\"\\Device\\Silabser0\"\nOK ports count=3\n");
    UsbIdFilter filter{};
    ASSERT_TRUE(parse_usb_id_filter("1a86:7523", filter));
    EXPECT_EQ(find_ports(filter), 0);
    EXPECT_EQ(console.out.substr(console.out.size() - 5), "COM3\n");
}
