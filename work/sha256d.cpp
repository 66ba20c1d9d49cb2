#include "work/sha256d.h"

#include <openssl/sha.h>

namespace tavo {

Hash32 sha256d(const std::uint8_t* data, std::size_t size) {
  // OpenSSL's one-shot SHA256 works on a context of its own, so concurrent callers share nothing.
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  SHA256(data, size, first);
  Hash32 out{};
  SHA256(first, sizeof first, out.data());
  return out;
}

}  // namespace tavo
