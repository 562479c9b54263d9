// The *.msg base, reading: opening a message file, its header and text or
// only its control lines, and the header's fields.
#include "msgbase/msg/msg_base.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/status.h"
#include "msgbase/virtual/virtual_base.h"

namespace msgbase {

namespace {

// The control line that carries the FLAGS of a message, and the shortest such
// line that still holds a flag (0x01 "FLAGS " and one character).
constexpr const char* FlagsKludge =
    "\x01"
    "FLAGS";
constexpr std::size_t ShortestFlagsLine = 8;

// The whole FLAGS line, cut to the control-line buffer; false when there is
// none.
bool ReadFlagsLine(TMessageBase& Base, std::string& Line) {
  std::vector<char> Buffer(static_cast<std::size_t>(MaxLineSize), '\0');
  if (!Base.GetKludgePChar(FlagsKludge, Buffer.data(), static_cast<std::uint16_t>(MaxLineSize))) {
    return false;
  }
  Line = Buffer.data();
  return true;
}

bool IsControlLine(const std::vector<char>& Line) {
  return Line[0] == '\x01';
}

}  // namespace

bool TFidoMessageBase::FailMessage(std::int32_t Status) {
  MessageFile_.reset();
  MessageOpen_ = false;
  PendingOpen_ = -1;
  SetMessageTextStream(nullptr);
  SetStatus(Status);
  return false;
}

bool TFidoMessageBase::CloseMessage() {
  if (!MessageOpen_) {
    SetStatus(stMsgAlreadyClosed);
    return false;
  }
  MessageOpen_ = false;
  PendingOpen_ = -1;
  MessageFile_.reset();
  SetMessageTextStream(nullptr);
  return true;
}

void TFidoMessageBase::RememberReadFile() {
  TFileIdentity Identity;
  if (MessageFile_ && MessageFile_->GetIdentity(Identity)) {
    ReadFiles_[MessageNumber_] = Identity;
  } else {
    ReadFiles_.erase(MessageNumber_);
  }
}

bool TFidoMessageBase::OpenMessageFile(std::int32_t& FileSize, bool WithText) {
  if (!GetOpened() || !Exists(Current())) {
    SetStatus(stMsgNotFound);
    return false;
  }
  if (MessageOpen_) (void)CloseMessage();  // it is open, so this succeeds
  // A read-only base reads a message the listing named a regular file in one
  // go, whose length gives the file's size when the file fits: one system
  // call fewer a message than asking for the size first.
  const bool Plain = IsReadOnly() && WithText && IsPlainFile(Current());
  MessageFile_ = CreateMessageBaseFileStream(
      MessageFileName(Current()),
      IsReadOnly() ? (smRead | (Plain ? smKnownRegular : 0)) : smReadWrite);
  if (!MessageFile_ || MessageFile_->GetStatus() != stOk) {
    return FailMessage(stMsgCantCreateStream);
  }
  MessageNumber_ = Current();
  MessagePath_ = MessageFileName(MessageNumber_);
  NewMessage_ = false;
  // Only a base that may remove the message needs to know which file it read.
  if (!IsReadOnly()) RememberReadFile();
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  Header_ = TFidoHeader{};
  MessageOpen_ = true;
  bool ReadWhole = false;        // one read took all of the file's bytes ...
  std::span<std::uint8_t> Read;  // ... and these are they
  if (Plain) {
    FileBytes_.resize(WholeFileRead);
    const std::int32_t Got = MessageFile_->ReadAtMost(FileBytes_);
    if (Got < 0) return FailMessage(stMsgCantCreateStream);
    ReadWhole = static_cast<std::size_t>(Got) < FileBytes_.size();
    if (ReadWhole) Read = std::span(FileBytes_).first(static_cast<std::size_t>(Got));
  }
  FileSize = ReadWhole ? static_cast<std::int32_t>(Read.size()) : MessageFile_->GetSize();
  // A file too short for its header holds no message: it is damaged (a
  // writer that died, or a foreign one), and shown as such, never as a
  // message with empty fields.
  if (FileSize < static_cast<std::int32_t>(TFidoHeader::Size)) {
    return FailMessage(FileSize < 0 ? stMsgCantCreateStream : stMsgDamagedFile);
  }
  // Everything after the header but the terminating zero byte.
  const std::int64_t TextSize =
      static_cast<std::int64_t>(FileSize) - static_cast<std::int64_t>(TFidoHeader::Size) - 1;
  // A text that is wanted and fits comes with the header in one read.
  const bool Together = WithText && TextSize > 0 && TextSize <= MaxFidoTextSize;
  const std::size_t Wanted = TFidoHeader::Size + static_cast<std::size_t>(Together ? TextSize : 0);
  std::unique_ptr<std::uint8_t[]> Buffer;
  std::span<std::uint8_t> Bytes;
  if (ReadWhole) {
    Bytes = Read.first(Wanted);
  } else {
    // Not cleared first: a read that fails zeroes what it was to fill.
    Buffer = std::make_unique_for_overwrite<std::uint8_t[]>(Wanted);
    Bytes = std::span(Buffer.get(), Wanted);
    MessageFile_->Seek(0);
    MessageFile_->ReadBuffer(Bytes);
  }
  if (Together && MessageFile_->GetStatus() != stOk) {
    // The header alone may still be there: it is kept as far as it reads.
    MessageFile_->Reset();
    Bytes = Bytes.first(TFidoHeader::Size);
    MessageFile_->Seek(0);
    MessageFile_->ReadBuffer(Bytes);
    (void)DecodeFidoHeader(Bytes, Header_);
    return FailMessage(stMsgCantCreateStream);
  }
  (void)DecodeFidoHeader(Bytes, Header_);  // the buffer holds a whole header
  if (MessageFile_->GetStatus() != stOk) return FailMessage(stMsgCantCreateStream);
  if (WithText && TextSize > MaxFidoTextSize) return FailMessage(stMsgBufferOverflow);
  if (Together) {
    GetMessageTextStream()->WriteBuffer(Bytes.subspan(TFidoHeader::Size));
    GetMessageTextStream()->Seek(0);
  }
  return true;
}

bool TFidoMessageBase::OpenMessage() {
  std::int32_t FileSize = 0;
  return OpenMessageFile(FileSize, true);
}

bool TFidoMessageBase::OpenMessageHeader() {
  std::int32_t FileSize = 0;
  if (!OpenMessageFile(FileSize, false)) return false;
  if (FileSize <= static_cast<std::int32_t>(TFidoHeader::Size)) return true;

  // The control lines are read in place, straight from the file after the
  // header, through a virtual base laid over the file stream. The stream is
  // taken back before the virtual base goes, which would dispose of it.
  bool Overflow = false;
  {
    TVirtualMessageBaseOmbra Scanner(std::move(MessageFile_));
    std::vector<char> Line(static_cast<std::size_t>(MaxLineSize), '\0');
    const auto MaxLen = static_cast<std::uint16_t>(MaxLineSize);
    // Line 1 is taken when it is a control line; from line 2 on, the control
    // lines are taken up to the first line that is none.
    (void)Scanner.GetStringPChar(Line.data(), MaxLen);
    if (IsControlLine(Line)) PutStringPChar(Line.data());
    for (;;) {
      (void)Scanner.GetStringPChar(Line.data(), MaxLen);
      if (!IsControlLine(Line)) break;
      PutStringPChar(Line.data());
      if (GetTextSize() > MaxFidoTextSize) {
        Overflow = true;
        break;
      }
    }
    MessageFile_ = Scanner.ReleaseMessageTextStream();
  }
  if (Overflow) return FailMessage(stMsgBufferOverflow);
  if (MessageFile_->GetStatus() != stOk) return FailMessage(stMsgCantCreateStream);
  return true;
}

std::string TFidoMessageBase::GetFrom() {
  return FixedFieldText(Header_.FromUserName);
}

std::string TFidoMessageBase::GetTo() {
  return FixedFieldText(Header_.ToUserName);
}

std::string TFidoMessageBase::GetSubject() {
  return FixedFieldText(Header_.Subject);
}

void TFidoMessageBase::GetFromAddress(TAddress& Address) {
  ClearAddress(Address);
  Address.Net = Header_.OrigNet;
  Address.Node = Header_.OrigNode;
  TMessageBase::GetFromAddress(Address);
  if (Address.Zone == 0) Address.Zone = DefaultZone;
}

void TFidoMessageBase::GetToAddress(TAddress& Address) {
  ClearAddress(Address);
  Address.Net = Header_.DestNet;
  Address.Node = Header_.DestNode;
  TMessageBase::GetToAddress(Address);
  if (Address.Zone == 0) Address.Zone = DefaultZone;
}

void TFidoMessageBase::GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) {
  ClearAddress(FromAddress);
  FromAddress.Net = Header_.OrigNet;
  FromAddress.Node = Header_.OrigNode;
  ClearAddress(ToAddress);
  ToAddress.Net = Header_.DestNet;
  ToAddress.Node = Header_.DestNode;
  TMessageBase::GetFromAndToAddress(FromAddress, ToAddress);
  if (FromAddress.Zone == 0) FromAddress.Zone = DefaultZone;
  if (ToAddress.Zone == 0) ToAddress.Zone = DefaultZone;
}

