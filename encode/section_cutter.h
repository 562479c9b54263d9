// The section cutter rebuilds the encoder's line list into numbered sections of
// at most Lines data lines, each with its own header, blank, backquote and end
// lines (the begin line only in section 1), separated by "---" lines; a
// remainder section at the end has no separator. Also the arithmetic that tells
// beforehand whether a file's encoded and cut lists fit into the 65535-element
// arrays, so a caller can refuse a file before anything is written.
#pragma once

#include <cstdint>

#include "encode/dyn_array.h"

namespace vellumar {

// Data lines the encoder writes for a file of FileSize bytes.
[[nodiscard]] std::uint64_t UUEDataLines(std::uint64_t FileSize);

// Lines of the cut list for DataLines data lines and Lines (at least 1) data
// lines per section; the number of sections goes to Parts.
[[nodiscard]] std::uint64_t CutLineCount(std::uint64_t DataLines, std::uint16_t Lines,
                                         std::uint64_t& Parts);

// True when a file of FileSize bytes can be posted with Lines data lines per
// message: its encoded list fits into an array and, when it has more lines than
// Lines and so needs cutting, its cut list fits too and the sections are
// countable in 16 bits. False for Lines 0.
[[nodiscard]] bool UUEFits(std::uint64_t FileSize, std::uint16_t Lines);

// The largest file size for which UUEFits holds with Lines (0 for Lines 0).
[[nodiscard]] std::uint64_t MaxUUEFileSize(std::uint16_t Lines);

// Rebuilds OrigUUE, the encoder's list, into sections of at most Lines data
// lines and writes their number to Parts. False, with OrigUUE and Parts
// unchanged, when Lines is 0, OrigUUE is shorter than an encoded block (5 lines)
// or the result would not fit into an array.
[[nodiscard]] bool LCutUUE(TStrDynArray& OrigUUE, std::uint16_t Lines, std::uint16_t& Parts);

}  // namespace vellumar
