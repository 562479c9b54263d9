// Fuzz target for msgextract's readers of other tools' postings: the
// decoders of xxencode, base64 and yEnc, the part numbers of subjects and
// header lines, and the joiner over what they find. The input is a run of
// messages separated by zero bytes; the first byte of each picks one of four
// senders, its first line is the subject and the rest its text, lines ending
// in line feeds. Every line is also fed to each decoder. A complete posting
// is put together, which must give the size the check promised.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/msgextract/decoders.h"
#include "tools/msgextract/foreign_parts.h"
#include "tools/msgextract/posting_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view Input(reinterpret_cast<const char*>(Data), Size);
  std::vector<msgextract::TPiece> Pieces;
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
    bool First = true;
    while (!Text.empty()) {
      const std::size_t Eol = Text.find('\n');
      const std::string_view Line = Text.substr(0, Eol);
      Text.remove_prefix(Eol == std::string_view::npos ? Text.size() : Eol + 1);
      if (First) {
        Message.Subject = std::string(Line);
        First = false;
        continue;
      }
      Message.Lines.push_back(Line);
      std::string Out;
      std::size_t Count = 0;
      bool Padded = false;
      std::uint64_t Value = 0;
      (void)msgextract::XXDecodeLine(Line, Out, Count);
      (void)msgextract::Base64DecodeLine(Line, Out, Padded);
      (void)msgextract::YEncDecodeLine(Line, Out);
      (void)msgextract::YEncNumber(Line, "size", false, Value);
      (void)msgextract::YEncNumber(Line, "crc32", true, Value);
    }
    msgextract::TPartNumber Part;
    (void)msgextract::SubjectPartNumber(Message.Subject, Part);
    msgextract::ScanMessage(Message, Pieces);
  }
  for (const msgextract::TPosting& Posting : msgextract::JoinPieces(Pieces)) {
    const msgextract::TPostingCheck Check = msgextract::CheckPosting(Posting, Pieces);
    (void)msgextract::RangesText(msgextract::SectionRanges(Posting, false));
    if (Check.State != msgextract::psComplete) continue;
    std::size_t Bytes = 0;
    for (const std::string_view Piece : msgextract::FileParts(Posting, Pieces)) Bytes += Piece.size();
    if (Bytes != Check.Size) std::abort();
    if (Check.FileName.empty() || Check.FileName.find('/') != std::string::npos) std::abort();
  }
  return 0;
}
