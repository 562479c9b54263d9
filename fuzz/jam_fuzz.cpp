// Fuzz target for the JAM base. The input is laid out as the base's four
// files: a 32-bit little-endian length and the bytes of the header file, the
// same for the index file and the text file, and the rest as the lastread
// file (a length beyond the input takes what is left). The base is opened
// (never created), every message is read whole and by its header, one message
// may be removed, and the files are deleted again.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "msgbase/date_time.h"
#include "msgbase/jam/jam_base.h"

namespace {

// At most this many messages are read, and this many lines of each.
constexpr int MaxMessages = 64;
constexpr int MaxLines = 4096;

const std::string& ScratchBase() {
  static const std::string Base = [] {
    char Template[] = "/tmp/jamfuzzXXXXXX";
    const char* Dir = mkdtemp(Template);
    if (Dir == nullptr) return std::string("/tmp/area");
    // The scratch folder goes when the fuzzer exits; its files go after every input.
    static std::string Folder = Dir;
    std::atexit([] { (void)rmdir(Folder.c_str()); });
    return Folder + "/area";
  }();
  return Base;
}

// A clock that moves on by one hundredth at every reading, so that making a
// message identifier never waits for the real clock.
int Ticks = 0;
void FuzzClock(msgbase::TMessageBaseDateTime& D) {
  ++Ticks;
  D = msgbase::TMessageBaseDateTime{12,
                                    0,
                                    static_cast<std::uint16_t>(Ticks / 100 % 60),
                                    static_cast<std::uint16_t>(Ticks % 100),
                                    1,
                                    1,
                                    2004};
}

std::string_view TakePiece(std::string_view& Input, bool Last) {
  if (Last) return Input;
  std::uint32_t Length = 0;
  for (std::size_t K = 0; K < 4 && K < Input.size(); ++K) {
    Length |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(Input[K])) << (8 * K);
  }
  Input.remove_prefix(std::min<std::size_t>(4, Input.size()));
  const std::string_view Piece = Input.substr(0, Length);
  Input.remove_prefix(Piece.size());
  return Piece;
}

void ReadMessage(msgbase::TJamMessageBase& Base) {
  (void)Base.GetFrom();
  (void)Base.GetTo();
  (void)Base.GetSubject();
  (void)msgbase::GetAttributesLine(Base);
  msgbase::TMessageBaseDateTime D;
  Base.GetWrittenDateTime(D);
  Base.GetArrivedDateTime(D);
  msgbase::TAddress From;
  msgbase::TAddress To;
  Base.GetFromAndToAddress(From, To);
  std::string Value;
  (void)Base.GetKludge("\x01MSGID:", Value);
  Base.SetTextPos(0);
  for (int Line = 0; Line < MaxLines && !Base.EndOfMessage(); ++Line) (void)Base.GetString();
  (void)Base.GetRead();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  msgbase::SetClockSource(&FuzzClock);
  const std::string& Path = ScratchBase();
  const char* Extensions[] = {"JHR", "JDX", "JDT", "JLR"};
  std::string_view Input(reinterpret_cast<const char*>(Data), Size);
  for (int K = 0; K < 4; ++K) {
    const std::string_view Piece = TakePiece(Input, K == 3);
    std::ofstream(Path + "." + Extensions[K], std::ios::binary | std::ios::trunc)
        .write(Piece.data(), static_cast<std::streamsize>(Piece.size()));
  }

  {
    msgbase::TJamMessageBase Base;
    if (Base.Open(Path)) {
      Base.SetBaseType(Size % 2 == 0 ? msgbase::btNetmail : msgbase::btEchomail);
      int Count = 0;
      for (Base.Seek(1); Base.SeekFound() && Count < MaxMessages; Base.SeekNext(), ++Count) {
        if (Base.OpenMessage()) ReadMessage(Base);
        if (Base.OpenMessageHeader()) {
          std::int32_t Id = 0;
          std::string S;
          for (std::int32_t N = 1; Base.GetSubfield(N, Id, S); ++N) {
          }
          ReadMessage(Base);
        }
        (void)Base.CloseMessage();  // false when neither open succeeded
      }
      (void)Base.GetLastRead(static_cast<std::int32_t>(Size));
      if (Size % 3 == 0) {
        Base.Seek(1);
        if (Base.SeekFound()) (void)Base.KillMessage();
      }
      Base.Close();
    }
  }
  for (const char* Extension : Extensions) unlink((Path + "." + Extension).c_str());
  return 0;
}
