#include "block/serialize.h"

namespace qvn {
namespace {

void write_le(Bytes& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

void write_u8(Bytes& out, std::uint8_t value) { out.push_back(value); }

void write_u32le(Bytes& out, std::uint32_t value) { write_le(out, value, 4); }

void write_u64le(Bytes& out, std::uint64_t value) { write_le(out, value, 8); }

void write_bytes(Bytes& out, const Bytes& bytes) {
    if (&bytes == &out) {
        // Inserting a vector's own range into itself is undefined; go through a copy.
        const Bytes copy = bytes;
        out.insert(out.end(), copy.begin(), copy.end());
        return;
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void write_bytes(Bytes& out, const std::uint8_t* data, std::size_t length) {
    if (length == 0) return;
    out.insert(out.end(), data, data + length);
}

void write_compact_size(Bytes& out, std::uint64_t n) {
    if (n <= 252) {
        write_u8(out, static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        write_u8(out, 0xFD);
        write_le(out, n, 2);
    } else if (n <= 0xFFFFFFFF) {
        write_u8(out, 0xFE);
        write_le(out, n, 4);
    } else {
        write_u8(out, 0xFF);
        write_le(out, n, 8);
    }
}

void write_push(Bytes& out, const Bytes& data) {
    const std::uint64_t size = data.size();
    if (size <= 75) {
        write_u8(out, static_cast<std::uint8_t>(size));
    } else if (size <= 0xFF) {
        write_u8(out, 0x4C);  // OP_PUSHDATA1
        write_le(out, size, 1);
    } else if (size <= 0xFFFF) {
        write_u8(out, 0x4D);  // OP_PUSHDATA2
        write_le(out, size, 2);
    } else {
        write_u8(out, 0x4E);  // OP_PUSHDATA4
        write_le(out, size, 4);
    }
    write_bytes(out, data);
}

Bytes encode_script_num(std::uint64_t n) {
    Bytes out;
    while (n != 0) {
        out.push_back(static_cast<std::uint8_t>(n));
        n >>= 8;
    }
    // A set top bit would make the number read as negative.
    if (!out.empty() && (out.back() & 0x80) != 0) out.push_back(0x00);
    return out;
}

}  // namespace qvn
