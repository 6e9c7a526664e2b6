// Bitcoin merkle root over double SHA-256, hashes in internal order throughout.
#pragma once

#include <vector>

#include "block/bytes.h"

namespace qvn {

// The root of the leaves; an odd level pairs its last hash with itself.
// One leaf is returned unchanged, no leaves give 32 zero bytes.
Hash32 merkle_root(std::vector<Hash32> leaves);

}  // namespace qvn
