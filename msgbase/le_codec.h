// Little-endian coding of stored numbers. Every record of every base format is
// packed without gaps and stores its numbers little-endian; record encoders and
// decoders put and get them through these helpers, which work with shifts so
// they neither depend on the host's byte order nor need aligned buffers.
// The caller guarantees that the bytes addressed lie inside its buffer (record
// decoders check the buffer's size once, before reading any field).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace msgbase {

// The 16-bit value stored at P (P[0] the low byte).
[[nodiscard]] inline std::uint16_t GetLE16(const std::uint8_t* P) {
  return static_cast<std::uint16_t>(P[0] | (P[1] << 8));
}

// The 32-bit value stored at P (P[0] the lowest byte).
[[nodiscard]] inline std::uint32_t GetLE32(const std::uint8_t* P) {
  return static_cast<std::uint32_t>(P[0]) | (static_cast<std::uint32_t>(P[1]) << 8) |
         (static_cast<std::uint32_t>(P[2]) << 16) | (static_cast<std::uint32_t>(P[3]) << 24);
}

// The same bytes read as two's-complement signed numbers.
[[nodiscard]] inline std::int16_t GetLEInt16(const std::uint8_t* P) {
  return static_cast<std::int16_t>(GetLE16(P));
}
[[nodiscard]] inline std::int32_t GetLEInt32(const std::uint8_t* P) {
  return static_cast<std::int32_t>(GetLE32(P));
}

// Stores Value at P, low byte first.
inline void PutLE16(std::uint8_t* P, std::uint16_t Value) {
  P[0] = static_cast<std::uint8_t>(Value & 0xFFu);
  P[1] = static_cast<std::uint8_t>(Value >> 8);
}
inline void PutLE32(std::uint8_t* P, std::uint32_t Value) {
  P[0] = static_cast<std::uint8_t>(Value & 0xFFu);
  P[1] = static_cast<std::uint8_t>((Value >> 8) & 0xFFu);
  P[2] = static_cast<std::uint8_t>((Value >> 16) & 0xFFu);
  P[3] = static_cast<std::uint8_t>(Value >> 24);
}
inline void PutLEInt16(std::uint8_t* P, std::int16_t Value) {
  PutLE16(P, static_cast<std::uint16_t>(Value));
}
inline void PutLEInt32(std::uint8_t* P, std::int32_t Value) {
  PutLE32(P, static_cast<std::uint32_t>(Value));
}

// Fixed-size text fields are copied byte for byte, the bytes after a text's
// terminating zero included, so that a header read, changed and written back
// keeps them.
template <std::size_t N>
inline void GetFixedText(const std::uint8_t* P, std::array<char, N>& Field) {
  std::memcpy(Field.data(), P, N);
}
template <std::size_t N>
inline void PutFixedText(std::uint8_t* P, const std::array<char, N>& Field) {
  std::memcpy(P, Field.data(), N);
}

}  // namespace msgbase
