// Bitcoin wire encodings, appended to the end of a byte string front to back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block/bytes.h"

namespace qvn {

void write_u8(Bytes& out, std::uint8_t value);

// Signed fields (the block version) go in as their two's-complement bit pattern.
void write_u32le(Bytes& out, std::uint32_t value);
void write_u64le(Bytes& out, std::uint64_t value);

void write_bytes(Bytes& out, const Bytes& bytes);
void write_bytes(Bytes& out, const std::uint8_t* data, std::size_t length);

// 1 byte up to 252, then FD + 2, FE + 4 or FF + 8 bytes little-endian.
void write_compact_size(Bytes& out, std::uint64_t n);

// A data push: length byte, OP_PUSHDATA1/2/4 with its length, then the data.
// Never uses the small-integer opcodes.
void write_push(Bytes& out, const Bytes& data);

// Minimal little-endian script number of a non-negative value (empty for 0).
Bytes encode_script_num(std::uint64_t n);

}  // namespace qvn
