// Hexadecimal text as the pool protocol writes it: lowercase, two digits per byte, bytes in
// order; 32-bit values as exactly eight digits, most significant first. Pure functions; any
// thread may call them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "work/job.h"

namespace tavo {

// Decodes pairs of hex digits (either case) into bytes, first digit the high half. Returns false
// for an odd length or any non-hex character and then leaves `out` empty. An empty text decodes
// to no bytes and returns true.
bool hex_decode(std::string_view text, Bytes& out);

// Two lowercase digits per byte, in order.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// Exactly eight lowercase digits, most significant first: 255 gives "000000ff".
std::string hex_u32(std::uint32_t value);

}  // namespace tavo
