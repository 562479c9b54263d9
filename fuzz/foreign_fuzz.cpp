// Fuzz target for msgextract's readers of other tools' postings: the
// decoders of xxencode, base64 and yEnc, the part numbers of subjects and
// header lines, and the joiner over what they find. The input is a run of
// messages whose first line is the subject (fuzz/fuzz_messages.h); every line
// is also fed to each decoder, and every posting is checked as posting_fuzz
// checks them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_messages.h"
#include "tools/msgextract/decoders.h"
#include "tools/msgextract/foreign_parts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::vector<msgextract::TPiece> Pieces;
  msgextract::TIgnoredLines Ignored;
  fuzz_messages::ForEachMessage(
      std::string_view(reinterpret_cast<const char*>(Data), Size), true,
      [](std::string_view Line) {
        std::string Out;
        std::size_t Count = 0;
        bool Padded = false;
        std::uint64_t Value = 0;
        (void)msgextract::XXDecodeLine(Line, Out, Count);
        (void)msgextract::Base64DecodeLine(Line, Out, Padded);
        (void)msgextract::YEncDecodeLine(Line, Out);
        (void)msgextract::YEncNumber(Line, "size", false, Value);
        (void)msgextract::YEncNumber(Line, "crc32", true, Value);
      },
      [&](const msgextract::TMessageText& Message) {
        msgextract::TPartNumber Part;
        (void)msgextract::SubjectPartNumber(Message.Subject, Part);
        msgextract::ScanMessage(Message, Pieces, &Ignored);
      });
  fuzz_messages::CheckPostings(Pieces);
  return 0;
}
