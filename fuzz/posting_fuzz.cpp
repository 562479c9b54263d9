// Fuzz target for msgextract's section scanner and joiner. The input is a run
// of messages (fuzz/fuzz_messages.h); every message is scanned, the pieces are
// joined, every posting is checked, and a complete one is put together, which
// must give the size the check promised.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_messages.h"
#include "tools/msgextract/posting_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::vector<msgextract::TPiece> Pieces;
  fuzz_messages::ForEachMessage(
      std::string_view(reinterpret_cast<const char*>(Data), Size), false, [](std::string_view) {},
      [&](const msgextract::TMessageText& Message) { msgextract::ScanMessage(Message, Pieces); });
  fuzz_messages::CheckPostings(Pieces);
  return 0;
}
