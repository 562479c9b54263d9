#include "msgbase/message_base.h"

#include <array>
#include <cstring>
#include <memory>

#include "msgbase/file_helpers.h"

namespace msgbase {

namespace {

constexpr char KludgeChar = '\x01';
constexpr char CarriageReturn = '\r';
constexpr char LineFeed = '\n';
// Lines are read from the text in pieces of this many bytes.
constexpr std::int32_t LineChunkSize = 256;

constexpr const char* MsgIdName = "\x01MSGID:";
constexpr const char* IntlName = "\x01INTL";
constexpr const char* FmptName =
    "\x01"
    "FMPT";
constexpr const char* ToptName = "\x01TOPT";

constexpr std::array<const char*, 16> AttributeShortForms{
    "Pvt ", "Cra ", "Rcv ", "Snt ", "Att ", "Trs ", "Orp ", "K/s ",
    "Loc ", "Hld ", "FRq ", "RRq ", "RRc ", "ARq ", "URq ", "Scn "};

bool StartsWith(const std::string& Line, const char* Name) {
  return Line.compare(0, std::strlen(Name), Name) == 0;
}

bool IsKludgeLine(const std::string& Line) {
  return !Line.empty() && Line[0] == KludgeChar;
}

// Decimal with leading zeros up to Width; wider numbers are not cut.
std::string ZeroPadded(std::uint16_t Value, std::size_t Width) {
  std::string Text = std::to_string(Value);
  if (Text.size() < Width) Text.insert(0, Width - Text.size(), '0');
  return Text;
}

// The intermediate-system line: "INTL <to> <from>", both without point.
std::string IntlLine(const TAddress& To, const TAddress& From) {
  return std::string(IntlName) + " " + AddressToStrPointless(To) + " " +
         AddressToStrPointless(From);
}

// Sets the point line Name to Point, or removes it for point 0.
void SetPointKludge(TMessageBase& Base, const char* Name, std::int16_t Point) {
  if (Point == 0) {
    Base.DeleteKludge(Name);
  } else {
    Base.SetKludge(Name, std::string(Name) + " " + LongToStr(Point));
  }
}

}  // namespace

TMessageBase::TMessageBase() = default;

TMessageBase::~TMessageBase() = default;

// --- Operations each format provides ---

bool TMessageBase::Open(const std::string& /*Path*/) {
  Abstract();
}
bool TMessageBase::Create(const std::string& /*Path*/) {
  Abstract();
}
bool TMessageBase::Exist(const std::string& /*Path*/) {
  Abstract();
}
void TMessageBase::Close() {
  Abstract();
}
bool TMessageBase::Exists(std::int32_t /*Message*/) {
  Abstract();
}
std::int32_t TMessageBase::GetLocation() {
  Abstract();
}
void TMessageBase::SetLocation(std::int32_t /*Location*/) {
  Abstract();
}
bool TMessageBase::OpenMessage() {
  Abstract();
}
bool TMessageBase::OpenMessageHeader() {
  Abstract();
}
bool TMessageBase::CloseMessage() {
  Abstract();
}
std::int32_t TMessageBase::GetHighest() {
  Abstract();
}
std::int32_t TMessageBase::GetCount() {
  Abstract();
}
std::vector<std::string> TMessageBase::GetUncountedFiles() {
  return {};
}
std::vector<std::string> TMessageBase::GetInconsistencies() {
  return {};
}
bool TMessageBase::BeginTransaction() {
  return true;
}
bool TMessageBase::CommitTransaction() {
  return true;
}
void TMessageBase::RollbackTransaction() {}
std::string TMessageBase::GetFrom() {
  Abstract();
}
std::string TMessageBase::GetTo() {
  Abstract();
}
std::string TMessageBase::GetSubject() {
  Abstract();
}
void TMessageBase::SetFrom(const std::string& /*S*/) {
  Abstract();
}
void TMessageBase::SetTo(const std::string& /*S*/) {
  Abstract();
}
void TMessageBase::SetSubject(const std::string& /*S*/) {
  Abstract();
}
bool TMessageBase::GetAttribute(std::int32_t /*Attribute*/) {
  Abstract();
}
void TMessageBase::SetAttribute(std::int32_t /*Attribute*/, bool /*Enable*/) {
  Abstract();
}
void TMessageBase::GetWrittenDateTime(TMessageBaseDateTime& /*DateTime*/) {
  Abstract();
}
void TMessageBase::GetArrivedDateTime(TMessageBaseDateTime& /*DateTime*/) {
  Abstract();
}
void TMessageBase::SetWrittenDateTime(const TMessageBaseDateTime& /*DateTime*/) {
  Abstract();
}
void TMessageBase::SetArrivedDateTime(const TMessageBaseDateTime& /*DateTime*/) {
  Abstract();
}
bool TMessageBase::WriteMessage() {
  Abstract();
}
bool TMessageBase::WriteMessageHeader() {
  Abstract();
}
bool TMessageBase::CreateNewMessage() {
  Abstract();
}
bool TMessageBase::KillMessage() {
  Abstract();
}
std::int32_t TMessageBase::GetLastRead(std::int32_t /*UserNumber*/) {
  Abstract();
}
void TMessageBase::SetLastRead(std::int32_t /*UserNumber*/, std::int32_t /*Message*/) {
  Abstract();
}

// --- Navigation ---

std::int32_t TMessageBase::Current() {
  return CurrentMessage_;
}

void TMessageBase::Seek(std::int32_t Message) {
  // Messages are numbered from 1, so anything lower starts the walk at 1.
  CurrentMessage_ = Message > 1 ? Message - 1 : 0;
  SeekNext();
}

void TMessageBase::SeekNext() {
  for (;;) {
    if (CurrentMessage_ >= GetHighest()) {
      CurrentMessage_ = 0;
      return;
    }
    ++CurrentMessage_;
    if (Exists(CurrentMessage_)) return;
  }
}

void TMessageBase::SeekPrev() {
  for (;;) {
    if (CurrentMessage_ <= 1) {
      CurrentMessage_ = 0;
      return;
    }
    --CurrentMessage_;
    if (Exists(CurrentMessage_)) return;
  }
}

bool TMessageBase::SeekFound() {
  return CurrentMessage_ != 0;
}

// --- Text ---

void TMessageBase::ReadLine(std::string& Line, std::size_t MaxChars) {
  Line.clear();
  TMessageBaseStream* Text = MessageText_.get();
  if (Text == nullptr) return;
  const std::int32_t Size = Text->GetSize();
  std::int32_t Pos = Text->GetPos();
  std::array<char, LineChunkSize> Chunk{};
  const auto Append = [&Line, MaxChars](const char* Bytes, std::size_t Count) {
    const std::size_t Room = MaxChars > Line.size() ? MaxChars - Line.size() : 0;
    Line.append(Bytes, Count < Room ? Count : Room);
  };
  while (Pos >= 0 && Pos < Size) {
    const std::int32_t Count = std::min(LineChunkSize, Size - Pos);
    Text->Read(Chunk.data(), static_cast<std::uint16_t>(Count));
    for (std::int32_t I = 0; I < Count; ++I) {
      const char Ch = Chunk[static_cast<std::size_t>(I)];
      if (Ch != CarriageReturn && Ch != LineFeed) continue;
      Append(Chunk.data(), static_cast<std::size_t>(I));
      std::int32_t Next = Pos + I + 1;
      // Only a line feed after a carriage return belongs to the same line end;
      // a second line feed is an empty line of its own.
      if (Ch == CarriageReturn && Next < Size) {
        char After = 0;
        if (I + 1 < Count) {
          After = Chunk[static_cast<std::size_t>(I + 1)];
        } else {
          Text->Seek(Next);
          Text->Read(&After, 1);
        }
        if (After == LineFeed) ++Next;
      }
      Text->Seek(Next);
      return;
    }
    Append(Chunk.data(), static_cast<std::size_t>(Count));
    Pos += Count;
  }
}

std::uint16_t TMessageBase::GetStringPChar(char* Buf, std::uint16_t MaxLen) {
  std::string Line;
  ReadLine(Line, MaxLen > 0 ? MaxLen - 1u : 0u);
  if (MaxLen == 0) return 0;
  std::memcpy(Buf, Line.data(), Line.size());
  Buf[Line.size()] = '\0';
  return static_cast<std::uint16_t>(Line.size());
}

std::string TMessageBase::GetString() {
  std::string Line;
  ReadLine(Line, MaxTextLength);
  return Line;
}

void TMessageBase::PutStringPChar(const char* Buf) {
  const std::size_t Length = LenASCIIZ(Buf, MaxLineSize);
  if (MessageText_ == nullptr) return;
  MessageText_->WriteBuffer({reinterpret_cast<const std::uint8_t*>(Buf), Length});
  MessageText_->Write(&CarriageReturn, 1);
}

void TMessageBase::PutString(const std::string& S) {
  if (MessageText_ == nullptr) return;
  // The formats keep text in zero-terminated buffers: whatever follows a zero
  // byte would be lost to every reader, together with the lines after it.
  const std::string Line = CutText(S.substr(0, S.find('\0')));
  MessageText_->WriteBuffer({reinterpret_cast<const std::uint8_t*>(Line.data()), Line.size()});
  MessageText_->Write(&CarriageReturn, 1);
}

bool TMessageBase::EndOfMessage() {
  return GetTextPos() >= GetTextSize();
}

void TMessageBase::SetTextPos(std::int32_t Pos) {
  if (MessageText_ != nullptr) MessageText_->Seek(Pos);
}

std::int32_t TMessageBase::GetTextPos() {
  return MessageText_ != nullptr ? MessageText_->GetPos() : 0;
}

std::int32_t TMessageBase::GetTextSize() {
  return MessageText_ != nullptr ? MessageText_->GetSize() : 0;
}

void TMessageBase::TruncateText() {
  if (MessageText_ != nullptr) MessageText_->Truncate();
}

void TMessageBase::ReadText(void* Buf, std::uint16_t Count) {
  if (MessageText_ != nullptr) {
    MessageText_->Read(Buf, Count);
  } else {
    std::memset(Buf, 0, Count);
  }
}

void TMessageBase::WriteText(const void* Buf, std::uint16_t Count) {
  if (MessageText_ != nullptr) MessageText_->Write(Buf, Count);
}

// --- Control lines ---

bool TMessageBase::GetKludgePChar(const char* Name, char* Value, std::uint16_t MaxLen) {
  const std::string Wanted(Name, LenASCIIZ(Name, MaxLineSize));
  std::string Line;
  SetTextPos(0);
  while (!EndOfMessage()) {
    KludgeStart = GetTextPos();
    ReadLine(Line, MaxLen > 0 ? MaxLen - 1u : 0u);
    if (MaxLen > 0) {
      std::memcpy(Value, Line.data(), Line.size());
      Value[Line.size()] = '\0';
    }
    if (Line.compare(0, Wanted.size(), Wanted) == 0) {
      KludgeEnd = GetTextPos();
      return true;
    }
  }
  return false;
}

bool TMessageBase::GetKludge(const std::string& Name, std::string& Value) {
  std::array<char, MaxTextLength> Buf{};
  const bool Found =
      GetKludgePChar(Name.c_str(), Buf.data(), static_cast<std::uint16_t>(Buf.size()));
  Value = FromASCIIZ(Buf.data(), Buf.size());
  return Found;
}

void TMessageBase::ReplaceTextRange(std::int32_t Start, std::int32_t End, const char* Line) {
  if (MessageText_ == nullptr) return;
  const std::int32_t Size = GetTextSize();
  if (Start == Size && End == Size) {
    // Nothing follows the insertion point: no tail to save.
    SetTextPos(Size);
    if (Line != nullptr) PutStringPChar(Line);
    return;
  }
  const std::int32_t TailLength = Size - End;
  PMessageBaseStream Tail = CreateMessageBaseMemoryStream(MaxMessageSize);
  SetTextPos(End);
  Tail->CopyFrom(*MessageText_, TailLength);
  SetTextPos(Start);
  if (Line != nullptr) PutStringPChar(Line);
  Tail->Seek(0);
  MessageText_->CopyFrom(*Tail, TailLength);
  TruncateText();
}

namespace {

// Room for one control line that GetKludgePChar fills before anything reads
// it. Left unzeroed: clearing 16 KiB on every control line set was a good part
// of composing a message.
using TKludgeScratch = std::unique_ptr<char[]>;
TKludgeScratch MakeKludgeScratch() {
  return std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(MaxLineSize));
}

}  // namespace

