// The two targets of a job and the block height its coinbase announces. A target is a 256-bit
// unsigned number stored as 32 bytes, byte 0 most significant. Pure functions; any thread may
// call them.
#pragma once

#include <cstdint>
#include <span>

#include "work/job.h"

namespace tavo {

// The share target for pool difficulty `difficulty`: 0xFFFF * 2^208 / difficulty, carried to 64
// significant bits. All bytes 0xFF when the difficulty is not above 0 (NaN included) or so small
// that the quotient does not fit in 256 bits.
Target difficulty_to_target(double difficulty);

// The block target of a compact "bits" value: mantissa (low 23 bits) times 256^(exponent - 3).
// The sign bit is ignored; an exponent above 32 gives all bytes 0xFF.
Target nbits_to_target(std::uint32_t nbits);

// The height a BIP34 coinbase pushes first in its input script (script at byte 42 of a standard
// serialization): a 1- to 4-byte little-endian push. 0 when the coinbase is too short or the
// push length is out of range.
std::uint64_t coinbase_height(std::span<const std::uint8_t> coinb1);

}  // namespace tavo
