#include "ports/ports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "common/device_text.h"

namespace {

struct Chip {
    std::uint16_t vid;
    std::uint16_t pid;
    const char* name;
    // The board's own microcontroller does USB: no bridge chip between the
    // port and the firmware, so the firmware sees the host's DTR directly.
    bool native_usb;
};

// vendor:product of the adapters and boards met at LED controllers, from the
// public USB ID lists and the makers' documentation.
constexpr Chip kChips[] = {
    {0x1A86, 0x7523, "CH340/CH341", false},
    {0x1A86, 0x5523, "CH340/CH341", false},
    {0x1A86, 0x55D4, "CH9102", false},
    {0x10C4, 0xEA60, "CP210x", false},
    {0x10C4, 0xEA70, "CP210x", false},
    {0x10C4, 0xEA71, "CP210x", false},
    {0x0403, 0x6001, "FTDI FT232R", false},
    {0x0403, 0x6010, "FTDI FT2232", false},
    {0x0403, 0x6011, "FTDI FT4232", false},
    {0x0403, 0x6014, "FTDI FT232H", false},
    {0x0403, 0x6015, "FTDI FT-X", false},
    {0x303A, 0x0002, "ESP32-S2 native USB", true},
    {0x303A, 0x1001, "ESP32-S3/C3/C6 USB-Serial/JTAG", true},
    {0x303A, 0x4001, "ESP32-S2/S3 native USB (TinyUSB)", true},
    {0x2E8A, 0x0005, "RP2040 (MicroPython)", true},
    {0x2E8A, 0x000A, "RP2040 (Pico SDK)", true},
    {0x2341, 0x0001, "Arduino Uno", false},
    {0x2341, 0x0042, "Arduino Mega 2560", false},
    {0x2341, 0x0043, "Arduino Uno R3", false},
    {0x2341, 0x0058, "Arduino Nano Every", false},
    {0x2341, 0x8036, "Arduino Leonardo", false},
};

const Chip* find_chip(std::uint16_t vid, std::uint16_t pid) {
    for (const Chip& chip : kChips) {
        if (chip.vid == vid && chip.pid == pid) {
            return &chip;
        }
    }
    return nullptr;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// `text` begins with `word` (ASCII letters in either case; Windows compares
// device IDs without regard to case).
bool starts_with(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        if (upper(*text) != *word) {
            return false;
        }
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char u = upper(c);
    return u >= 'A' && u <= 'F' ? u - 'A' + 10 : -1;
}

// `digits` hex digits at `text`; -1 unless all are there.
long parse_hex(const char* text, int digits) {
    long value = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = hex_value(text[i]);
        if (d < 0) {
            return -1;
        }
        value = value * 16 + d;
    }
    return value;
}

// The segment of the ID before the first backslash, the bus that enumerated it.
bool enumerated_by(const char* device_id, const char* bus) {
    const std::size_t n = std::strlen(bus);
    return starts_with(device_id, bus) && device_id[n] == '\\';
}

// `key` (such as "VID_") starting a field of the ID's second segment, where
// fields are separated by `&` (USB) or `+` (FTDI's bus form).
const char* find_field(const char* segment, const char* key) {
    for (const char* p = segment; *p != '\0' && *p != '\\'; ++p) {
        const bool field_start = p == segment || p[-1] == '&' || p[-1] == '+';
        if (field_start && starts_with(p, key)) {
            return p + std::strlen(key);
        }
    }
    return nullptr;
}

// One field through the device text rule; `-` for a field Windows does not know.
void put_field(const char* text, TextForm form, char* dest, std::size_t capacity) {
    if (text == nullptr || text[0] == '\0') {
        copy_field(dest, capacity, "-");
        return;
    }
    (void)put_device_text(text, std::strlen(text), form, dest, capacity);
}

// 1 to 4 hex digits at `text`; where they end, or nullptr.
const char* parse_id_number(const char* text, std::uint16_t& value) {
    long number = 0;
    int digits = 0;
    for (; hex_value(text[digits]) >= 0; ++digits) {
        if (digits == 4) {
            return nullptr;
        }
        number = number * 16 + hex_value(text[digits]);
    }
    value = static_cast<std::uint16_t>(number);
    return digits > 0 ? text + digits : nullptr;
}

}  // namespace

const char* chip_name(std::uint16_t vid, std::uint16_t pid) {
    const Chip* chip = find_chip(vid, pid);
    return chip != nullptr ? chip->name : nullptr;
}

bool is_native_usb_board(std::uint16_t vid, std::uint16_t pid) {
    const Chip* chip = find_chip(vid, pid);
    return chip != nullptr && chip->native_usb;
}

