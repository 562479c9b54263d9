#include "tests/base_reader.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "testing/test_support.h"

namespace vellumar_tests {

namespace {

using testing_support::ReadFileBytes;
using testing_support::TBytes;

// Bounded access to the bytes of one file: every read is checked first.
class TFileBytes {
 public:
  explicit TFileBytes(TBytes Bytes) : Bytes_(std::move(Bytes)) {}

  [[nodiscard]] std::size_t Size() const { return Bytes_.size(); }
  [[nodiscard]] bool Has(std::uint64_t Offset, std::uint64_t Length) const {
    return Offset <= Bytes_.size() && Length <= Bytes_.size() - Offset;
  }
  // The callers check Has before each of these.
  [[nodiscard]] std::uint16_t U16(std::size_t Offset) const {
    return static_cast<std::uint16_t>(Bytes_[Offset] | Bytes_[Offset + 1] << 8);
  }
  [[nodiscard]] std::int16_t I16(std::size_t Offset) const {
    return static_cast<std::int16_t>(U16(Offset));
  }
  [[nodiscard]] std::uint32_t U32(std::size_t Offset) const {
    return static_cast<std::uint32_t>(U16(Offset)) | static_cast<std::uint32_t>(U16(Offset + 2))
                                                         << 16;
  }
  // Raw bytes as a text.
  [[nodiscard]] std::string Raw(std::size_t Offset, std::size_t Length) const {
    return std::string(Bytes_.begin() + static_cast<std::ptrdiff_t>(Offset),
                       Bytes_.begin() + static_cast<std::ptrdiff_t>(Offset + Length));
  }
  // A zero-terminated text in a field of Width bytes; the whole field when it
  // holds no zero.
  [[nodiscard]] std::string Text(std::size_t Offset, std::size_t Width) const {
    const std::string Field = Raw(Offset, Width);
    return Field.substr(0, Field.find('\0'));
  }

