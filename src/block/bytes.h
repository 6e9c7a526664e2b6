// Byte strings and 32-byte hashes shared by every subsystem.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace qvn {

// Growable byte string; every serialized structure is appended to one front to back.
using Bytes = std::vector<std::uint8_t>;

// A 32-byte hash in internal order (the order the hash function produces).
// Display order (node texts, log lines) is the same bytes reversed.
using Hash32 = std::array<std::uint8_t, 32>;

}  // namespace qvn
