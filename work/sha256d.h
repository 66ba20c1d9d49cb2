// Double SHA-256, the hash that combines the coinbase and the merkle branches into a merkle root.
// A pure function over caller-owned bytes; any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "work/job.h"

namespace tavo {

// SHA-256(SHA-256(data)), the 32 bytes exactly as the second hash produces them.
Hash32 sha256d(const std::uint8_t* data, std::size_t size);

}  // namespace tavo
