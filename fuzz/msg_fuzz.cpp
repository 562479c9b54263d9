// Fuzz target for the *.msg directory base. The input is laid out as the
// files of one base in a scratch directory: one leading byte of switches, then
// records of a name byte, a 16-bit little-endian length and that many bytes.
// Name byte 255 is the lastread file; any other value n is the message file
// "<n + 1>.msg". The base is opened (never created), for writing or, as the
// switches ask, only to read (which reads each listed message file in one
// go); every message is read in full and header-only, and, as the switches
// ask, one message is marked read and rewritten and one is removed.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "msgbase/msg/msg_base.h"

namespace {

constexpr std::uint8_t swKillOne = 0x01;
constexpr std::uint8_t swRewriteHeader = 0x02;
constexpr std::uint8_t swReadOnly = 0x04;
constexpr std::uint8_t LastReadNameByte = 255;
constexpr std::size_t MaxFiles = 16;

// A scratch directory of its own, removed when the fuzzer ends.
class TScratchDirectory {
 public:
  TScratchDirectory() {
    std::string Pattern = "/tmp/vellumarmsgfuzzXXXXXX";
    std::vector<char> Buffer(Pattern.begin(), Pattern.end());
    Buffer.push_back('\0');
    if (mkdtemp(Buffer.data()) != nullptr) Path_ = Buffer.data();
  }
  ~TScratchDirectory() {
    std::error_code Error;
    if (!Path_.empty()) std::filesystem::remove_all(Path_, Error);
  }
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
};

const std::string& ScratchDirectory() {
  static const TScratchDirectory Scratch;
  return Scratch.Path();
}

void ClearDirectory(const std::string& Path) {
  std::error_code Error;
  for (const auto& Entry : std::filesystem::directory_iterator(Path, Error)) {
    std::filesystem::remove_all(Entry.path(), Error);
  }
}

void WriteFile(const std::string& Path, const std::uint8_t* Data, std::size_t Size) {
  FILE* File = std::fopen(Path.c_str(), "wb");
  if (File == nullptr) return;
  if (Size > 0) (void)std::fwrite(Data, 1, Size, File);
  (void)std::fclose(File);
}

// Reads the text to its end; every line read advances the position, and the
// number of lines is bounded by the text size all the same.
void ReadAllLines(msgbase::TMessageBase& Base) {
  std::int32_t Budget = Base.GetTextSize() + 1;
  while (!Base.EndOfMessage() && Budget-- > 0) (void)Base.GetString();
}

void ReadMessage(msgbase::TFidoMessageBase& Base) {
  (void)Base.GetFrom();
  (void)Base.GetTo();
  (void)Base.GetSubject();
  msgbase::TAddress From, To;
  Base.GetFromAndToAddress(From, To);
  msgbase::TMessageBaseDateTime Date;
  Base.GetWrittenDateTime(Date);
  Base.GetArrivedDateTime(Date);
  (void)msgbase::GetAttributesLine(Base);
  (void)Base.GetAFlag("DIR");
  (void)Base.GetReplyTo();
  (void)Base.GetReplyNext();
  (void)Base.GetRead();
  Base.SetTextPos(0);
  ReadAllLines(Base);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size < 1) return 0;
  const std::string& Dir = ScratchDirectory();
  if (Dir.empty()) return 0;
  ClearDirectory(Dir);
  const std::uint8_t Switches = Data[0];
  std::size_t Pos = 1;
  for (std::size_t Files = 0; Files < MaxFiles && Pos + 3 <= Size; ++Files) {
    const std::uint8_t NameByte = Data[Pos];
    std::size_t Length = static_cast<std::size_t>(Data[Pos + 1] | (Data[Pos + 2] << 8));
    Pos += 3;
    if (Length > Size - Pos) Length = Size - Pos;
    const std::string Name = NameByte == LastReadNameByte
                                 ? std::string(msgbase::FidoLastReadName)
                                 : std::to_string(NameByte + 1) + msgbase::FidoMessageExtension;
    WriteFile(Dir + "/" + Name, Data + Pos, Length);
    Pos += Length;
  }

  {
    msgbase::TFidoMessageBase Base;
    if ((Switches & swReadOnly) != 0) Base.SetOpenMode(msgbase::omReadOnly);
    if (Base.Open(Dir)) {
      bool Rewritten = false;
      for (Base.Seek(1); Base.SeekFound(); Base.SeekNext()) {
        if (Base.OpenMessage()) {
          ReadMessage(Base);
          if ((Switches & swRewriteHeader) != 0 && !Rewritten) {
            Base.SetRead(true);
            (void)Base.WriteMessageHeader();
            Rewritten = true;
          }
        }
        if (Base.OpenMessageHeader()) {
          Base.SetTextPos(0);
          ReadAllLines(Base);
        }
        (void)Base.CloseMessage();
      }
      for (std::int32_t User = 0; User < 4; ++User) (void)Base.GetLastRead(User);
      if ((Switches & swKillOne) != 0) {
        Base.Seek(1);
        if (Base.SeekFound()) (void)Base.KillMessage();
      }
      Base.Close();
    }
  }
  ClearDirectory(Dir);
  return 0;
}