 private:
  TBytes Bytes_;
};

TFileBytes Load(const std::string& Path) {
  return TFileBytes(ReadFileBytes(Path));
}

bool Forgives(TReadMode Mode, TReadMode Kind) {
  return Mode == Kind || Mode == TReadMode::EditedAfterCrash;
}

TStoredBase Failure(const std::string& Error) {
  TStoredBase Result;
  Result.Error = Error;
  return Result;
}

// Splits a text whose lines each end with one carriage return. False when
// the last line has no end or a zero byte is inside.
bool SplitLines(const std::string& Text, std::vector<std::string>& Lines) {
  if (Text.find('\0') != std::string::npos) return false;
  std::size_t From = 0;
  while (From < Text.size()) {
    const std::size_t End = Text.find('\r', From);
    if (End == std::string::npos) return false;
    Lines.push_back(Text.substr(From, End - From));
    From = End + 1;
  }
  return true;
}

TStoredAddress AddressAt(const TFileBytes& F, std::size_t Offset) {
  return {F.I16(Offset), F.I16(Offset + 2), F.I16(Offset + 4), F.I16(Offset + 6)};
}

// --- *.msg ---

constexpr std::size_t MsgHeaderSize = 190;

std::string ReadMsgFile(const std::string& Path, TStoredMessage& M) {
  const TFileBytes F = Load(Path);
  if (!F.Has(0, MsgHeaderSize + 1)) return "short message file " + Path;
  M.From = F.Text(0, 36);
  M.To = F.Text(36, 36);
  M.Subject = F.Text(72, 72);
  M.DateText = F.Text(144, 20);
  M.Dest.Node = F.I16(166);
  M.Orig.Node = F.I16(168);
  M.Orig.Net = F.I16(172);
  M.Dest.Net = F.I16(174);
  M.DateWritten = F.U32(176);
  M.DateArrived = F.U32(180);
  M.Attributes = F.U16(186);
  if (F.Raw(F.Size() - 1, 1) != std::string(1, '\0')) return "no closing zero in " + Path;
  if (!SplitLines(F.Raw(MsgHeaderSize, F.Size() - MsgHeaderSize - 1), M.Lines))
    return "text of " + Path + " is not a series of CR-ended lines";
  return "";
}

// --- Squish ---

constexpr std::size_t SqBaseHeaderSize = 256;
constexpr std::size_t SqFrameSize = 28;
constexpr std::size_t SqMessageHeaderSize = 238;
constexpr std::size_t SqIndexSize = 12;
constexpr std::uint32_t SqFrameId = 0xAFAE4453;

// The control area: lines each starting with 0x01, run together, then a zero.
bool SplitControlArea(const std::string& Area, std::vector<std::string>& Lines) {
  if (Area.empty() || Area.back() != '\0') return false;
  const std::string Body = Area.substr(0, Area.size() - 1);
  if (Body.find('\0') != std::string::npos) return false;
  if (Body.empty()) return true;
  if (Body[0] != '\x01') return false;
  std::size_t From = 0;
  while (From < Body.size()) {
    std::size_t Next = Body.find('\x01', From + 1);
    if (Next == std::string::npos) Next = Body.size();
    Lines.push_back(Body.substr(From, Next - From));
    From = Next;
  }
  return true;
}

std::string ReadSquishFrame(const TFileBytes& F, std::uint32_t Pos, TStoredMessage& M,
                            std::uint32_t& MsgId) {
  if (Pos < SqBaseHeaderSize || !F.Has(Pos, SqFrameSize)) return "frame outside the file";
  const std::uint32_t FrameLength = F.U32(Pos + 12);
  const std::uint32_t MsgLength = F.U32(Pos + 16);
  const std::uint32_t Clen = F.U32(Pos + 20);
  if (F.U32(Pos) != SqFrameId) return "bad frame id";
  if (F.U16(Pos + 24) != 0) return "not a message frame";
  if (MsgLength > FrameLength || !F.Has(Pos + SqFrameSize, FrameLength)) return "frame too long";
  if (Clen < 1 || MsgLength < SqMessageHeaderSize + Clen + 1) return "bad lengths";
  const std::size_t H = Pos + SqFrameSize;
  M.Attributes = F.U32(H);
  M.From = F.Text(H + 4, 36);
  M.To = F.Text(H + 40, 36);
  M.Subject = F.Text(H + 76, 72);
  M.Orig = AddressAt(F, H + 148);
  M.Dest = AddressAt(F, H + 156);
  M.DateWritten = F.U32(H + 164);
  M.DateArrived = F.U32(H + 168);
  MsgId = F.U32(H + 214);
  M.DateText = F.Text(H + 218, 20);
  const std::size_t Control = H + SqMessageHeaderSize;
  if (!SplitControlArea(F.Raw(Control, Clen), M.Lines)) return "bad control area";
  const std::size_t TextLength = MsgLength - SqMessageHeaderSize - Clen;
  const std::string Text = F.Raw(Control + Clen, TextLength);
  if (Text.back() != '\0') return "text without its closing zero";
  if (!SplitLines(Text.substr(0, Text.size() - 1), M.Lines)) return "text lines without CR";
  return "";
}

// --- JAM ---

constexpr std::size_t JamBaseHeaderSize = 1024;
constexpr std::size_t JamHeaderSize = 76;
constexpr std::size_t JamIndexSize = 8;
const std::string JamSignature("JAM\0", 4);

// Edited: the header may lie anywhere past the base header, its text
// anywhere in the text file, and its stored number is not checked (a
// compacted index renumbers the messages, their headers keep the old numbers).
std::string ReadJamMessage(const TFileBytes& Jhr, const TFileBytes& Jdt, std::uint32_t At,
                           std::uint32_t Number, TStoredMessage& M, std::uint32_t& NextHeader,
                           std::uint32_t& NextText, bool Edited) {
  if (Edited ? At < JamBaseHeaderSize : At != NextHeader) return "header not where expected";
  if (!Jhr.Has(At, JamHeaderSize)) return "header outside the file";
  if (Jhr.Raw(At, 4) != JamSignature || Jhr.U16(At + 4) != 1) return "bad message header";
  const std::uint32_t SubfieldLen = Jhr.U32(At + 8);
  if (!Jhr.Has(At + JamHeaderSize, SubfieldLen)) return "subfields outside the file";
  if (!Edited && Jhr.U32(At + 48) != Number) return "wrong message number";
  M.Attributes = Jhr.U32(At + 52);
  M.DateWritten = Jhr.U32(At + 36);
  M.DateArrived = Jhr.U32(At + 44);
  const std::uint32_t MsgIdCrc = Jhr.U32(At + 16);
  const std::uint32_t Offset = Jhr.U32(At + 60);
  const std::uint32_t TxtLen = Jhr.U32(At + 64);
  if ((!Edited && Offset != NextText) || !Jdt.Has(Offset, TxtLen)) return "text not where expected";

  std::string MsgId;
  bool HasMsgId = false;
  std::size_t Pos = At + JamHeaderSize;
  const std::size_t End = Pos + SubfieldLen;
  while (Pos < End) {
    if (End - Pos < 8) return "cut subfield";
    const std::uint16_t Id = Jhr.U16(Pos);
    const std::uint32_t DatLen = Jhr.U32(Pos + 4);
    if (Jhr.U16(Pos + 2) != 0 || DatLen > End - Pos - 8) return "bad subfield";
    const std::string Data = Jhr.Raw(Pos + 8, DatLen);
    M.SubfieldIds.push_back(Id);
    switch (Id) {
      case 0:
        M.OrigText = Data;
        break;
      case 1:
        M.DestText = Data;
        break;
      case 2:
        M.From = Data;
        break;
      case 3:
        M.To = Data;
        break;
      case 6:
        M.Subject = Data;
        break;
      case 9:  // enclosed file and file request: the subject once more
      case 11:
        if (Data != M.Subject) return "file subfield differs from the subject";
        break;
      case 4:
        M.Lines.push_back("\x01MSGID: " + Data);
        MsgId = Data;
        HasMsgId = true;
        break;
      case 7:
        M.Lines.push_back("\x01PID: " + Data);
        break;
      case 2000:
        M.Lines.push_back("\x01" + Data);
        break;
      default:
        return "unexpected subfield " + std::to_string(Id);
    }
    Pos += 8 + DatLen;
  }
  if (MsgIdCrc != (HasMsgId ? JamNameCrc(MsgId) : 0xFFFFFFFFu)) return "wrong MSGID CRC";
  if (!SplitLines(Jdt.Raw(Offset, TxtLen), M.Lines)) return "text lines without CR";
  NextHeader = static_cast<std::uint32_t>(End);
  NextText = Offset + TxtLen;
  return "";
}

}  // namespace

std::uint32_t SquishHash(const std::string& Name) {
  std::uint32_t H = 0;
  for (const char C : Name) {
    const auto Byte = static_cast<std::uint8_t>(C >= 'A' && C <= 'Z' ? C + 32 : C);
    H = (H << 4) + Byte;
    const std::uint32_t G = H & 0xF0000000u;
    if (G != 0) H |= G >> 24 | G;
  }
  return H & 0x7FFFFFFFu;
}

std::uint32_t JamNameCrc(const std::string& Name) {
  std::uint32_t Crc = 0xFFFFFFFFu;
  for (const char C : Name) {
    Crc ^= static_cast<std::uint8_t>(C >= 'A' && C <= 'Z' ? C + 32 : C);
    for (int Bit = 0; Bit < 8; ++Bit) Crc = (Crc & 1) != 0 ? Crc >> 1 ^ 0xEDB88320u : Crc >> 1;
  }
  return Crc;
}

TStoredBase ReadMsgBase(const std::string& Dir, TReadMode Mode) {
  namespace fs = std::filesystem;
  std::vector<long> Numbers;
  std::error_code Ec;
  for (const fs::directory_entry& E : fs::directory_iterator(Dir, Ec)) {
    const std::string Name = E.path().filename().string();
    if (Name.size() < 5 || Name.substr(Name.size() - 4) != ".msg") continue;
    const std::string Stem = Name.substr(0, Name.size() - 4);
    if (Stem.empty() || Stem.size() > 5 ||
        !std::all_of(Stem.begin(), Stem.end(), [](char C) { return C >= '0' && C <= '9'; }))
      return Failure("stray file " + Name);
    Numbers.push_back(std::stol(Stem));
  }
  if (Ec) return Failure("cannot list " + Dir);
  std::sort(Numbers.begin(), Numbers.end());
  TStoredBase Result;
  const long First = !Numbers.empty() && Numbers[0] == 1 ? 1 : 2;
  for (std::size_t I = 0; I < Numbers.size(); ++I) {
    const bool Gap = Numbers[I] != First + static_cast<long>(I);
    if (Gap && !Forgives(Mode, TReadMode::Edited)) return Failure("message numbers have a gap");
    TStoredMessage M;
    const std::string Error = ReadMsgFile(Dir + "/" + std::to_string(Numbers[I]) + ".msg", M);
    if (!Error.empty()) return Failure(Error);
    Result.Messages.push_back(std::move(M));
  }
  Result.Ok = true;
  return Result;
}

TStoredBase ReadSquishBase(const std::string& Path, TReadMode Mode) {
  const bool Crash = Forgives(Mode, TReadMode::AfterCrash);
  const bool Edited = Forgives(Mode, TReadMode::Edited);
  const TFileBytes Sqd = Load(Path + ".sqd");
  const TFileBytes Sqi = Load(Path + ".sqi");
  if (!Sqd.Has(0, SqBaseHeaderSize)) return Failure("short .sqd");
  if (Sqd.U16(0) != SqBaseHeaderSize || Sqd.U16(130) != SqMessageHeaderSize)
    return Failure("bad base header sizes");
  const std::uint32_t NumMsg = Sqd.U32(4);
  if (Sqd.U32(8) != NumMsg || (!Crash && !Edited && Sqd.U32(20) != NumMsg + 1) ||
      Sqd.U32(20) < NumMsg + 1)
    return Failure("counts disagree");
  if (!Crash && !Edited && (Sqd.U32(112) != 0 || Sqd.U32(116) != 0))
    return Failure("unexpected free frames");
  if (Crash ? Sqd.U32(120) > Sqd.Size() : Sqd.U32(120) != Sqd.Size())
    return Failure("EndFrame is not the file size");
  const std::uint64_t IndexBytes = std::uint64_t{NumMsg} * SqIndexSize;
  if (Crash ? Sqi.Size() < IndexBytes : Sqi.Size() != IndexBytes)
    return Failure("index holds " + std::to_string(Sqi.Size()) + " bytes for " +
                   std::to_string(NumMsg) + " messages");

  TStoredBase Result;
  std::uint32_t Pos = Sqd.U32(104);
  std::uint32_t Prev = 0;
  std::uint32_t PrevId = 0;
  for (std::uint32_t I = 0; I < NumMsg; ++I) {
    if (Pos == 0) return Failure("chain ends early");
    if (Crash && Pos >= Sqd.U32(120)) return Failure("chain runs past EndFrame");
    TStoredMessage M;
    std::uint32_t MsgId = 0;
    const std::string Error = ReadSquishFrame(Sqd, Pos, M, MsgId);
    if (!Error.empty()) return Failure(Error + " at " + std::to_string(Pos));
    if (Sqd.U32(Pos + 8) != Prev) return Failure("PrevFrame does not point back");
    const std::size_t Idx = std::size_t{I} * SqIndexSize;
    const bool IdFits = Crash || Edited ? MsgId > PrevId && MsgId < Sqd.U32(20) : MsgId == I + 1;
    if (!IdFits || Sqi.U32(Idx) != Pos || Sqi.U32(Idx + 4) != MsgId ||
        Sqi.U32(Idx + 8) != SquishHash(M.To))
      return Failure("index record " + std::to_string(I) + " disagrees with its frame");
    Prev = Pos;
    PrevId = MsgId;
    Pos = Sqd.U32(Pos + 4);
    Result.Messages.push_back(std::move(M));
  }
  // A killed run may have linked a frame the base header does not count yet.
  if ((!Crash && Pos != 0) || Sqd.U32(108) != Prev)
    return Failure("chain does not end at LastFrame");
  Result.Ok = true;
  return Result;
}

TStoredBase ReadJamBase(const std::string& Path, TReadMode Mode) {
  const bool Crash = Forgives(Mode, TReadMode::AfterCrash);
  const bool Edited = Forgives(Mode, TReadMode::Edited);
  // A new base's names are in lower case; other software's may be in upper.
  const auto LoadAnyCase = [&Path](const std::string& Lower, const std::string& Upper) {
    return testing_support::PathExists(Path + Lower) ? Load(Path + Lower) : Load(Path + Upper);
  };
  const TFileBytes Jhr = LoadAnyCase(".jhr", ".JHR");
  const TFileBytes Jdx = LoadAnyCase(".jdx", ".JDX");
  const TFileBytes Jdt = LoadAnyCase(".jdt", ".JDT");
  if (!Jhr.Has(0, JamBaseHeaderSize) || Jhr.Raw(0, 4) != JamSignature)
    return Failure("bad base header");
  // ActiveMsgs reaches the disk when the base is closed: after a crash the
  // index alone counts. Removal marks (both fields all ones) count nothing.
  const std::uint32_t Records =
      Crash ? static_cast<std::uint32_t>(Jdx.Size() / JamIndexSize) : Jhr.U32(12);
  std::uint32_t Marks = 0;
  for (std::uint32_t I = 0; Edited && I < Jdx.Size() / JamIndexSize; ++I) {
    Marks += Jdx.U32(std::size_t{I} * JamIndexSize + 4) == 0xFFFFFFFFu ? 1u : 0u;
  }
  if (Jhr.U32(16) != 0xFFFFFFFFu || Jhr.U32(20) != 1) return Failure("bad password or base");
  if (!Crash && !Edited && Jhr.U32(8) != Records)
    return Failure("ModCounter differs from ActiveMsgs");
  if (!Crash && Jdx.Size() != (std::uint64_t{Records} + Marks) * JamIndexSize)
    return Failure("index holds " + std::to_string(Jdx.Size()) + " bytes for " +
                   std::to_string(Records) + " messages");

  TStoredBase Result;
  auto NextHeader = static_cast<std::uint32_t>(JamBaseHeaderSize);
  std::uint32_t NextText = 0;
  std::uint32_t Number = 1;
  for (std::uint32_t I = 0; I < Records + (Crash ? 0 : Marks); ++I) {
    const std::size_t Idx = std::size_t{I} * JamIndexSize;
    if (Edited && Jdx.U32(Idx + 4) == 0xFFFFFFFFu) continue;
    TStoredMessage M;
    const std::string Error =
        ReadJamMessage(Jhr, Jdt, Jdx.U32(Idx + 4), Number, M, NextHeader, NextText, Edited);
    if (!Error.empty()) return Failure(Error + " in message " + std::to_string(I + 1));
    if (Jdx.U32(Idx) != JamNameCrc(M.To)) return Failure("wrong name CRC in the index");
    ++Number;
    Result.Messages.push_back(std::move(M));
  }
  if (!Crash && !Edited && (NextHeader != Jhr.Size() || NextText != Jdt.Size()))
    return Failure("files hold bytes no message refers to");
  Result.Ok = true;
  return Result;
}

}  // namespace vellumar_tests
