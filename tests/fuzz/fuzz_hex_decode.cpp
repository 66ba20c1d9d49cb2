// Fuzz target: the hex decoder every job field of a notification goes through, and the encoders
// that write shares back.
//
// Properties: a text decodes exactly when it has an even length and only hex digits; a decoded
// text re-encodes to its lowercase form; a failed decode leaves nothing behind; eight digits
// decode to the big-endian value that hex_u32 writes back.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "pool/hex.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool all_hex = size % 2 == 0;
  for (const char c : text) all_hex = all_hex && std::isxdigit(static_cast<unsigned char>(c)) != 0;

  tavo::Bytes out = {0xAA};  // stale contents must not survive
  const bool ok = tavo::hex_decode(text, out);
  FUZZ_CHECK(ok == all_hex);
  if (!ok) {
    FUZZ_CHECK(out.empty());
    return 0;
  }
  FUZZ_CHECK(out.size() == size / 2);
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(tavo::hex_encode(out) == lower);

  if (out.size() == 4) {
    const std::uint32_t value = (std::uint32_t{out[0]} << 24) | (std::uint32_t{out[1]} << 16) |
                                (std::uint32_t{out[2]} << 8) | out[3];
    FUZZ_CHECK(tavo::hex_u32(value) == lower);
    char printed[16];
    std::snprintf(printed, sizeof printed, "%08x", static_cast<unsigned>(value));
    FUZZ_CHECK(lower == printed);
  }
  return 0;
}