bool parse_usb_identity(const char* device_id, UsbIdentity& out) {
    out = UsbIdentity{false, 0, 0, -1};
    if (!enumerated_by(device_id, "USB") && !enumerated_by(device_id, "FTDIBUS")) {
        return false;
    }
    const char* segment = std::strchr(device_id, '\\') + 1;
    const char* vid_at = find_field(segment, "VID_");
    if (vid_at == nullptr) {
        return false;
    }
    const long vid = parse_hex(vid_at, 4);
    const char sep = vid < 0 ? '\0' : vid_at[4];
    if ((sep != '&' && sep != '+') || !starts_with(vid_at + 5, "PID_")) {
        return false;
    }
    const long pid = parse_hex(vid_at + 9, 4);
    if (pid < 0) {
        return false;
    }
    out.usb = true;
    out.vid = static_cast<std::uint16_t>(vid);
    out.pid = static_cast<std::uint16_t>(pid);
    const char* mi_at = find_field(segment, "MI_");
    if (mi_at != nullptr) {
        const long mi = parse_hex(mi_at, 2);
        out.interface_number = static_cast<int>(mi);  // -1 when the digits are not there
    }
    return true;
}

bool usb_serial_from_instance_id(const char* instance_id, char* out, std::size_t capacity) {
    out[0] = '\0';
    const char* serial = nullptr;
    std::size_t length = 0;
    if (enumerated_by(instance_id, "USB")) {
        // USB\VID_1A86&PID_7523\<serial>: the third segment, and nothing after it.
        const char* second = instance_id + 4;
        const char* third = std::strchr(second, '\\');
        if (third != nullptr && std::strchr(third + 1, '\\') == nullptr) {
            serial = third + 1;
            length = std::strlen(serial);
        }
    } else if (enumerated_by(instance_id, "FTDIBUS")) {
        // FTDIBUS\VID_0403+PID_6001+<serial>\0000: the third `+` field.
        const char* second = instance_id + 8;
        const char* end = std::strchr(second, '\\');
        const char* plus = std::strchr(second, '+');
        plus = plus != nullptr ? std::strchr(plus + 1, '+') : nullptr;
        if (plus != nullptr && (end == nullptr || plus < end)) {
            serial = plus + 1;
            length = end != nullptr ? static_cast<std::size_t>(end - serial) : std::strlen(serial);
        }
    }
    if (serial == nullptr || length == 0 || std::memchr(serial, '&', length) != nullptr) {
        return false;
    }
    copy_field(out, capacity, std::string(serial, length).c_str());
    return true;
}

void copy_field(char* dest, std::size_t capacity, const char* text) {
    const std::size_t length = std::strlen(text);
    const bool cut = length >= capacity;
    const std::size_t take = cut ? utf8_chunk_length(text, length, capacity - 1 - kCutMarkBytes) : length;
    std::memcpy(dest, text, take);
    std::memcpy(dest + take, kCutMark, cut ? kCutMarkBytes : 0);
    dest[take + (cut ? kCutMarkBytes : 0)] = '\0';
}

