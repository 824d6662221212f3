#pragma once

#include <cstdio>
#include <string>

// Printable form of arbitrary bytes for a fuzzer's failure report.
inline std::string quoted(const std::string& s) {
    std::string q;
    char buf[8];
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            q += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(c));
            q += buf;
        }
    }
    return "\"" + q + "\"";
}
