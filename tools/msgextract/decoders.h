// The encodings other tools post files in, one line at a time: xxencode (the
// uuencoded line format over another alphabet), base64 (in "begin-base64"
// blocks and MIME parts) and yEnc (bytes written almost as they are, with an
// escape for the few a text cannot carry, and CRC-32 checks). Uuencoded lines
// are decoded by encode/uudecode.h. Nothing here knows about messages or
// postings: the recognisers in tools/msgextract/foreign_parts.h feed it lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace msgextract {

enum TEncoding : std::int32_t {
  enUU = 0,      // uuencode: length character, 4 characters for 3 bytes
  enXX = 1,      // xxencode: the same over "+-0-9A-Za-z"
  enBase64 = 2,  // base64: 4 characters for 3 bytes, no length character
  enYEnc = 3,    // yEnc: every byte plus 42, escaped with '=' where needed
};

// "uuencode", "xxencode", "base64", "yEnc".
[[nodiscard]] std::string EncodingName(TEncoding Encoding);

// Bytes a full xx line carries (its length character is 'h').
inline constexpr std::size_t XXMaxLineBytes = 45;

// Decodes one xxencoded line strictly (no characters may be missing) and
// appends its bytes to Out; Count receives its byte count. False, with Out as
// it was, when the line is not xxencoded data.
[[nodiscard]] bool XXDecodeLine(std::string_view Line, std::string& Out, std::size_t& Count);

// Decodes one line of base64: whole groups of four characters, '=' padding
// only in its last group. Appends the bytes to Out; Padded tells whether the
// line ended the data with padding. False, with Out as it was, otherwise.
[[nodiscard]] bool Base64DecodeLine(std::string_view Line, std::string& Out, bool& Padded);

// Whether Line can be a base64 data line at all (a cheap look at its size and
// characters, padding allowed).
[[nodiscard]] bool Base64MayBeLine(std::string_view Line);

// Decodes one line of yEnc and appends its bytes to Out; false (Out as it
// was) when an escape character ends the line.
[[nodiscard]] bool YEncDecodeLine(std::string_view Line, std::string& Out);

// The standard CRC-32 (as yEnc's crc32= and pcrc32= give it) of Data, going
// on from a previous Crc32 result.
[[nodiscard]] std::uint32_t Crc32(std::string_view Data, std::uint32_t Previous = 0);
// The CRC-32 of A's bytes followed by B's, from their CRC-32s and B's length.
[[nodiscard]] std::uint32_t Crc32Combine(std::uint32_t CrcA, std::uint32_t CrcB,
                                         std::uint64_t LengthB);

// The value of "Key=" in a yEnc keyword line ("=ybegin part=1 size=..."), as
// a decimal number (Hex: hexadecimal); false when the key is not there or its
// value is no number that fits 64 bits.
[[nodiscard]] bool YEncNumber(std::string_view Line, std::string_view Key, bool Hex,
                              std::uint64_t& Value);

// The name of an "=ybegin" line: everything after " name=", which ends the
// line; false when there is none.
[[nodiscard]] bool YEncName(std::string_view Line, std::string& Name);

}  // namespace msgextract
