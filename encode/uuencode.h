// The uuencoder: turns one file into text lines appended to a TStrDynArray. The
// block is a header line that names the file and ends with the credit text
// TLMsg, the line "begin 644 <name>", one data line per 45 input bytes (a
// length character, then four characters for every three bytes; a file whose
// size is a multiple of 45 ends with a line holding a single blank), a line
// holding one backquote, and "end".
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "encode/dyn_array.h"

namespace vellumar {

using TTriplet = std::array<std::uint8_t, 3>;
using TKwartet = std::array<std::uint8_t, 4>;

// Added to every 6-bit value and to the byte count of a line.
inline constexpr std::uint8_t SP = 32;
// Input bytes per data line.
inline constexpr std::size_t UUEBlockSize = 45;

// The credit text that ends every header line of the encoder and the cutter;
// composition replaces it before encoding. At most 255 characters.
extern std::string TLMsg;

// The four output characters of one group of three bytes; a 6-bit value of 0
// is written as a backquote, so a blank is never a data character.
void Triplet2Kwartet(const TTriplet& Triplet, TKwartet& Kwartet);

// Appends the encoded block of the file at FileName to OutFile, with OutName as
// the name in the header and begin lines. True on success. False with ErrNo set
// to the errno of the failed open or read; false with ErrNo 0 when OutFile
// would grow past 65535 lines. OutFile may hold part of the block after a
// failure.
[[nodiscard]] bool UUEncode(const std::string& FileName, const std::string& OutName,
                            TStrDynArray& OutFile, int& ErrNo);

}  // namespace vellumar
