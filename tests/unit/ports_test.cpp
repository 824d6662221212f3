#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fakes/fake_console.h"
#include "ports/ports.h"

namespace {

std::string usb_of(const char* id) {
    UsbIdentity usb{true, 1, 1, 7};
    const bool ok = parse_usb_identity(id, usb);
    char text[40];
    (void)std::snprintf(text, sizeof text, "%d %d %04X:%04X mi=%d", ok, usb.usb, usb.vid, usb.pid,
                        usb.interface_number);
    return text;
}

std::string serial_of(const char* id) {
    char serial[16];
    return usb_serial_from_instance_id(id, serial, sizeof serial) ? serial : "(none)";
}

}  // namespace

TEST(Ports, ParsesUsbAndFtdiIdsAndMarksNativeBoards) {
    EXPECT_EQ(usb_of("usb\\vid_2e8a&pid_000a&mi_0a"), "1 1 2E8A:000A mi=10");
    EXPECT_EQ(usb_of("FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000"), "1 1 0403:6001 mi=-1");
    EXPECT_EQ(usb_of("USB\\VID_FFFF&PID_ffff"), "1 1 FFFF:FFFF mi=-1");
    EXPECT_EQ(usb_of("USB\\VID_1A8&PID_7523"), "0 0 0000:0000 mi=-1");
    EXPECT_EQ(usb_of("USB\\XVID_1A86&PID_7523"), "0 0 0000:0000 mi=-1");

    EXPECT_EQ(serial_of("FTDIBUS\\VID_0403+PID_6001+5&1F2E&0&1\\0000"), "(none)");
    EXPECT_EQ(serial_of("USB\\VID_10C4&PID_EA60\\0123456789ABCDEFGHIJ"), "0123456789AB...");  // cut
    EXPECT_EQ(serial_of("BTHENUM\\{00001101}\\7&1A&0&001122334455_C00000000"), "(none)");

    // Registry text is UTF-16 that no one checked: a surrogate alone is `?`,
    // also one whose partner lies past the end.
    const char16_t wide[] = {u'a', 0xD800, u'b', 0xDC00, 0xD83D, 0xDCA1, 0xE9, 0x20AC, 0, u'z'};
    EXPECT_EQ(utf8_from_utf16(wide, 10), "a?b?\xF0\x9F\x92\xA1\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(utf8_from_utf16(wide + 4, 1), "?");

    EXPECT_TRUE(is_native_usb_board(0x303A, 0x1001) && is_native_usb_board(0x2E8A, 0x000A));
    EXPECT_FALSE(is_native_usb_board(0x10C4, 0xEA60) || is_native_usb_board(0x1234, 0x5678));
    for (const unsigned id : {0x303A0002u, 0x303A1001u, 0x303A4001u, 0x2E8A0005u, 0x2E8A000Au}) {
        EXPECT_TRUE(is_native_usb_board(id >> 16, id & 0xFFFF)) << std::hex << id;
    }
}

TEST(Ports, NumbersPortsAndFormatsLines) {
    EXPECT_EQ(com_port_number("COM0"), -1);
    EXPECT_EQ(com_port_number("COM1234567"), -1);

    // Text from drivers is quoted and kept on one line.
    PortEntry entry = {"COM 9", "\\Device\\Serial0"};
    PortDetails details{{true, 0x1234, 0xABCD, 3}, "", "Port_#0001", "My \"best\"\r\nport", "", ""};
    char line[kPortLineBytes];
    format_port_line(entry, details, line, sizeof line);
    EXPECT_STREQ(line,
                 "OK port=COM?9 vid=1234 pid=ABCD mi=03 chip=- serial=- location=\"Port_#0001\" "
                 "name=\"My 'best'??port\" driver=- device=\"\\Device\\Serial0\"");

    PortEntry odd = {"C\"M\x7F", "\\Device\\\xC2\x85"};  // DEL, and NEL (a C1 control)
    PortDetails driver{{false, 0, 0, -1}, "", "", "", "", "10.0.1\x7F"};
    format_port_line(odd, driver, line, sizeof line);
    EXPECT_STREQ(line,
                 "OK port=C?M? vid=- pid=- mi=- chip=- serial=- location=- name=- driver=\"10.0.1?\" "
                 "device=\"\\Device\\?\"");

    // Two devices claiming one name are listed by device path.
    PortEntry entries[] = {{"COM3", "\\Device\\B"}, {"CNCA0", ""}, {"COM3", "\\Device\\A"}, {"COM10", ""}};
    sort_ports(entries, 4);
    EXPECT_EQ(std::string(entries[0].device) + entries[1].device + entries[2].port + entries[3].port,
              "\\Device\\A\\Device\\BCOM10CNCA0");
}

TEST(Ports, FindFilterAndResult) {
    UsbIdFilter f{};
    for (const char* bad : {"1a86", "1a86:", "1A86:7523:", ":7523", "12345:1", "1a86:7523x", "1a86 :7523"}) {
        EXPECT_FALSE(parse_usb_id_filter(bad, f)) << bad;
    }
    EXPECT_FALSE(parse_usb_id_filter(("1:2:" + std::string(kSerialBytes, 'x')).c_str(), f));
    ASSERT_TRUE(parse_usb_id_filter("fF:1A86", f) && !f.has_serial && f.vid == 0xFF && f.pid == 0x1A86);
    ASSERT_TRUE(parse_usb_id_filter("303a:1001:f4:12:fa:4d \"x", f) && f.has_serial && f.pid == 0x1001);

    const PortEntry entries[] = {{"COM3", ""}, {"COM7", ""}, {"COM8", ""}, {"COM9", ""}};
    const PortDetails details[] = {{{true, 0x303A, 0x1001, 0}, "F4:12:FA:4D \"X", "", "", "", ""},
                                   {{true, 0x303A, 0x1001, 0}, "F4:12:FA:4D \"X", "", "", "", ""},
                                   {{true, 0x303A, 0x1001, 0}, "F4:12:FA:4D", "", "", "", ""},
                                   {{false, 0x303A, 0x1001, 0}, "F4:12:FA:4D \"X", "", "", "", ""}};
    UsbIdFilter prefix{};
    ASSERT_TRUE(parse_usb_id_filter("303a:1001:F4:12", prefix));
    EXPECT_FALSE(usb_id_matches(prefix, details[2]));  // a serial is matched whole
    FakeConsole console;
    EXPECT_EQ(print_find_result(f, entries + 1, details + 1, 3), 0);
    EXPECT_EQ(console.out + console.err, "COM7\n");
    console.out.clear();
    EXPECT_EQ(print_find_result(f, entries, details, 3), 1);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err,
              "FAIL find id=303A:1001:f4:12:fa:4d??x count=2\n"
              "NOTE: candidate port=COM3 serial=\"F4:12:FA:4D 'X\"\n"
              "NOTE: candidate port=COM7 serial=\"F4:12:FA:4D 'X\"\n");
}
