// The COM port listing on Win32: the ports from the registry's SERIALCOMM
// key, each described by SetupAPI's Ports class where Windows knows the
// device. Every registry, SetupAPI and cfgmgr32 call goes through
// ports_calls() so the tests can script what Windows reports.

// <windows.h> (through the call table) first: the GUID definitions need its macros.
#include "ports/ports_calls_win32.h"

// Makes devguid.h define GUID_DEVCLASS_PORTS rather than only declare it.
#include <initguid.h>

#include <devguid.h>

#include <cstring>
#include <vector>

#include "common/console.h"
#include "ports/ports.h"

namespace {

// SERIALCOMM holds one value per port a driver has published. A PC has a
// handful. The cap bounds the listing and its SetupAPI lookups (each a walk
// of the Ports class); the registry keeps no order, so the ports are sorted
// before the cut and the lowest-numbered kept.
constexpr std::size_t kMaxPorts = 256;
// Values examined in SERIALCOMM, and devices examined in the Ports class, so
// that neither loop depends on what a driver put there to end.
constexpr DWORD kMaxValues = 4096;
constexpr DWORD kMaxDevices = 4096;

// A device path such as \Device\USBSER000 is far shorter; a longer value name
// (ERROR_MORE_DATA) is skipped.
constexpr DWORD kValueNameUnits = 256;
// "COM" and up to three digits in practice; longer data is no port name a
// program can open and is skipped.
constexpr DWORD kPortNameUnits = 32;
// Friendly names and locations are short, but a hardware ID list holds several
// IDs; only the first (most specific) is used.
constexpr DWORD kPropertyUnits = 512;
// MAX_DEVICE_ID_LEN counts the terminator; one unit more keeps a terminated
// string whatever the call leaves at the end.
constexpr DWORD kDeviceIdUnits = MAX_DEVICE_ID_LEN + 1;

// SetupDiOpenDevRegKey reports failure as INVALID_HANDLE_VALUE, not NULL.
HKEY invalid_key() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }

// UTF-8 copy of a terminated wide string, truncated to the field on whole
// UTF-8 sequences; empty when the text cannot be converted.
void to_utf8(const wchar_t* wide, char* out, std::size_t capacity) {
    // At most three UTF-8 bytes per UTF-16 unit (a surrogate pair gives four for two).
    char utf8[3 * kPropertyUnits + 1];
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, static_cast<int>(sizeof utf8), nullptr, nullptr);
    if (n <= 0) {
        out[0] = '\0';
        return;
    }
    copy_field(out, capacity, utf8);
}

// Terminates registry text of `bytes` bytes read into a buffer of `units`
// units plus one: the stored string need not end in NUL.
void terminate(wchar_t* text, DWORD bytes, DWORD units) {
    const DWORD end = bytes / sizeof(wchar_t);
    text[end < units ? end : units] = L'\0';
}

bool same_port_name(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char ua = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
        const char ub = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
        if (ua != ub) {
            return false;
        }
    }
    return *a == *b;
}

// Reads SERIALCOMM into `entries`. Returns the registry's status: 0 when the
// whole key was read (also when it does not exist: the key is volatile, and no
// serial driver has published a port since boot).
LONG read_serialcomm(const PortsCalls& c, std::vector<PortEntry>& entries) {
    HKEY key = nullptr;
    LONG status =
        c.reg_open_key_ex_w(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (DWORD index = 0; index < kMaxValues; ++index) {
        wchar_t name[kValueNameUnits];
        DWORD name_units = kValueNameUnits;
        wchar_t data[kPortNameUnits + 1] = {};
        DWORD data_bytes = kPortNameUnits * sizeof(wchar_t);
        DWORD type = REG_NONE;
        status = c.reg_enum_value_w(key, index, name, &name_units, nullptr, &type,
                                    reinterpret_cast<LPBYTE>(data), &data_bytes);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            break;
        }
        terminate(data, data_bytes, kPortNameUnits);
        if (type != REG_SZ || data[0] == L'\0') {
            continue;
        }
        name[name_units < kValueNameUnits ? name_units : kValueNameUnits - 1] = L'\0';
        PortEntry entry;
        to_utf8(data, entry.port, sizeof entry.port);
        to_utf8(name, entry.device, sizeof entry.device);
        entries.push_back(entry);
    }
    (void)c.reg_close_key(key);
    return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
}

