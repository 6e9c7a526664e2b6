// Compiled once per flavour, with its kernel: everything that names the group
// kernel at compile time, so that the code around it is shared by every
// flavour.
#include "miner/group_kernel.h"

#include "miner/chunk_miner.h"
#include "miner/kernel_choice.h"
#include "miner/scalar_kernel.h"

// Only the kernels of the target's instruction set are declared; a flavour
// compiles only its own.
#if defined(__x86_64__)
#include "miner/x4_kernel.h"
#include "miner/x8_kernel.h"
#elif defined(__aarch64__)
#include "miner/x2_kernel.h"
#include "miner/x3_kernel.h"
#endif

namespace qvn {
namespace {

// Exactly one worker wins the flag; only the winner writes the record.
bool claim_hit(ChunkHit& hit, std::uint32_t nonce, const HashWords& hash) {
    bool expected = false;
    if (!hit.found.compare_exchange_strong(expected, true)) return false;
    hit.nonce = nonce;
    hit.hash = hash;
    return true;
}

}  // namespace

GroupKernel linked_group_kernel() { return kGroupKernel; }

bool hash_group(const HeaderLanes& lanes, const TargetWords& target, std::uint32_t n,
                std::uint32_t& nonce, HashWords& hash) {
    // The branches not taken are discarded, so a flavour needs only its own
    // kernel to link.
    if constexpr (kKernel == Kernel::kPortable) {
        HashWords words;
        sha3_256t_fixed(lanes, n, words);
        if (!meets_target(words, target)) return false;
        nonce = n;
        hash = words;
        return true;
#if defined(__x86_64__)
    } else if constexpr (kEightWayKernel) {
        return sha3_256t_fixed_x8(lanes, target, n, nonce, hash);
    } else {
        return sha3_256t_fixed_x4(lanes, target, n, nonce, hash);
#elif defined(__aarch64__)
    } else if constexpr (kThreeWayKernel) {
        return sha3_256t_fixed_x3(lanes, target, n, nonce, hash);
    } else {
        return sha3_256t_fixed_x2(lanes, target, n, nonce, hash);
#endif
    }
}

// The worker's loop, with the group's width a constant.
WorkerPass mine_worker(std::uint64_t first_nonce, std::uint64_t count, const HeaderLanes& lanes,
                       const TargetWords& target, ChunkHit& hit) {
    auto n = static_cast<std::uint32_t>(first_nonce);
    std::uint64_t left = count;
    WorkerPass pass;

    bool stopped = false;
    while (!stopped && left >= kGroupKernel.width) {
        if (chunk_over(hit)) break;
        std::uint32_t nonce = 0;
        HashWords hash{};
        const bool found = hash_group(lanes, target, n, nonce, hash);
        // The whole group was hashed, whichever of its nonces hit.
        pass.hashes += kGroupKernel.width;
        if (found) {
            pass.won = claim_hit(hit, nonce, hash);
            stopped = true;
        }
        left -= kGroupKernel.width;
        n += kGroupKernel.width;
    }

    // Scalar tail: the nonces that do not fill a group.
    for (; !stopped && left > 0; --left, ++n) {
        if (chunk_over(hit)) break;
        HashWords hash;
        sha3_256t_fixed(lanes, n, hash);
        ++pass.hashes;
        if (meets_target(hash, target)) {
            pass.won = claim_hit(hit, n, hash);
            stopped = true;
        }
    }
    return pass;
}

}  // namespace qvn
