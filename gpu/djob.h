// Fixed-layout records shared byte for byte by host code and device code: DJob (parameter block of
// the plain kernels and the worker's description of every batch), il::DJobIL (parameter block of
// the bit-interleaved kernels, derived from a DJob on the host) and DRes (a batch's result). Their
// sizes and offsets are checked at compile time. The host helpers below are pure functions; any
// thread may call them. The Keccak tables the device code shares with them are in work/keccak.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

struct DJob {
  std::uint8_t msg[88];        // "QRBPOW01" + 80-byte header; nonce bytes 84..87 are not read
  std::uint64_t target64;      // candidate threshold on digest lane 3
  std::uint32_t nonce_base;    // first nonce (plain profiles) or first counter value (interleaved)
  std::uint32_t pad;           // zero, unread
};

struct DRes {
  std::uint32_t count;         // candidates found; keeps counting past 63
  std::uint32_t nonce[63];     // slot i: the candidate whose append returned index i
};

namespace il {

struct DJobIL {
  std::uint64_t lanes[25];     // round-0 state after theta, rho, pi (nonce bits zero), interleaved
  std::uint32_t mask_even;     // lane 3 even word must be zero under this mask ...
  std::uint32_t mask_odd;      // ... and the odd word under this one
  std::uint32_t nonce_base;    // first counter value
  std::uint32_t pad;
};

}  // namespace il

static_assert(std::is_standard_layout_v<DJob> && std::is_trivially_copyable_v<DJob>);
static_assert(sizeof(DJob) == 104);
static_assert(offsetof(DJob, msg) == 0 && offsetof(DJob, target64) == 88);
static_assert(offsetof(DJob, nonce_base) == 96 && offsetof(DJob, pad) == 100);
static_assert(std::is_standard_layout_v<DRes> && std::is_trivially_copyable_v<DRes>);
static_assert(sizeof(DRes) == 256 && offsetof(DRes, count) == 0 && offsetof(DRes, nonce) == 4);
static_assert(std::is_standard_layout_v<il::DJobIL> && std::is_trivially_copyable_v<il::DJobIL>);
static_assert(sizeof(il::DJobIL) == 216);
static_assert(offsetof(il::DJobIL, lanes) == 0 && offsetof(il::DJobIL, mask_even) == 200);
static_assert(offsetof(il::DJobIL, mask_odd) == 204 && offsetof(il::DJobIL, nonce_base) == 208);
static_assert(offsetof(il::DJobIL, pad) == 212);

inline constexpr std::uint32_t kResultSlots = 63;

// Bit i of the result is bit 2i of v (even word, low half); bit 32+i is bit 2i+1 (odd word).
std::uint64_t interleave(std::uint64_t v);
// Inverse of interleave.
std::uint64_t deinterleave(std::uint64_t w);

// The device job block of an 80-byte header: "QRBPOW01" + header with its nonce bytes cleared,
// the given target64 and nonce_base, padding zero.
DJob make_djob(const std::array<std::uint8_t, 80>& header, std::uint64_t target64,
               std::uint32_t nonce_base);

// Round-0 theta/rho/pi state of the padded block (nonce bits zero) in interleaved form, the two
// lane-3 masks from the leading zeros of target64, and nonce_base copied. The job's own nonce
// bytes are not read, so jobs that differ only there give identical results.
il::DJobIL make_djob_il(const DJob& job);

// The lane-3 masks for a prefilter threshold: with z its leading zero bits (64 for 0), the even
// word's mask has its floor(z/2) top bits set and the odd word's its ceil(z/2). A lane passes when
// both masked words are zero, that is when it is below 2^(64 - z); every lane <= target64 passes.
void il_masks(std::uint64_t target64, std::uint32_t& mask_even, std::uint32_t& mask_odd);

// Host reference of the interleaved search for counter value k: adds the nonce's contribution to
// job.lanes, finishes round 0, runs rounds 1..23 and returns lane 3 in interleaved form (even
// word low, odd word high). The counter maps to the header nonce by spreading: bit i of k is nonce
// bit 2i, bit 16 + i is nonce bit 2i + 1.
std::uint64_t il_lane3_reference(const il::DJobIL& job, std::uint32_t k);
