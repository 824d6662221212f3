// The COM port listing on Win32: the ports from the registry's SERIALCOMM
// key, each described by SetupAPI's Ports class where Windows knows the
// device. Every registry, SetupAPI and cfgmgr32 call goes through
// ports_calls() so the tests can script what Windows reports.

// <windows.h> (through the call table) first: the GUID definitions need its macros.
#include "ports/ports_calls_win32.h"

// Makes devguid.h define GUID_DEVCLASS_PORTS rather than only declare it.
#include <initguid.h>

#include <devguid.h>

#include <algorithm>
#include <cstring>
#include <string>
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

// The registry's own limit on a value name: no SERIALCOMM entry is too long
// to be read.
constexpr DWORD kValueNameUnits = 16383 + 1;
// Buffers for registry text and device properties start at this size and
// grow once to what the call says it needs, up to kMaxTextBytes: a value
// longer than its field is read whole and cut with the mark, never left out.
// Friendly names and locations are short, but a hardware ID list holds
// several IDs; only the first (most specific) is used.
constexpr DWORD kTextUnits = 512;
constexpr DWORD kMaxTextBytes = 1 << 20;
// MAX_DEVICE_ID_LEN counts the terminator; one unit more keeps a terminated
// string whatever the call leaves at the end.
constexpr DWORD kDeviceIdUnits = MAX_DEVICE_ID_LEN + 1;

// SetupDiOpenDevRegKey reports failure as INVALID_HANDLE_VALUE, not NULL.
HKEY invalid_key() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }

// UTF-8 copy of the wide text of `bytes` bytes (up to a NUL: stored registry
// text need not end in one), cut to the field with the mark. Not
// WideCharToMultiByte: it turns a lone surrogate into U+FFFD, which the
// device text rule would print as it is.
void to_utf8(const wchar_t* wide, DWORD bytes, char* out, std::size_t capacity) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide text is UTF-16");
    const std::string utf8 =
        utf8_from_utf16(reinterpret_cast<const char16_t*>(wide), bytes / sizeof(wchar_t));
    copy_field(out, capacity, utf8.c_str());
}

// A buffer of wide text that `read` fills, called again once with the room
// it asked for when the first call found too little (ERROR_MORE_DATA, or a
// SetupAPI call's ERROR_INSUFFICIENT_BUFFER), the size asked for being at
// most kMaxTextBytes. `read(data, bytes)` takes the buffer's size in bytes,
// leaves the text's size there and returns whether the call succeeded.
template <typename Read>
bool read_text(std::vector<wchar_t>& text, Read read) {
    text.assign(kTextUnits, L'\0');
    auto bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    bool more = false;
    if (read(text.data(), bytes, more)) {
        return true;
    }
    if (!more || bytes <= text.size() * sizeof(wchar_t) || bytes > kMaxTextBytes) {
        return false;
    }
    text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    return read(text.data(), bytes, more);
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
    std::vector<wchar_t> name(kValueNameUnits);
    std::vector<wchar_t> data;
    for (DWORD index = 0; index < kMaxValues; ++index) {
        DWORD name_units = 0;
        DWORD type = REG_NONE;
        DWORD data_bytes = 0;
        const bool read = read_text(data, [&](wchar_t* buffer, DWORD& bytes, bool& more) {
            name_units = kValueNameUnits;
            status = c.reg_enum_value_w(key, index, name.data(), &name_units, nullptr, &type,
                                        reinterpret_cast<LPBYTE>(buffer), &bytes);
            more = status == ERROR_MORE_DATA;
            data_bytes = bytes;
            return status == ERROR_SUCCESS;
        });
        if (status == ERROR_MORE_DATA) {
            continue;  // over kMaxTextBytes: no port name
        }
        if (!read) {
            break;
        }
        if (type != REG_SZ || data[0] == L'\0') {
            continue;
        }
        PortEntry entry;
        to_utf8(data.data(), data_bytes, entry.port, sizeof entry.port);
        to_utf8(name.data(), std::min<DWORD>(name_units, kValueNameUnits) * sizeof(wchar_t), entry.device,
                sizeof entry.device);
        entries.push_back(entry);
    }
    (void)c.reg_close_key(key);
    return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
}

