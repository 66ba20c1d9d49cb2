#include "work/job.h"

#include <cstring>

#include "work/sha256d.h"

namespace tavo {

namespace {

void put_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void append(Bytes& out, std::size_t& at, const Bytes& part) {
  if (!part.empty()) std::memcpy(out.data() + at, part.data(), part.size());
  at += part.size();
}

}  // namespace

bool job_usable(const Job& job) { return !job.job_id.empty() && !job.coinb1.empty(); }

Bytes make_extranonce2(std::int32_t size, int worker_index, std::uint32_t& counter) {
  if (size < 1) return {};
  const auto n = static_cast<std::size_t>(size);
  Bytes out(n, 0);
  out[0] = static_cast<std::uint8_t>(worker_index);

  const std::uint32_t c = counter;
  counter = c + 1;

  if (n == 1) {
    // One byte cannot hold both, so the worker keeps the high nibble and the counter the low one.
    const unsigned worker_nibble = static_cast<unsigned>(worker_index) << 4;
    out[0] = static_cast<std::uint8_t>(worker_nibble | (counter & 0xF));
    return out;
  }
  // Bytes n-1 down to 1 take the counter from its least significant byte; a counter has only four.
  std::uint32_t rest = c;
  for (std::size_t i = n - 1, written = 0; i >= 1 && written < 4; --i, ++written) {
    out[i] = static_cast<std::uint8_t>(rest);
    rest >>= 8;
  }
  return out;
}

Header build_header(const Job& job, const Bytes& extranonce2) {
  Bytes coinbase(job.coinb1.size() + job.extranonce1.size() + extranonce2.size() +
                 job.coinb2.size());
  std::size_t at = 0;
  append(coinbase, at, job.coinb1);
  append(coinbase, at, job.extranonce1);
  append(coinbase, at, extranonce2);
  append(coinbase, at, job.coinb2);

  Hash32 root = sha256d(coinbase.data(), coinbase.size());
  for (const Hash32& branch : job.merkle_branches) {
    std::uint8_t pair[64];
    std::memcpy(pair, root.data(), 32);
    std::memcpy(pair + 32, branch.data(), 32);
    root = sha256d(pair, sizeof pair);
  }

  Header header{};
  put_le32(header.data() + 0, job.version);
  std::memcpy(header.data() + 4, job.prev_hash.data(), 32);
  std::memcpy(header.data() + 36, root.data(), 32);
  put_le32(header.data() + 68, job.ntime);
  put_le32(header.data() + 72, job.nbits);
  put_le32(header.data() + kHeaderNonceOffset, 0);
  return header;
}

std::string extranonce2_hex(const Bytes& extranonce2) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(extranonce2.size() * 2);
  for (std::uint8_t b : extranonce2) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

void set_header_nonce(Header& header, std::uint32_t nonce) {
  put_le32(header.data() + kHeaderNonceOffset, nonce);
}

std::uint32_t header_nonce(const Header& header) {
  const std::uint8_t* p = header.data() + kHeaderNonceOffset;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace tavo
