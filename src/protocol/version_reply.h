#pragma once

#include <cstddef>
#include <cstdint>

// The judgement of a version reply, shared by the `v` step and the probe's
// `ready`: a reply is accepted only if it begins with VERSION_REPLY_PREFIX.

enum class VersionVerdict { none, accepted, rejected };

// Judges the `count` received bytes at `reply`, which has room for at least
// count + 1 bytes. accepted: the trailing run of LF, CR and space is removed
// (count shrinks) and a NUL is stored at the new count, so `reply` is the text
// to print; bytes a failed read left past the count stay out of it. none and
// rejected leave the bytes as they are.
VersionVerdict judge_version_reply(std::uint8_t* reply, std::uint32_t& count);

// Writes `count` bytes as two upper-case hex digits each, one space between,
// NUL-terminated, cut to whole bytes that fit `size`. Returns the length.
std::size_t format_hex_bytes(const std::uint8_t* bytes, std::uint32_t count, char* out, std::size_t size);