void TMessageBase::SetKludgePChar(const char* Name, const char* Line) {
  TKludgeScratch Scratch = MakeKludgeScratch();
  if (GetKludgePChar(Name, Scratch.get(), static_cast<std::uint16_t>(MaxLineSize))) {
    ReplaceTextRange(KludgeStart, KludgeEnd, Line);
  } else {
    AddKludgePChar(Line);
  }
}

void TMessageBase::SetKludge(const std::string& Name, const std::string& Line) {
  SetKludgePChar(Name.c_str(), CutText(Line).c_str());
}

void TMessageBase::DeleteKludgePChar(const char* Name) {
  TKludgeScratch Scratch = MakeKludgeScratch();
  if (GetKludgePChar(Name, Scratch.get(), static_cast<std::uint16_t>(MaxLineSize))) {
    ReplaceTextRange(KludgeStart, KludgeEnd, nullptr);
  }
}

void TMessageBase::DeleteKludge(const std::string& Name) {
  DeleteKludgePChar(Name.c_str());
}

void TMessageBase::AddKludgePChar(const char* Line) {
  const std::int32_t Place = AfterLastKludge();
  ReplaceTextRange(Place, Place, Line);
}

void TMessageBase::AddKludge(const std::string& Line) {
  AddKludgePChar(CutText(Line).c_str());
}

