// Text, number, hex and path utilities. Every failure goes through fail(),
// whose message is exactly what the user sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "block/bytes.h"

namespace qvn {

[[noreturn]] void fail(const std::string& message);

// Removes space, tab, CR and LF at both ends; nothing inside.
std::string trim(const std::string& text);

std::string hex_encode(const std::uint8_t* data, std::size_t size);
std::string hex_encode(const Bytes& bytes);

// 64 lowercase hex digits in display order (byte 31 first).
std::string hash_to_hex(const Hash32& hash);

// Trims, drops one "0x"/"0X" prefix, decodes pairs of hex digits of either case.
Bytes hex_decode(const std::string& text);

// Display-order hex of exactly 32 bytes in, internal order out.
Hash32 parse_hash_hex(const std::string& text);

// Decimal integer as strtoull reads it ("-1" wraps to 2^64 - 1).
std::uint64_t parse_u64(const std::string& value, const std::string& label);

// Decimal (or hex-float, inf, nan) number as strtod reads it.
double parse_number(const std::string& value, const std::string& label);

// Exactly 8 hex digits read big-endian ("1d00ffff" -> 0x1D00FFFF).
std::uint32_t parse_hex32(const std::string& value, const std::string& label);

// Text from outside (a node's answer, an exception carrying it) made safe for
// a log line: at most max_bytes of it, then "... (N bytes)", with control
// characters (C0, DEL and UTF-8 C1) written as \xHH so that nothing reaches
// the terminal as an escape sequence and the line stays one line.
std::string printable(std::string_view text, std::size_t max_bytes);

// Where a failure's message meets a log line it is cut at this length: far
// above any message of our own, so only text a node slipped in is cut.
inline constexpr std::size_t kMaxMessageBytes = 1024;

// Writes line and a line feed in one write, so that lines written by two
// threads at once never mix.
void write_line(std::ostream& out, const std::string& line);

// Replaces a leading "~" (alone, or followed by "/" or "\") with $HOME.
std::string expand_home(const std::string& path);

}  // namespace qvn
