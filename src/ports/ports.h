#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/exit_status.h"

// COM port listing. The portable part (this header's parsing, chip table and
// line formatting) is free of <windows.h> and tested on any platform;
// list_ports, find_ports and find_usb_identity exist only in the Windows build.

// What Windows knows of a port's USB device.
struct UsbIdentity {
    bool usb;
    std::uint16_t vid;
    std::uint16_t pid;
    int interface_number;  // the nn of &MI_nn for an interface of a composite device; -1 none
};

// Prints one OK line per port, ordered by number, then the summary; returns the ExitStatus.
ExitStatus list_ports();

// What Windows knows of one port's USB identity; false when unknown (no SetupAPI entry, not USB).
bool find_usb_identity(const char* port_name, UsbIdentity& out);

// The chip table's name for vid:pid, nullptr if unknown; and whether it is a board whose own
// microcontroller does USB (ESP32-S2/S3/C3/C6 native USB, RP2040).
const char* chip_name(std::uint16_t vid, std::uint16_t pid);
bool is_native_usb_board(std::uint16_t vid, std::uint16_t pid);

// ---- Parsing of the identifiers Windows gives a device (UTF-8 text) ----

// Vendor and product ID, and the interface of a composite device, from a
// hardware or instance ID. Both the USB form `USB\VID_1A86&PID_7523&REV_0264`
// (`&MI_00` on an interface) and FTDI's bus form, `FTDIBUS\VID_0403+PID_6001+...`
// or `FTDIBUS\COMPORT&VID_0403&PID_6001`, are USB. False (and `out.usb` false)
// for any other bus (Bluetooth, virtual ports, ACPI).
bool parse_usb_identity(const char* device_id, UsbIdentity& out);

// The USB serial number an instance ID carries: the last segment of
// `USB\VID_..&PID_..\<serial>`, or the third `+` field of FTDI's
// `FTDIBUS\VID_0403+PID_6001+<serial>\0000`. False when there is none, also
// when the segment holds `&`: Windows makes such an ID up for a device that
// reports no serial number (and for every interface of a composite device).
// A serial that does not fit is cut as copy_field cuts.
bool usb_serial_from_instance_id(const char* instance_id, char* out, std::size_t capacity);

// ---- What one line shows ----

constexpr std::size_t kPortNameBytes = 32;
constexpr std::size_t kDevicePathBytes = 128;
constexpr std::size_t kSerialBytes = 128;
constexpr std::size_t kLocationBytes = 128;
constexpr std::size_t kFriendlyNameBytes = 256;
constexpr std::size_t kProviderBytes = 128;
// A version is four numbers of at most five digits.
constexpr std::size_t kDriverVersionBytes = 32;

// One SERIALCOMM entry.
struct PortEntry {
    char port[kPortNameBytes];      // "COM3"
    char device[kDevicePathBytes];  // "\Device\USBSER000"
};

// What SetupAPI adds to an entry; an empty string is a field Windows does not know.
struct PortDetails {
    UsbIdentity usb;
    char serial[kSerialBytes];
    char location[kLocationBytes];
    char name[kFriendlyNameBytes];
    char provider[kProviderBytes];             // of the device's driver
    char driver_version[kDriverVersionBytes];  // "10.0.19041.1"
};

// Copies UTF-8 text into a field; text that does not fit is cut to whole
// UTF-8 sequences and ends with kCutMark (device_text.h). `capacity` >= 4.
void copy_field(char* dest, std::size_t capacity, const char* text);

// UTF-8 of UTF-16 text, up to `units` units or the first NUL. A surrogate
// without its partner (registry text is not checked by anyone) becomes `?`,
// as a broken byte of UTF-8 prints.
std::string utf8_from_utf16(const char16_t* text, std::size_t units);

// The number of a `COMn` name, or -1 for any other name.
long com_port_number(const char* name);

// COM ports by number (COM2 before COM10), then any other names in byte order;
// a tie (two devices claiming one name) by device path.
void sort_ports(PortEntry* entries, std::size_t count);

// Enough for every field at its largest plus the keys.
constexpr std::size_t kPortLineBytes = 1024;

// The OK line of one port, without the line end. The port name is bare and
// the other text fields quoted, all through put_device_text, so a line stays
// one greppable line whatever a driver calls its device; `-` for a field
// Windows does not know.
void format_port_line(const PortEntry& entry, const PortDetails& details, char* out, std::size_t capacity);

// The summary after the port lines (or the FAIL line and NOTE when none); the
// exit status of the listing.
ExitStatus print_ports_summary(std::size_t count);

// ---- `find`: the port of one USB device, for scripts ----

// What `lumaris_serial_probe find` looks for: a USB vendor and product, and optionally a serial number.
struct UsbIdFilter {
    std::uint16_t vid;
    std::uint16_t pid;
    bool has_serial;
    char serial[kSerialBytes];
};

// "VID:PID" or "VID:PID:serial": 1 to 4 hex digits each, either case; the
// serial is the rest after the second colon (it may hold colons, as an
// ESP32's does), non-empty, at most kSerialBytes-1 bytes. False for anything else.
bool parse_usb_id_filter(const char* text, UsbIdFilter& out);

// Whether a port's details match (usb, vid, pid, and the serial compared
// without regard to ASCII case when the filter has one).
bool usb_id_matches(const UsbIdFilter& filter, const PortDetails& details);

// Prints the result of a search over `count` ports in listing order and
// returns the exit status: exactly one match prints its bare port name and
// "\n" on standard output and returns 0; otherwise standard error gets
// "FAIL find id=%s count=%lu\n" (VID:PID in upper-case 4-digit hex, plus ":"
// and the serial in bare form when the filter has one), then for more than
// one match one line per candidate "NOTE: candidate port=%s serial=%s\n"
// (port bare, serial quoted or -), and returns 1. Nothing on standard output then.
ExitStatus print_find_result(const UsbIdFilter& filter, const PortEntry* entries, const PortDetails* details,
                             std::size_t count);

// Windows only: the same SERIALCOMM + SetupAPI lookup as list_ports, then
// print_find_result. A registry failure prints "FAIL find registry code=%lu\n"
// on standard error and returns 1. Opens no port.
ExitStatus find_ports(const UsbIdFilter& filter);
