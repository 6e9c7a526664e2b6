#include "block/merkle.h"

#include <cstring>

#include "hash/sha256.h"

namespace qvn {

Hash32 merkle_root(std::vector<Hash32> leaves) {
    if (leaves.empty()) return Hash32{};
    while (leaves.size() > 1) {
        if (leaves.size() % 2 != 0) leaves.push_back(leaves.back());
        std::vector<Hash32> next;
        next.reserve(leaves.size() / 2);
        for (std::size_t i = 0; i < leaves.size(); i += 2) {
            std::uint8_t pair[64];
            std::memcpy(pair, leaves[i].data(), 32);
            std::memcpy(pair + 32, leaves[i + 1].data(), 32);
            Hash32 node;
            sha256d(node.data(), pair, sizeof pair);
            next.push_back(node);
        }
        leaves = std::move(next);
    }
    return leaves.front();
}

}  // namespace qvn