std::int32_t TMessageBase::AfterLastKludge() {
  SetTextPos(0);
  std::int32_t Result = GetTextSize();
  bool KludgeSeen = false;
  int OrdinaryLines = 0;
  std::string Line;
  while (!EndOfMessage()) {
    const std::int32_t Start = GetTextPos();
    ReadLine(Line, MaxLineSize - 1);
    if (IsKludgeLine(Line)) {
      KludgeSeen = true;
    } else if (KludgeSeen) {
      Result = Start;
      break;
    } else if (++OrdinaryLines >= 2) {
      // Control lines stand at the top; one leading line (an area line, say)
      // is stepped over, two mean there is no control-line block.
      break;
    }
  }
  return KludgeSeen ? Result : 0;
}

// --- Address control lines ---

void TMessageBase::SetFromAddress(const TAddress& Address, bool NewId) {
  std::string Serial;
  std::string OldLine;
  if (!NewId && GetKludge(MsgIdName, OldLine)) Serial = ExtractWord(3, OldLine, " ");
  // A line without a serial gets a fresh one rather than staying without.
  if (Serial.empty()) Serial = GenerateMsgId();
  SetKludge(MsgIdName, std::string(MsgIdName) + " " + AddressToStrEx(Address) + " " + Serial);
  if (GetFlag(bfNetmail)) {
    TAddress To;
    GetToAddress(To);
    SetKludge(IntlName, IntlLine(To, Address));
    SetPointKludge(*this, FmptName, Address.Point);
  }
}