void TFidoMessageBase::SetFrom(const std::string& S) {
  SetFixedFieldText(Header_.FromUserName, S);
}

void TFidoMessageBase::SetTo(const std::string& S) {
  SetFixedFieldText(Header_.ToUserName, S);
}

void TFidoMessageBase::SetSubject(const std::string& S) {
  SetFixedFieldText(Header_.Subject, S);
}

void TFidoMessageBase::SetFromAddress(const TAddress& Address, bool NewId) {
  TMessageBase::SetFromAddress(Address, NewId);
  Header_.OrigNet = Address.Net;
  Header_.OrigNode = Address.Node;
}

void TFidoMessageBase::SetToAddress(const TAddress& Address) {
  TMessageBase::SetToAddress(Address);
  Header_.DestNet = Address.Net;
  Header_.DestNode = Address.Node;
}

void TFidoMessageBase::SetFromAndToAddress(const TAddress& FromAddress, const TAddress& ToAddress,
                                           bool NewId) {
  TMessageBase::SetFromAndToAddress(FromAddress, ToAddress, NewId);
  Header_.OrigNet = FromAddress.Net;
  Header_.OrigNode = FromAddress.Node;
  Header_.DestNet = ToAddress.Net;
  Header_.DestNode = ToAddress.Node;
}

