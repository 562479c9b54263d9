// Finding posted files in message texts and joining their sections: the part
// of msgextract that never touches a base or a file, so that it can be tested
// and fuzzed on texts alone.
//
// A posting is either a file cut into sections, one message each, or one
// begin ... end block that a single message holds. A section is the header
// line "Section i of n of file NAME" ("section 1 of 1 of file NAME" when the
// file fit into one message; anything after NAME on that line is a credit
// text), a blank line (only where the file was cut), the "begin MODE NAME"
// line in section 1 only, the data lines, a line holding one backquote and
// "end". Sections may sit anywhere in
// a message text, between lines that templates and tossers add. Sections of
// one posting share sender address, file name and section count; a section
// number that the newest posting of that key already holds starts a new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/msgextract/decoders.h"

namespace msgextract {

// The most sections a posting can have: the cutter counts them in 16 bits.
inline constexpr std::uint64_t MaxSections = 65535;

// One message as the scanner sees it.
struct TMessageText {
  std::int32_t Number = 0;
  std::string Sender;  // sender address as text
  std::string Subject;
  std::vector<std::string_view> Lines;  // not owned: views into the caller's text
};

enum TPieceKind : std::int32_t {
  pkSection = 0,  // "Section i of n of file NAME" and what follows
  pkBlock = 1,    // a begin ... end block without a section header
  pkPart = 2,     // a part of another tool's multi-part posting (foreign_parts.h)
};

// One section, or one block, as found in one message.
struct TPiece {
  TPieceKind Kind = pkSection;
  std::int32_t Message = 0;
  std::string Sender;
  std::string Subject;
  std::string Name;         // from the header line (the begin line for a block)
  std::uint64_t Index = 1;  // i of n; numbers too large to count are kept as the maximum
  std::uint64_t Count = 1;
  bool HasBegin = false;
  std::uint32_t Mode = 0;       // of the begin line, as written
  std::string BeginName;        // of the begin line, as written
  std::string Data;             // the decoded bytes
  std::uint32_t DataLines = 0;  // lines that carried bytes
  // Every data line carried a full 45 bytes and no zero-length line closed
  // the data before the backquote line: the file goes on in the next section.
  bool EndsFull = false;
  std::string Error;  // the first fault found in it; empty when none
  // What other tools' conventions add (tools/msgextract/foreign_parts.h).
  TEncoding Encoding = enUU;
  bool HasEnd = false;         // the line that closes the file's data is in it
  std::uint64_t Offset = 0;    // yEnc: where its bytes go in the file
  std::uint64_t FileSize = 0;  // yEnc: the whole file's size, as its begin line says
  bool HasFileCrc = false;     // yEnc: a CRC-32 of the whole file was given ...
  std::uint32_t FileCrc = 0;   // ... and this is it
};

// Appends every section and block of Message to Pieces, in text order; a
// message that follows another tool's conventions gives its parts and blocks
// instead (tools/msgextract/foreign_parts.h).
void ScanMessage(const TMessageText& Message, std::vector<TPiece>& Pieces);

struct TPosting {
  TPieceKind Kind = pkSection;
  std::string Sender;
  std::string Name;
  std::string Subject;  // of section 1's message, else of the first one found
  std::uint64_t Count = 1;
  std::map<std::uint64_t, std::size_t> Sections;  // section number -> index into the pieces
};

// Groups Pieces (in base order) into postings, in the order they first appear.
[[nodiscard]] std::vector<TPosting> JoinPieces(const std::vector<TPiece>& Pieces);

enum TPostingState : std::int32_t { psComplete = 0, psIncomplete = 1, psBad = 2 };

struct TPostingCheck {
  TPostingState State = psComplete;
  std::uint64_t Section = 0;  // the section a fault was found in
  std::string Problem;        // what is wrong with it (bad) or what is missing (incomplete)
  std::string FileName;       // the name to write the file under (complete only)
  std::uint32_t Mode = 0;     // the begin line's mode
  std::uint64_t Size = 0;     // bytes of the rebuilt file (complete only)
};

// Whether Posting can be rebuilt: every section present once, each one free
// of faults, the begin line in section 1, every section but the last full and
// all of them of the first one's length, and a safe file name.
[[nodiscard]] TPostingCheck CheckPosting(const TPosting& Posting,
                                         const std::vector<TPiece>& Pieces);

// The sections of 1..Count that Posting holds (Present) or lacks, as ranges.
[[nodiscard]] std::vector<std::pair<std::uint64_t, std::uint64_t>> SectionRanges(
    const TPosting& Posting, bool Present);
// Ranges as text: "1-3, 5".
[[nodiscard]] std::string RangesText(
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Ranges);

// The file's bytes: the data of every section in order, as views into Pieces.
[[nodiscard]] std::vector<std::string_view> FileParts(const TPosting& Posting,
                                                      const std::vector<TPiece>& Pieces);

// The last path component of a begin line's name ('/' and '\\' both end a
// component); false with a reason in Problem when that is empty, "." or
// "..", longer than a file name may be, or holds a control character.
[[nodiscard]] bool SafeFileName(const std::string& Name, std::string& FileName,
                                std::string& Problem);

}  // namespace msgextract