void TMessageBase::PutAddressLines(const TAddress& From, const TAddress& To) {
  if (!GetFlag(bfNetmail)) return;
  if (From.Zone != 0 && To.Zone != 0) SetKludge(IntlName, IntlLine(To, From));
  if (From.Zone != 0) SetPointKludge(*this, FmptName, From.Point);
  if (To.Zone != 0) SetPointKludge(*this, ToptName, To.Point);
}

void TMessageBase::SetToAddress(const TAddress& Address) {
  if (!GetFlag(bfNetmail)) return;
  TAddress From;
  GetFromAddress(From);
  SetKludge(IntlName, IntlLine(Address, From));
  SetPointKludge(*this, ToptName, Address.Point);
}

void TMessageBase::SetFromAndToAddress(const TAddress& FromAddress, const TAddress& ToAddress,
                                       bool NewId) {
  SetFromAddress(FromAddress, NewId);
  SetToAddress(ToAddress);
}

void TMessageBase::ScanAddressLines(TAddress* FromAddress, TAddress* ToAddress) {
  SetTextPos(0);
  bool First = true;
  std::string Line;
  while (!EndOfMessage()) {
    ReadLine(Line, MaxTextLength);
    // The first line counts even without the control byte.
    if (First || IsKludgeLine(Line)) {
      if (FromAddress != nullptr) CheckFromAddress(Line, *FromAddress);
      if (ToAddress != nullptr) CheckToAddress(Line, *ToAddress);
    }
    First = false;
  }
}

void TMessageBase::GetFromAddress(TAddress& Address) {
  ScanAddressLines(&Address, nullptr);
}

void TMessageBase::GetToAddress(TAddress& Address) {
  ScanAddressLines(nullptr, &Address);
}

void TMessageBase::GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) {
  ScanAddressLines(&FromAddress, &ToAddress);
}

void TMessageBase::CheckFromAddress(const std::string& Line, TAddress& Address) {
  // A malformed address leaves what parsed; the line still counts as read.
  if (StartsWith(Line, MsgIdName)) (void)StrToAddress(ExtractWord(2, Line, " "), Address);
  if (StartsWith(Line, IntlName)) {
    const std::int16_t Point = Address.Point;
    (void)StrToAddress(ExtractWord(3, Line, " "), Address);
    Address.Point = Point;
  } else if (StartsWith(Line, FmptName)) {
    (void)StrToInteger(ExtractWord(2, Line, " "), Address.Point);
  }
}

