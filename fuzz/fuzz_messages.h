// What msgextract's fuzz targets share: the input cut into messages, and the
// check of the postings joined from their pieces. The input is a run of
// messages separated by zero bytes; the first byte of each picks one of four
// senders and the rest is its text, lines ending in line feeds (with
// WithSubject, the first line is the subject).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/msgextract/posting_scan.h"

namespace fuzz_messages {

// Calls Visit with every message of Input, and with each of its lines first.
template <typename FLine, typename FMessage>
void ForEachMessage(std::string_view Input, bool WithSubject, FLine&& VisitLine, FMessage&& Visit) {
  std::int32_t Number = 0;
  std::size_t At = 0;
  while (At < Input.size()) {
    std::size_t End = Input.find('\0', At);
    if (End == std::string_view::npos) End = Input.size();
    std::string_view Text = Input.substr(At, End - At);
    At = End + 1;
    msgextract::TMessageText Message;
    Message.Number = ++Number;
    Message.Sender = Text.empty() ? "2:5020/100" : "2:5020/" + std::to_string(Text[0] & 3);
    if (!Text.empty()) Text.remove_prefix(1);
    bool Subject = WithSubject;
    while (!Text.empty()) {
      const std::size_t Eol = Text.find('\n');
      const std::string_view Line = Text.substr(0, Eol);
      Text.remove_prefix(Eol == std::string_view::npos ? Text.size() : Eol + 1);
      if (Subject) {
        Message.Subject = std::string(Line);
        Subject = false;
        continue;
      }
      VisitLine(Line);
      Message.Lines.push_back(Line);
    }
    Visit(Message);
  }
}

// Joins Pieces and checks every posting; a complete one is put together,
// which must give the size the check promised and a name without a path.
inline void CheckPostings(const std::vector<msgextract::TPiece>& Pieces) {
  for (const msgextract::TPosting& Posting : msgextract::JoinPieces(Pieces)) {
    const msgextract::TPostingCheck Check = msgextract::CheckPosting(Posting, Pieces);
    (void)msgextract::RangesText(msgextract::SectionRanges(Posting, false));
    (void)msgextract::RangesText(msgextract::SectionRanges(Posting, true));
    if (Check.State != msgextract::psComplete) continue;
    std::size_t Bytes = 0;
    for (const std::string_view Part : msgextract::FileParts(Posting, Pieces)) Bytes += Part.size();
    if (Bytes != Check.Size) std::abort();
    if (Check.FileName.empty() || Check.FileName.find('/') != std::string::npos) std::abort();
  }
}

}  // namespace fuzz_messages
