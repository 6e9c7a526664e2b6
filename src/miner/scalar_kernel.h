// The fixed-header scalar kernel: SHA3-256t of one 80-byte header for one
// nonce, with every padding byte at a known lane. Used for the last nonces of
// a worker's range that do not fill a vector group, and by the self-test.
#pragma once

#include <cstdint>

#include "miner/lanes.h"

namespace qvn {

// Keccak-f[1600], straight-line: no loop, no branch, no table lookup. Correct
// only for the states the kernels build: lanes 11..15 and 17..24 zero and
// lane 16 = 0x8000000000000000 on entry.
void keccak_f1600_unrolled(std::uint64_t (&lanes)[25]);

// SHA3-256t of the header in lanes with nonce in bytes 76..79 (whatever the
// header held there is ignored). out is the digest as four words.
void sha3_256t_fixed(const HeaderLanes& lanes, std::uint32_t nonce, HashWords& out);

}  // namespace qvn
