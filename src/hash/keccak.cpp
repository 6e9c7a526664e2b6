#include "hash/keccak.h"

#include <bit>

namespace qvn {

void keccak_f1600(std::uint64_t lanes[25]) {
    for (int round = 0; round < 24; ++round) {
        // Theta: every lane takes the parities of its two neighbouring columns.
        std::uint64_t parity[5];
        for (int x = 0; x < 5; ++x)
            parity[x] = lanes[x] ^ lanes[x + 5] ^ lanes[x + 10] ^ lanes[x + 15] ^ lanes[x + 20];
        for (int x = 0; x < 5; ++x) {
            const std::uint64_t d = parity[(x + 4) % 5] ^ std::rotl(parity[(x + 1) % 5], 1);
            for (int y = 0; y < 25; y += 5) lanes[x + y] ^= d;
        }

        // Rho and pi: rotate each lane and move it to its new place.
        std::uint64_t moved[25];
        for (int lane = 0; lane < 25; ++lane)
            moved[kKeccakPiTargets[lane]] = std::rotl(lanes[lane], kKeccakRotations[lane]);

        // Chi: the only non-linear step, row by row.
        for (int y = 0; y < 25; y += 5)
            for (int x = 0; x < 5; ++x)
                lanes[x + y] = moved[x + y] ^ (~moved[(x + 1) % 5 + y] & moved[(x + 2) % 5 + y]);

        lanes[0] ^= kKeccakRoundConstants[round];
    }
}

}  // namespace qvn
