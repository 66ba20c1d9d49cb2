#include "work/pow.h"

#include <openssl/evp.h>

#include <cstring>

namespace tavo {

PowMessage pow_message(const Header& header) {
  PowMessage msg{};
  std::memcpy(msg.data(), kPowPrefix, kPowPrefixSize);
  std::memcpy(msg.data() + kPowPrefixSize, header.data(), header.size());
  return msg;
}

bool sha3_256(const std::uint8_t* data, std::size_t size, Digest& out) {
  unsigned int written = 0;
  const EVP_MD* md = EVP_sha3_256();
  if (md != nullptr && EVP_Digest(data, size, out.data(), &written, md, nullptr) == 1 &&
      written == out.size()) {
    return true;
  }
  // The largest digest number: a failed hash must never look like a share or agree with a GPU.
  out.fill(0xFF);
  return false;
}

Digest pow_hash(const Header& header) {
  const PowMessage msg = pow_message(header);
  Digest digest;
  sha3_256(msg.data(), msg.size(), digest);
  return digest;
}

bool meets_target(const Digest& digest, const Target& target) {
  // Digest byte 31 and target byte 0 are both the most significant; walk down from there.
  for (std::size_t i = 0; i < 32; ++i) {
    const std::uint8_t d = digest[31 - i];
    const std::uint8_t t = target[i];
    if (d != t) return d < t;
  }
  return true;
}

std::uint64_t digest_lane3(const Digest& digest) {
  std::uint64_t v = 0;
  for (int i = 31; i >= 24; --i) v = (v << 8) | digest[static_cast<std::size_t>(i)];
  return v;
}

std::uint64_t target_top64(const Target& target) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | target[i];
  return v;
}

std::uint64_t prefilter_threshold(const Target& share_target, const Target& block_target) {
  const std::uint64_t share = target_top64(share_target);
  const std::uint64_t block = target_top64(block_target);
  return share > block ? share : block;
}

Verdict classify(const Digest& digest, const Target& share_target, const Target& block_target) {
  if (meets_target(digest, block_target)) return Verdict::Block;
  if (meets_target(digest, share_target)) return Verdict::Share;
  return Verdict::None;
}

}  // namespace tavo
