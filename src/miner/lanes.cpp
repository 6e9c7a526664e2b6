#include "miner/lanes.h"

#include <cstddef>

namespace qvn {
namespace {

std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

HeaderLanes header_lanes(const std::array<std::uint8_t, 80>& header) {
    HeaderLanes lanes;
    for (std::size_t i = 0; i < lanes.words.size(); ++i) lanes.words[i] = load_le64(&header[8 * i]);
    return lanes;
}

TargetWords target_words(const Hash32& target) {
    TargetWords words;
    for (std::size_t j = 0; j < words.words.size(); ++j) words.words[j] = load_le64(&target[8 * j]);
    return words;
}

Hash32 hash_bytes(const HashWords& hash) {
    Hash32 bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(hash[i / 8] >> (8 * (i % 8)));
    return bytes;
}

}  // namespace qvn