void TMessageBase::CheckToAddress(const std::string& Line, TAddress& Address) {
  if (StartsWith(Line, IntlName)) {
    const std::int16_t Point = Address.Point;
    (void)StrToAddress(ExtractWord(2, Line, " "), Address);
    Address.Point = Point;
  } else if (StartsWith(Line, ToptName)) {
    (void)StrToInteger(ExtractWord(2, Line, " "), Address.Point);
  }
}

void TMessageBase::PutOrigin(const TAddress& Address, const std::string& Origin) {
  const std::string Head = " * Origin: ";
  const std::string Tail = " (" + AddressToStrEx(Address) + ")";
  const std::ptrdiff_t Room = 79 - static_cast<std::ptrdiff_t>(Head.size() + Tail.size());
  // PutString would cut the line at a zero byte, and the address with it:
  // the address is what tossers read, so only the text is cut there.
  const std::string Text = Origin.substr(0, Origin.find('\0'));
  std::string Line = Head;
  if (Room > 0) Line += Text.substr(0, static_cast<std::size_t>(Room));
  PutString(Line + Tail);
}

// --- Text stream ownership ---

TMessageBaseStream* TMessageBase::GetMessageTextStream() {
  return MessageText_.get();
}

void TMessageBase::SetMessageTextStream(PMessageBaseStream Stream) {
  // The old stream goes before the new one is taken, as a hook sees it.
  MessageText_.reset();
  MessageText_ = std::move(Stream);
}

PMessageBaseStream TMessageBase::ReleaseMessageTextStream() {
  return std::move(MessageText_);
}

// --- Flags, status and state ---

void TMessageBase::SetFlag(std::int32_t Flag, bool Enable) {
  Flags_ = Enable ? (Flags_ | Flag) : (Flags_ & ~Flag);
}

bool TMessageBase::GetFlag(std::int32_t Flag) {
  return (Flags_ & Flag) == Flag;
}

void TMessageBase::SetBaseType(TBaseType BaseType) {
  SetFlag(bfNetmail, BaseType == btNetmail);
  SetFlag(bfEchomail, BaseType == btEchomail);
  SetFlag(bfLocal, BaseType == btLocal);
}

void TMessageBase::SetStatus(std::int32_t Status) {
  Status_ = Status;
}
std::int32_t TMessageBase::GetStatus() {
  return Status_;
}
void TMessageBase::SetOpened(bool Opened) {
  Opened_ = Opened;
}
bool TMessageBase::GetOpened() {
  return Opened_;
}
void TMessageBase::SetCurrent(std::int32_t Message) {
  CurrentMessage_ = Message;
}
void TMessageBase::SetBasePath(const std::string& Path) {
  BasePath_ = CutText(Path);
}
std::string TMessageBase::GetBasePath() {
  return BasePath_;
}
bool TMessageBase::GetRead() {
  return false;
}
void TMessageBase::SetRead(bool /*Read*/) {}

void TMessageBase::ResetDateTime() {
  TMessageBaseDateTime Now;
  GetCurrentMessageBaseDateTime(Now);
  SetWrittenDateTime(Now);
  SetArrivedDateTime(Now);
}

// --- Display lines ---

std::string GetAttributesLine(TMessageBase& Base) {
  std::string Line;
  for (std::size_t Bit = 0; Bit < AttributeShortForms.size(); ++Bit) {
    if (Base.GetAttribute(static_cast<std::int32_t>(1u << Bit))) Line += AttributeShortForms[Bit];
  }
  if (!Line.empty()) Line.pop_back();
  return Line;
}

std::string GetDateTimeLine(const TMessageBaseDateTime& DateTime) {
  return ZeroPadded(DateTime.Year, 4) + "/" + ZeroPadded(DateTime.Month, 2) + "/" +
         ZeroPadded(DateTime.Day, 2) + " " + ZeroPadded(DateTime.Hour, 2) + ":" +
         ZeroPadded(DateTime.Minute, 2) + ":" + ZeroPadded(DateTime.Second, 2) + "." +
         ZeroPadded(DateTime.Sec100, 2);
}

bool TMessageBase::RefuseChange(std::int32_t Status) {
  if (!IsReadOnly()) return false;
  SetStatus(Status);
  return true;
}

}  // namespace msgbase
