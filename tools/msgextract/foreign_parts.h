// Postings that other tools made, as they arrive in message texts. A file cut
// into parts carries the part's number in the subject ("(i/n)", "[i/n]",
// "i/n", "part i of n", "section i of n"), in a header line of the text
// ("_=_ Part i of n of file NAME", "section i of uuencode VERSION of file
// NAME", a MIME "Content-Type: message/partial; number=i; total=n; id=..."),
// or in yEnc's own "=ybegin part=i total=n". Its data is uuencoded (after a
// "begin MODE NAME" line in part 1), xxencoded (likewise), base64 ("begin-
// base64 MODE NAME" ... "====", or a MIME part with a file name) or yEnc
// ("=ybegin" ... "=yend", CRC-32 checked where given). A file posted whole in
// one message in any of these encodings is a block, as a uuencoded one is.
//
// Parts join into postings through the same joiner as the project's own
// sections, keyed by sender, the name the numbering gives (the header's file
// name, the MIME id, or the subject less its numbering) and the part count,
// and held to the order of their dates (JoinPieces).
// Where the numberings of one message disagree, or a part's data cannot be
// told from the text around it, nothing is guessed: the piece carries the
// reason and its posting is bad.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/msgextract/posting_scan.h"

namespace msgextract {

// Appends the pieces that other tools' conventions make of Message and
// returns true when it follows one of them; false (nothing appended) when it
// holds one of the project's own section headers, or nothing but uuencoded
// blocks without a part number, which the project's scanner reads. Bad
// blocks past the first MaxBadKept are counted in Ignored (when given), not
// appended. ScanMessage calls it and gives the pieces their identity.
[[nodiscard]] bool ScanForeignMessage(const TMessageText& Message, std::vector<TPiece>& Pieces,
                                      TIgnoredLines* Ignored = nullptr);

// A part number as a subject or header line gives it: i of n (n is 0 where
// the convention does not say), and the name that keys the posting.
struct TPartNumber {
  std::uint64_t Index = 0;
  std::uint64_t Count = 0;
  std::string Key;
  std::string FileName;  // a header line's file name: part 1's, where no begin line names it
};

// The last part number that Subject holds, in any of the subject forms above;
// Key is the subject without it, blanks folded. False when it holds none.
[[nodiscard]] bool SubjectPartNumber(std::string_view Subject, TPartNumber& Number);

// After joining: a posting of parts whose count no part gave (the classic
// header has none) gets the number of the part that holds the end of its
// data, or one more than the highest part found when none does.
void SettleForeignCounts(std::vector<TPosting>& Postings, const std::vector<TPiece>& Pieces);

// The checks of a posting of parts that has every part, none faulty: one
// encoding throughout, the file's name in part 1, every part but the last
// full, the data ending in the last, the yEnc offsets, size and file CRC-32
// (put together from the parts' Crc, so that no part's bytes need be held).
[[nodiscard]] TPostingCheck CheckForeignPosting(const TPosting& Posting,
                                                const std::vector<TPiece>& Pieces);

}  // namespace msgextract