// A REG_SZ value of an open key as UTF-8; empty when it is missing, of
// another type or longer than `Units`.
template <DWORD Units>
void read_key_text(const PortsCalls& c, HKEY key, const wchar_t* value, char* out, std::size_t capacity) {
    out[0] = '\0';
    wchar_t text[Units + 1] = {};
    DWORD bytes = Units * sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (c.reg_query_value_ex_w(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(text), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        terminate(text, bytes, Units);
        to_utf8(text, out, capacity);
    }
}

// The Ports-class device whose PortName is `port`.
bool find_device(const PortsCalls& c, HDEVINFO set, const char* port, SP_DEVINFO_DATA& device) {
    for (DWORD index = 0; index < kMaxDevices; ++index) {
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof device;
        // Fails with ERROR_NO_MORE_ITEMS after the last device; any other
        // failure leaves nothing to examine either.
        if (c.setup_di_enum_device_info(set, index, &device) == FALSE) {
            return false;
        }
        const HKEY key = c.setup_di_open_dev_reg_key(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == invalid_key() || key == nullptr) {
            continue;
        }
        char name[kPortNameBytes];
        read_key_text<kPortNameUnits>(c, key, L"PortName", name, sizeof name);
        (void)c.reg_close_key(key);
        if (same_port_name(name, port)) {
            return true;
        }
    }
    return false;
}

// A text property (REG_SZ, or the first string of a REG_MULTI_SZ) as UTF-8;
// empty when the device has none or it does not fit.
void read_property(const PortsCalls& c, HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, char* out,
                   std::size_t capacity) {
    out[0] = '\0';
    // Two units short of the buffer: a list's final double NUL may be missing.
    wchar_t text[kPropertyUnits + 2] = {};
    DWORD type = REG_NONE;
    if (c.setup_di_get_device_registry_property_w(set, &device, property, &type,
                                                  reinterpret_cast<PBYTE>(text),
                                                  kPropertyUnits * sizeof(wchar_t), nullptr) == FALSE) {
        return;
    }
    if (type == REG_SZ || type == REG_MULTI_SZ) {
        to_utf8(text, out, capacity);
    }
}

void read_details(const PortsCalls& c, HDEVINFO set, SP_DEVINFO_DATA& device, PortDetails& out) {
    read_property(c, set, device, SPDRP_FRIENDLYNAME, out.name, sizeof out.name);
    read_property(c, set, device, SPDRP_LOCATION_INFORMATION, out.location, sizeof out.location);
    const HKEY driver = c.setup_di_open_dev_reg_key(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (driver != invalid_key() && driver != nullptr) {
        read_key_text<kProviderBytes>(c, driver, L"ProviderName", out.provider, sizeof out.provider);
        read_key_text<kDriverVersionBytes>(c, driver, L"DriverVersion", out.driver_version,
                                           sizeof out.driver_version);
        (void)c.reg_close_key(driver);
    }
    char id[kDeviceIdUnits * 3];
    read_property(c, set, device, SPDRP_HARDWAREID, id, sizeof id);

    char instance[kDeviceIdUnits * 3] = "";
    wchar_t wide_id[kDeviceIdUnits] = {};
    if (c.setup_di_get_device_instance_id_w(set, &device, wide_id, MAX_DEVICE_ID_LEN, nullptr) != FALSE) {
        to_utf8(wide_id, instance, sizeof instance);
    }
    // The instance ID names the same vendor and product when the hardware ID
    // cannot be read.
    if (!parse_usb_identity(id, out.usb) && !parse_usb_identity(instance, out.usb)) {
        return;
    }
    if (out.usb.interface_number >= 0) {
        // Windows makes up the instance ID of a composite device's interface;
        // the serial number is in its parent's, the device itself.
        instance[0] = '\0';
        DEVINST parent = 0;
        std::memset(wide_id, 0, sizeof wide_id);
        if (c.cm_get_parent(&parent, device.DevInst, 0) == CR_SUCCESS &&
            c.cm_get_device_id_w(parent, wide_id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
            to_utf8(wide_id, instance, sizeof instance);
        }
    }
    (void)usb_serial_from_instance_id(instance, out.serial, sizeof out.serial);
}

// What SetupAPI knows of `port` (nothing under Wine, whose Ports class is empty).
PortDetails details_of(const PortsCalls& c, HDEVINFO set, const char* port) {
    PortDetails details;
    std::memset(&details, 0, sizeof details);
    details.usb.interface_number = -1;
    SP_DEVINFO_DATA device;
    if (set != INVALID_HANDLE_VALUE && find_device(c, set, port, device)) {
        read_details(c, set, device, details);
    }
    return details;
}

HDEVINFO open_ports_class(const PortsCalls& c) {
    return c.setup_di_get_class_devs_w(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
}

void close_ports_class(const PortsCalls& c, HDEVINFO set) {
    if (set != INVALID_HANDLE_VALUE) {
        (void)c.setup_di_destroy_device_info_list(set);
    }
}

// Every port SERIALCOMM lists, ordered by number, the first kMaxPorts of them
// kept (`capped` when there were more) and each described by SetupAPI.
// Returns the registry's status; the ports read before a failure are kept.
LONG describe_ports(const PortsCalls& c, std::vector<PortEntry>& entries, std::vector<PortDetails>& details,
                    bool& capped) {
    const LONG status = read_serialcomm(c, entries);
    sort_ports(entries.data(), entries.size());
    capped = entries.size() > kMaxPorts;
    if (capped) {
        entries.resize(kMaxPorts);
    }
    // SetupAPI only adds detail: when it cannot give the class, each port
    // still gets its line.
    const HDEVINFO set = open_ports_class(c);
    for (const PortEntry& entry : entries) {
        details.push_back(details_of(c, set, entry.port));
    }
    close_ports_class(c, set);
    return status;
}

}  // namespace

ExitStatus list_ports() {
    std::vector<PortEntry> entries;
    std::vector<PortDetails> details;
    bool capped = false;
    const LONG status = describe_ports(ports_calls(), entries, details, capped);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        char line[kPortLineBytes];
        format_port_line(entries[i], details[i], line, sizeof line);
        print_out("%s\n", line);
    }
    if (capped) {
        print_out(
            "NOTE: the registry lists more than %lu COM ports; only the %lu lowest-numbered are shown.\n",
            static_cast<unsigned long>(kMaxPorts), static_cast<unsigned long>(kMaxPorts));
    }
    if (status != ERROR_SUCCESS) {
        print_out("FAIL ports registry code=%lu\n", static_cast<unsigned long>(status));
        return kExitFail;
    }
    return print_ports_summary(entries.size());
}

ExitStatus find_ports(const UsbIdFilter& filter) {
    std::vector<PortEntry> entries;
    std::vector<PortDetails> details;
    bool capped = false;
    const LONG status = describe_ports(ports_calls(), entries, details, capped);
    if (status != ERROR_SUCCESS) {
        print_err("FAIL find registry code=%lu\n", static_cast<unsigned long>(status));
        return kExitFail;
    }
    return print_find_result(filter, entries.data(), details.data(), entries.size());
}

bool find_usb_identity(const char* port_name, UsbIdentity& out) {
    const PortsCalls& c = ports_calls();
    const HDEVINFO set = open_ports_class(c);
    const PortDetails details = details_of(c, set, port_name);
    close_ports_class(c, set);
    out = details.usb;
    return out.usb;
}
