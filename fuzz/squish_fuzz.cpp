// Fuzz target of the Squish base: the input is laid out as the base's three
// files in a scratch directory, the base is opened (never created) and every
// message is read; the input may also ask for one removal and one new message.
//
// Input layout: one selector byte (bit 0: remove the first message read,
// bit 1: write a new message before closing), then the data file as a
// little-endian 32-bit length and its bytes, then the index file the same way,
// then the rest of the input as the lastread file. Lengths larger than what is
// left are cut to it.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>

#include "msgbase/le_codec.h"
#include "msgbase/message_base.h"
#include "msgbase/squish/squish_base.h"

namespace {

using msgbase::TSquishMessageBase;

// The next length-prefixed piece of Input.
std::span<const std::uint8_t> TakePiece(std::span<const std::uint8_t>& Input) {
  if (Input.size() < 4) {
    Input = {};
    return {};
  }
  std::size_t Length = msgbase::GetLE32(Input.data());
  Input = Input.subspan(4);
  if (Length > Input.size()) Length = Input.size();
  const std::span<const std::uint8_t> Piece = Input.first(Length);
  Input = Input.subspan(Length);
  return Piece;
}

void WriteFile(const std::string& Name, std::span<const std::uint8_t> Bytes) {
  FILE* File = std::fopen(Name.c_str(), "wb");
  if (File == nullptr) return;
  if (!Bytes.empty()) (void)std::fwrite(Bytes.data(), 1, Bytes.size(), File);
  (void)std::fclose(File);
}

void ReadMessage(TSquishMessageBase& Base) {
  if (Base.OpenMessage()) {
    (void)Base.GetFrom();
    (void)Base.GetTo();
    (void)Base.GetSubject();
    (void)msgbase::GetAttributesLine(Base);
    msgbase::TMessageBaseDateTime When;
    Base.GetWrittenDateTime(When);
    (void)msgbase::GetDateTimeLine(When);
    Base.GetArrivedDateTime(When);
    msgbase::TAddress From;
    msgbase::TAddress To;
    Base.GetFromAndToAddress(From, To);
    Base.SetTextPos(0);
    // Every line read moves on by at least one byte.
    for (std::int32_t Guard = Base.GetTextSize() + 1; !Base.EndOfMessage() && Guard > 0; --Guard) {
      (void)Base.GetString();
    }
  }
  if (Base.OpenMessageHeader()) {
    std::string Value;
    (void)Base.GetKludge("\x01MSGID:", Value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  std::span<const std::uint8_t> Input(Data, Size);
  if (Input.empty()) return 0;
  const std::uint8_t Selector = Input[0];
  Input = Input.subspan(1);
  char Dir[] = "/tmp/squishfuzzXXXXXX";
  if (::mkdtemp(Dir) == nullptr) return 0;
  const std::string Path = std::string(Dir) + "/area";
  WriteFile(Path + ".sqd", TakePiece(Input));
  WriteFile(Path + ".sqi", TakePiece(Input));
  WriteFile(Path + ".sql", Input);

  {
    TSquishMessageBase Base;
    if (Base.Open(Path)) {
      (void)Base.GetCount();
      (void)Base.GetHighest();
      (void)Base.GetLastRead(0);
      (void)Base.GetLastRead(3);
      bool Removed = (Selector & 1) == 0;
      // The index holds at most its size / 12 records; each step moves one on.
      std::int64_t Guard = static_cast<std::int64_t>(Size) / 12 + 2;
      for (Base.Seek(std::numeric_limits<std::int32_t>::min()); Base.SeekFound() && Guard > 0;
           Base.SeekNext(), --Guard) {
        ReadMessage(Base);
        if (!Removed) {
          Removed = true;
          (void)Base.KillMessage();
        }
      }
      Base.SeekHighWater();
      if ((Selector & 2) != 0 && Base.CreateNewMessage()) {
        Base.SetTo("All");
        Base.PutString("\x01MSGID: 2:5020/100 00000001");
        Base.PutString("fuzzed");
        (void)Base.WriteMessage();
        (void)Base.CloseMessage();
      }
      Base.Close();
    }
  }
  for (const char* Extension : {".sqd", ".sqi", ".sql"}) {
    (void)::unlink((Path + Extension).c_str());
  }
  (void)::rmdir(Dir);
  return 0;
}
