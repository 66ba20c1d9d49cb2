// The proof of work: SHA3-256 over "QRBPOW01" followed by the 80-byte header, the digest compared
// with big-endian 256-bit targets, and the 64-bit prefilter the GPU applies to digest lane 3.
// This is the CPU reference every GPU result is checked against. All functions are pure and
// re-entrant; any thread may call them at any time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "work/job.h"

namespace tavo {

using Digest = std::array<std::uint8_t, 32>;   // read as a little-endian number: byte 31 on top

inline constexpr char kPowPrefix[9] = "QRBPOW01";
inline constexpr std::size_t kPowPrefixSize = 8;
inline constexpr std::size_t kPowMessageSize = 88;   // prefix + header: one SHA3-256 block
using PowMessage = std::array<std::uint8_t, kPowMessageSize>;

// The 88-byte proof-of-work message: "QRBPOW01" (no terminator) followed by `header`.
PowMessage pow_message(const Header& header);

// SHA3-256 of `size` bytes at `data` through OpenSSL's one-shot digest. Returns false if the
// library fails (it should not); `out` then holds 32 bytes 0xFF, the largest digest number: it
// meets no target short of all 0xFF, and a GPU lane matches its lane 3 only by a 2^-64 chance.
bool sha3_256(const std::uint8_t* data, std::size_t size, Digest& out);

// SHA3-256 of the proof-of-work message built from `header` (nonce already in place). Keeps no
// state between calls. On a library failure the digest is all 0xFF (see sha3_256).
Digest pow_hash(const Header& header);

// True when the digest number is at most the target number (equality meets).
bool meets_target(const Digest& digest, const Target& target);

// Digest bytes 24..31 read little-endian: the most significant 64 bits of the digest number.
std::uint64_t digest_lane3(const Digest& digest);

// Target bytes 0..7 read big-endian.
std::uint64_t target_top64(const Target& target);

// The larger top-64 value of the two targets: every digest meeting either has lane 3 at most this.
std::uint64_t prefilter_threshold(const Target& share_target, const Target& block_target);

enum class Verdict { Block, Share, None };

// Block candidate first (it is submitted as a share without testing the share target), then share.
Verdict classify(const Digest& digest, const Target& share_target, const Target& block_target);

}  // namespace tavo
