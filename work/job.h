// tavo::Job is one unit of work from the pool: everything needed to build block headers for the
// pool's current template. It is a plain value record; every copy owns its strings and vectors, so
// copies travel freely between the pool client's session thread and the worker threads (the
// miner copies it under its own lock). The helpers below are pure functions of their arguments;
// make_extranonce2 advances a counter that belongs to the calling worker thread alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavo {

using Bytes = std::vector<std::uint8_t>;
using Hash32 = std::array<std::uint8_t, 32>;    // hashes and digests, bytes as produced
using Target = std::array<std::uint8_t, 32>;    // 256-bit number, byte 0 most significant
using Header = std::array<std::uint8_t, 80>;    // block header; nonce at bytes 76..79 (little-endian)

struct Job {
  std::uint64_t seq = 0;                 // 0: no job (the blank job)
  std::string job_id;                    // pool's id, sent back with every share
  Hash32 prev_hash{};                    // header byte order (each 4-byte group of the notify reversed)
  Bytes coinb1;
  Bytes coinb2;
  std::vector<Hash32> merkle_branches;   // as decoded, in order
  std::uint32_t version = 0;
  std::uint32_t nbits = 0;
  std::uint32_t ntime = 0;
  bool clean_jobs = false;
  Bytes extranonce1;
  std::int32_t extranonce2_size = 4;
  Target share_target{};
  Target block_target{};
  std::uint64_t height = 0;              // BIP34 height from the coinbase; 0 when absent
};

// True when the job can be mined: a non-empty job id and a non-empty coinb1.
bool job_usable(const Job& job);

// Returns `size` extranonce2 bytes for worker `worker_index` and advances `counter` by one
// (32-bit wrap). Byte 0 carries the low 8 bits of the worker index; the counter's value before the
// call fills the bytes behind it, least significant byte last, and bytes beyond its four stay 0.
// With size 1 the byte is (worker << 4) | ((counter + 1) & 0xF), the advanced counter.
// Expected: 1 <= size <= 8 (the pool client refuses other sizes). A size below 1 yields no bytes
// and leaves `counter` alone rather than writing outside the buffer.
Bytes make_extranonce2(std::int32_t size, int worker_index, std::uint32_t& counter);

// Returns the 80-byte header of `job` with `extranonce2`: coinbase = coinb1 + extranonce1 +
// extranonce2 + coinb2, merkle root by double SHA-256 over the branches, nonce 0.
Header build_header(const Job& job, const Bytes& extranonce2);

// Lowercase hexadecimal, two digits per byte, in byte order (the form a share is submitted in).
std::string extranonce2_hex(const Bytes& extranonce2);

// The nonce field of a header: bytes 76..79, little-endian.
inline constexpr std::size_t kHeaderNonceOffset = 76;
void set_header_nonce(Header& header, std::uint32_t nonce);
std::uint32_t header_nonce(const Header& header);

}  // namespace tavo
