// The self-tests behind --selftest: published hash vectors, then both
// fixed-header kernels and the chunk miner against the portable SHA3-256t.
#pragma once

#include <string>

namespace qvn {

// SHA3-256 of "" and "abc" and SHA-256 of "", each on one hand-padded block.
// On failure writes the first mismatch to *failure (when failure is not null);
// on success leaves it untouched.
bool hash_selftest(std::string* failure);

// hash_selftest, then the scalar kernel, the linked group kernel and a one-nonce
// chunk against the portable hash. Same failure convention; never throws.
bool miner_selftest(std::string* failure);

}  // namespace qvn
