// Little-endian 32-bit words, the only number type of the database files. Encoded with explicit
// shifts so the files read the same on any host.
#pragma once

#include <cstdint>

namespace dbfiles {

// REQUIRES: p points at 4 readable bytes.
inline std::uint32_t decode_fixed32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// REQUIRES: p points at 4 writable bytes.
inline void encode_fixed32(unsigned char* p, std::uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace dbfiles
