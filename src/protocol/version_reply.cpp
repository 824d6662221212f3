#include "protocol/version_reply.h"

#include <cstring>

#include "protocol/messages.h"

namespace {

bool is_trailing_blank(std::uint8_t c) { return c == '\n' || c == '\r' || c == ' '; }

}  // namespace

VersionVerdict judge_version_reply(std::uint8_t* reply, std::uint32_t& count) {
    if (count == 0) {
        return VersionVerdict::none;
    }
    if (count < VERSION_REPLY_PREFIX_LEN ||
        std::memcmp(reply, VERSION_REPLY_PREFIX, VERSION_REPLY_PREFIX_LEN) != 0) {
        return VersionVerdict::rejected;
    }
    while (count > 0 && is_trailing_blank(reply[count - 1])) {
        reply[--count] = 0;
    }
    // A read that failed may have left uncounted bytes past the count; the
    // terminator at the count keeps them out of the printed reply.
    reply[count] = 0;
    return VersionVerdict::accepted;
}

std::size_t format_hex_bytes(const std::uint8_t* bytes, std::uint32_t count, char* out, std::size_t size) {
    static const char kHex[] = "0123456789ABCDEF";
    std::size_t used = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t need = i == 0 ? 2 : 3;
        if (used + need + 1 > size) {
            break;
        }
        if (i != 0) {
            out[used++] = ' ';
        }
        out[used++] = kHex[bytes[i] >> 4];
        out[used++] = kHex[bytes[i] & 0x0F];
    }
    if (size > 0) {
        out[used] = '\0';
    }
    return used;
}