bool TFidoMessageBase::GetAttribute(std::int32_t Attribute) {
  std::uint16_t Bit = 0;
  return MapAttribute(Attribute, Bit) && (Header_.Attribute & Bit) != 0;
}

void TFidoMessageBase::SetAttribute(std::int32_t Attribute, bool Enable) {
  std::uint16_t Bit = 0;
  if (!MapAttribute(Attribute, Bit)) return;
  Header_.Attribute =
      static_cast<std::uint16_t>(Enable ? (Header_.Attribute | Bit) : (Header_.Attribute & ~Bit));
}

void TFidoMessageBase::GetWrittenDateTime(TMessageBaseDateTime& DateTime) {
  // Messages written together share their date text: the last one read is
  // kept with what it says.
  if (!ParsedDate_ || ParsedDateText_ != Header_.DateTime) {
    ParseFidoDateText(FixedFieldText(Header_.DateTime), ParsedDate_.emplace());
    ParsedDateText_ = Header_.DateTime;
  }
  DateTime = *ParsedDate_;
}

void TFidoMessageBase::GetArrivedDateTime(TMessageBaseDateTime& DateTime) {
  MsgDateTimeToMessageBaseDateTime(Header_.DateArrived, DateTime);
}

void TFidoMessageBase::SetWrittenDateTime(const TMessageBaseDateTime& DateTime) {
  SetFixedFieldText(Header_.DateTime, MakeFidoDateText(DateTime));
  Header_.DateWritten = MessageBaseDateTimeToMsgDateTime(DateTime);
}

void TFidoMessageBase::SetArrivedDateTime(const TMessageBaseDateTime& DateTime) {
  Header_.DateArrived = MessageBaseDateTimeToMsgDateTime(DateTime);
}

bool TFidoMessageBase::GetRead() {
  return Header_.TimesRead != 0;
}

void TFidoMessageBase::SetRead(bool Read) {
  Header_.TimesRead = Read ? static_cast<std::uint16_t>(Header_.TimesRead + 1) : std::uint16_t{0};
}

bool TFidoMessageBase::GetAFlag(const std::string& Flag) {
  std::string Line;
  return !Flag.empty() && ReadFlagsLine(*this, Line) && Line.find(Flag) != std::string::npos;
}

void TFidoMessageBase::SetAFlag(const std::string& Flag, bool Value) {
  if (Flag.empty() || GetAFlag(Flag) == Value) return;
  std::string Line;
  if (ReadFlagsLine(*this, Line)) {
    if (Value) {
      Line += " " + Flag;
    } else {
      const std::size_t Place = Line.find(" " + Flag);
      if (Place != std::string::npos) Line.erase(Place, Flag.size() + 1);
    }
  } else {
    Line = std::string(FlagsKludge) + " " + Flag;
  }
  // The line must still fit the buffer that reads control lines back.
  if (Line.size() > static_cast<std::size_t>(MaxLineSize - 1)) {
    Line.resize(static_cast<std::size_t>(MaxLineSize - 1));
  }
  if (Line.size() < ShortestFlagsLine) {
    DeleteKludgePChar(FlagsKludge);
  } else {
    SetKludgePChar(FlagsKludge, Line.c_str());
  }
}

void TFidoMessageBase::SetReplyTo(std::int32_t Message) {
  Header_.ReplyTo = static_cast<std::uint16_t>(Message);
}

std::int32_t TFidoMessageBase::GetReplyTo() const {
  return Header_.ReplyTo;
}

void TFidoMessageBase::SetReplyNext(std::int32_t Message) {
  Header_.NextReply = static_cast<std::uint16_t>(Message);
}

std::int32_t TFidoMessageBase::GetReplyNext() const {
  return Header_.NextReply;
}

void TFidoMessageBase::GetHeader(TFidoHeader& Header) const {
  Header = Header_;
}

}  // namespace msgbase