// A REG_SZ value of an open key as UTF-8; empty when it is missing or of
// another type.
void read_key_text(const PortsCalls& c, HKEY key, const wchar_t* value, char* out, std::size_t capacity) {
    out[0] = '\0';
    std::vector<wchar_t> text;
    DWORD type = REG_NONE;
    DWORD text_bytes = 0;
    const bool read = read_text(text, [&](wchar_t* buffer, DWORD& bytes, bool& more) {
        const LONG status =
            c.reg_query_value_ex_w(key, value, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes);
        more = status == ERROR_MORE_DATA;
        text_bytes = bytes;
        return status == ERROR_SUCCESS;
    });
    if (read && type == REG_SZ) {
        to_utf8(text.data(), text_bytes, out, capacity);
    }
}

// The first Ports-class device whose PortName is `port` and that is not in
// `taken`, which gets its index.
bool find_device(const PortsCalls& c, HDEVINFO set, const char* port, std::vector<DWORD>& taken,
                 SP_DEVINFO_DATA& device) {
    for (DWORD index = 0; index < kMaxDevices; ++index) {
        if (std::find(taken.begin(), taken.end(), index) != taken.end()) {
            continue;
        }
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
        read_key_text(c, key, L"PortName", name, sizeof name);
        (void)c.reg_close_key(key);
        if (same_port_name(name, port)) {
            taken.push_back(index);
            return true;
        }
    }
    return false;
}

// A text property (REG_SZ, or the first string of a REG_MULTI_SZ) as UTF-8;
// empty when the device has none.
void read_property(const PortsCalls& c, HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, char* out,
                   std::size_t capacity) {
    out[0] = '\0';
    std::vector<wchar_t> text;
    DWORD type = REG_NONE;
    DWORD text_bytes = 0;
    const bool read = read_text(text, [&](wchar_t* buffer, DWORD& bytes, bool& more) {
        DWORD needed = 0;
        const BOOL ok = c.setup_di_get_device_registry_property_w(
            set, &device, property, &type, reinterpret_cast<PBYTE>(buffer), bytes, &needed);
        more = ok == FALSE && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        // The call leaves the size of what it stored only in `needed`; the
        // zeroed buffer ends the text where it ends.
        text_bytes = ok != FALSE ? bytes : 0;
        bytes = needed;
        return ok != FALSE;
    });
    if (read && (type == REG_SZ || type == REG_MULTI_SZ)) {
        to_utf8(text.data(), text_bytes, out, capacity);
    }
}

void read_details(const PortsCalls& c, HDEVINFO set, SP_DEVINFO_DATA& device, PortDetails& out) {
    read_property(c, set, device, SPDRP_FRIENDLYNAME, out.name, sizeof out.name);
    read_property(c, set, device, SPDRP_LOCATION_INFORMATION, out.location, sizeof out.location);
    const HKEY driver = c.setup_di_open_dev_reg_key(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (driver != invalid_key() && driver != nullptr) {
        read_key_text(c, driver, L"ProviderName", out.provider, sizeof out.provider);
        read_key_text(c, driver, L"DriverVersion", out.driver_version, sizeof out.driver_version);
        (void)c.reg_close_key(driver);
    }
    char id[kDeviceIdUnits * 3];
    read_property(c, set, device, SPDRP_HARDWAREID, id, sizeof id);

    char instance[kDeviceIdUnits * 3] = "";
    wchar_t wide_id[kDeviceIdUnits] = {};
    if (c.setup_di_get_device_instance_id_w(set, &device, wide_id, MAX_DEVICE_ID_LEN, nullptr) != FALSE) {
        to_utf8(wide_id, sizeof wide_id, instance, sizeof instance);
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
            to_utf8(wide_id, sizeof wide_id, instance, sizeof instance);
        }
    }
    (void)usb_serial_from_instance_id(instance, out.serial, sizeof out.serial);
}

// What SetupAPI knows of `port`, from a device not in `taken`.
PortDetails details_of(const PortsCalls& c, HDEVINFO set, const char* port, std::vector<DWORD>& taken) {
    PortDetails details;
    std::memset(&details, 0, sizeof details);
    details.usb.interface_number = -1;
    SP_DEVINFO_DATA device;
    if (set != INVALID_HANDLE_VALUE && find_device(c, set, port, taken, device)) {
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
    // still gets its line. Two SERIALCOMM entries can name one port (two
    // drivers claiming it, or one that published it twice): each device
    // describes one line, the first of its name not yet described, so that
    // one device never counts twice for `find`.
    const HDEVINFO set = open_ports_class(c);
    std::vector<DWORD> taken;
    for (const PortEntry& entry : entries) {
        details.push_back(details_of(c, set, entry.port, taken));
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
    std::vector<DWORD> taken;
    const PortDetails details = details_of(c, set, port_name, taken);
    close_ports_class(c, set);
    out = details.usb;
    return out.usb;
}