std::string utf8_from_utf16(const char16_t* text, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units && text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += '?';
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

long com_port_number(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0' || name[3] == '0') {
        return -1;
    }
    long number = 0;
    // Six digits at most: far beyond the 256 numbers Windows hands out, and
    // no overflow of a 32-bit long.
    for (int i = 3; name[i] != '\0'; ++i) {
        if (name[i] < '0' || name[i] > '9' || i > 8) {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

void sort_ports(PortEntry* entries, std::size_t count) {
    std::sort(entries, entries + count, [](const PortEntry& a, const PortEntry& b) {
        const long na = com_port_number(a.port);
        const long nb = com_port_number(b.port);
        if (na != nb) {
            // Names that are not COMn (-1) go after every COM port.
            return nb < 0 || (na >= 0 && na < nb);
        }
        const int by_name = na < 0 ? std::strcmp(a.port, b.port) : 0;
        return by_name != 0 ? by_name < 0 : std::strcmp(a.device, b.device) < 0;
    });
}

void format_port_line(const PortEntry& entry, const PortDetails& details, char* out, std::size_t capacity) {
    char port[kPortNameBytes];
    put_field(entry.port, TextForm::bare, port, sizeof port);

    const UsbIdentity& usb = details.usb;
    char vid[8] = "-";
    char pid[8] = "-";
    char mi[8] = "-";
    if (usb.usb) {
        (void)std::snprintf(vid, sizeof vid, "%04X", static_cast<unsigned>(usb.vid));
        (void)std::snprintf(pid, sizeof pid, "%04X", static_cast<unsigned>(usb.pid));
        if (usb.interface_number >= 0) {
            (void)std::snprintf(mi, sizeof mi, "%02X", static_cast<unsigned>(usb.interface_number));
        }
    }
    char chip[64];
    put_field(usb.usb ? chip_name(usb.vid, usb.pid) : nullptr, TextForm::quoted, chip, sizeof chip);
    char serial[kSerialBytes + 2];
    put_field(details.serial, TextForm::quoted, serial, sizeof serial);
    char location[kLocationBytes + 2];
    put_field(details.location, TextForm::quoted, location, sizeof location);
    char name[kFriendlyNameBytes + 2];
    put_field(details.name, TextForm::quoted, name, sizeof name);
    char provider_version[kProviderBytes + kDriverVersionBytes];
    const bool both = details.provider[0] != '\0' && details.driver_version[0] != '\0';
    (void)std::snprintf(provider_version, sizeof provider_version, "%s%s%s", details.provider,
                        both ? " " : "", details.driver_version);
    char driver[sizeof provider_version + 2];
    put_field(provider_version, TextForm::quoted, driver, sizeof driver);
    char device[kDevicePathBytes + 2];
    put_field(entry.device, TextForm::quoted, device, sizeof device);

    (void)std::snprintf(
        out, capacity,
        "OK port=%s vid=%s pid=%s mi=%s chip=%s serial=%s location=%s name=%s driver=%s device=%s", port, vid,
        pid, mi, chip, serial, location, name, driver, device);
}

ExitStatus print_ports_summary(std::size_t count) {
    if (count == 0) {
        print_out("FAIL ports count=0\n");
        print_out(
            "NOTE: no COM port found; the usual causes are a USB-serial adapter whose driver is not "
            "installed "
            "(Device Manager shows it under Other devices) and a charge-only USB cable, which has no data "
            "wires.\n");
        return kExitFail;
    }
    print_out("OK ports count=%lu\n", static_cast<unsigned long>(count));
    return kExitPass;
}

bool parse_usb_id_filter(const char* text, UsbIdFilter& out) {
    out = UsbIdFilter{};
    const char* end = parse_id_number(text, out.vid);
    if (end == nullptr || *end != ':') {
        return false;
    }
    end = parse_id_number(end + 1, out.pid);
    if (end == nullptr || *end == '\0') {
        return end != nullptr;
    }
    const std::size_t length = *end == ':' ? std::strlen(end + 1) : 0;
    if (length == 0 || length >= sizeof out.serial) {
        return false;
    }
    std::memcpy(out.serial, end + 1, length + 1);
    out.has_serial = true;
    return true;
}

bool usb_id_matches(const UsbIdFilter& filter, const PortDetails& details) {
    const UsbIdentity& usb = details.usb;
    if (!usb.usb || usb.vid != filter.vid || usb.pid != filter.pid) {
        return false;
    }
    if (!filter.has_serial) {
        return true;
    }
    const char* a = filter.serial;
    const char* b = details.serial;
    for (; *a != '\0' && upper(*a) == upper(*b); ++a, ++b) {
    }
    return *a == '\0' && *b == '\0';
}

ExitStatus print_find_result(const UsbIdFilter& filter, const PortEntry* entries, const PortDetails* details,
                             std::size_t count) {
    std::size_t matches = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (usb_id_matches(filter, details[i]) && matches++ == 0) {
            first = i;
        }
    }
    char port[kPortNameBytes];
    if (matches == 1) {
        put_field(entries[first].port, TextForm::bare, port, sizeof port);
        print_out("%s\n", port);
        return kExitPass;
    }
    char id[16 + kSerialBytes] = "";
    // Ten bytes: "VID:PID" and the colon before a serial.
    const auto n = static_cast<std::size_t>(
        std::snprintf(id, sizeof id, "%04X:%04X%s", static_cast<unsigned>(filter.vid),
                      static_cast<unsigned>(filter.pid), filter.has_serial ? ":" : ""));
    if (filter.has_serial) {
        put_field(filter.serial, TextForm::bare, id + n, sizeof id - n);
    }
    print_err("FAIL find id=%s count=%lu\n", id, static_cast<unsigned long>(matches));
    for (std::size_t i = 0; i < count && matches > 1; ++i) {
        if (usb_id_matches(filter, details[i])) {
            char serial[kSerialBytes + 2];
            put_field(entries[i].port, TextForm::bare, port, sizeof port);
            put_field(details[i].serial, TextForm::quoted, serial, sizeof serial);
            print_err("NOTE: candidate port=%s serial=%s\n", port, serial);
        }
    }
    return kExitFail;
}
