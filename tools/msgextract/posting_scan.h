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
// "end". Sections may sit anywhere in a message text, between lines that
// templates and tossers add, indented as quoting software indents them, and
// with every line end doubled. A header or begin line that no data follows is
// chat, not a posting.
//
// Sections of one posting agree on everything that identifies it: sender
// address, the whole file name, section count, lines per section, and the
// order of their message identifiers and dates (section i was written before
// section i + 1). A section that contradicts every posting it could join
// starts a new one; a byte-identical copy of a section already held (a dupe
// with the same message identifier) is dropped.
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
  std::int64_t Date = 0;                // when written, as a number that sorts by time; 0 unknown
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
  // What identifies the piece once Data is given back: its place among the
  // pieces of its message, the size and a digest of its bytes (and of the
  // begin line), the message's identifier and date.
  std::uint32_t Ordinal = 0;
  std::uint64_t Size = 0;
  std::uint64_t Digest = 0;
  std::string MsgIdOrigin;  // of the ^AMSGID line; empty when there is none
  std::uint32_t MsgIdSerial = 0;
  std::int64_t Date = 0;
  // What other tools' conventions add (tools/msgextract/foreign_parts.h).
  TEncoding Encoding = enUU;
  bool HasEnd = false;         // the line that closes the file's data is in it
  std::uint64_t Offset = 0;    // yEnc: where its bytes go in the file
  std::uint64_t FileSize = 0;  // yEnc: the whole file's size, as its begin line says
  bool HasFileCrc = false;     // yEnc: a CRC-32 of the whole file was given ...
  std::uint32_t FileCrc = 0;   // ... and this is it
  std::uint32_t Crc = 0;       // yEnc part: the CRC-32 of its bytes
};

// Header and begin lines that no data follows: chat, listed on request only.
struct TIgnoredLines {
  struct TLine {
    std::int32_t Message = 0;
    std::string Text;  // cut to a screen line
  };
  std::vector<TLine> Lines;  // the first MaxIgnoredKept of them
  std::uint64_t Count = 0;   // all of them
  // Faulty pieces past the first MaxBadKept of a message are counted, not
  // kept: a hostile text costs no memory by the number of its bad blocks.
  std::uint64_t BadNotKept = 0;
};
inline constexpr std::size_t MaxIgnoredKept = 100;
inline constexpr std::size_t MaxBadKept = 16;

// Appends every section and block of Message to Pieces, in text order (a
// message that follows another tool's conventions gives its parts and blocks
// instead, tools/msgextract/foreign_parts.h), and notes the lines that only
// look like a posting's start in Ignored (when given).
void ScanMessage(const TMessageText& Message, std::vector<TPiece>& Pieces,
                 TIgnoredLines* Ignored = nullptr);

struct TPosting {
  TPieceKind Kind = pkSection;
  std::string Sender;
  std::string Name;
  std::string Subject;  // of section 1's message, else of the first one found
  std::uint64_t Count = 1;
  std::map<std::uint64_t, std::size_t> Sections;  // section number -> index into the pieces
  // Data lines of a section before the last; 0 while none is held, and
  // always for other tools' parts, whose encoders count lines their own way.
  std::uint32_t LinesPerSection = 0;
  std::vector<std::size_t> Duplicates;  // pieces dropped as copies of one held
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

// A check that found Posting bad: the section (or part) the fault is in and
// what is wrong; nothing of a file to write.
[[nodiscard]] TPostingCheck BadPosting(std::uint64_t Section, std::string Problem);

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

// The name a begin line's name is written under: its last path component
// ('/' and '\\' both end one), with every control character, bidirectional
// control and a leading '.' or '-' made '_', and '_' put before a device name
// of DOS (CON, NUL, COM1, ... with or without an extension). False with a
// reason in Problem when the component is empty, "." or "..", or longer than
// a file name may be.
[[nodiscard]] bool SafeFileName(const std::string& Name, std::string& FileName,
                                std::string& Problem);

}  // namespace msgextract
