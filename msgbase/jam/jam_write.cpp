// The JAM base, the write path: a new message's header, subfields and
// text, their ordered writes and syncs, and removing a message.
#include "msgbase/jam/jam_base.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_set>

#include "msgbase/address.h"
#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/status.h"

namespace msgbase {

namespace {

constexpr char KludgeChar = '\x01';

constexpr char CarriageReturn = '\r';

constexpr char LineFeed = '\n';

// How WriteMessage stores a line that begins with Prefix.
enum class TLineKind { Subfield, Dropped };

struct TLineRule {
  std::string_view Prefix;
  TLineKind Kind;
  std::uint16_t Id;
};

// The first rule whose prefix matches decides; a control line that matches none
// becomes an FTS kludge subfield, any other line stays in the text.
constexpr std::array<TLineRule, 10> LineRules{{
    {"\x01MSGID: ", TLineKind::Subfield, jsfMsgId},
    {"\x01REPLY: ", TLineKind::Subfield, jsfReplyId},
    {"\x01PID: ", TLineKind::Subfield, jsfPid},
    {"\x01"
     "FLAGS: ",
     TLineKind::Subfield, jsfFlags},
    {"\x01Via ", TLineKind::Subfield, jsfTrace},
    {"SEEN-BY: ", TLineKind::Subfield, jsfSeenBy2D},
    {"\x01PATH: ", TLineKind::Subfield, jsfPath2D},
    // The addressing lines live in the address subfields; reading restores them.
    {"\x01INTL", TLineKind::Dropped, 0},
    {"\x01"
     "FMPT",
     TLineKind::Dropped, 0},
    {"\x01TOPT", TLineKind::Dropped, 0},
}};

bool StartsWith(std::string_view Line, std::string_view Prefix) {
  return Line.substr(0, Prefix.size()) == Prefix;
}

// Calls Visit(Line) for each line of Text: a line ends at a carriage return or
// a line feed, and a line feed directly after that end byte belongs to it. The
// last line needs no end byte.
template <typename TVisit>
void ForEachLine(std::string_view Text, TVisit Visit) {
  std::size_t Start = 0;
  while (Start < Text.size()) {
    std::size_t End = Text.find_first_of("\r\n", Start);
    if (End == std::string_view::npos) End = Text.size();
    Visit(Text.substr(Start, End - Start));
    Start = End + 1;
    if (Start < Text.size() && Text[Start] == LineFeed) ++Start;
  }
}

}  // namespace

// --- Writing a message ---

bool TJamMessageBase::CreateNewMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!StreamsOpen()) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  DropPendingMessage();
  ResetAll();
  // The new number, the one after it (the current number) and the index
  // position must all fit 32 signed bits.
  const std::int64_t Count = static_cast<std::int64_t>(Records_) + 1;
  if (static_cast<std::int64_t>(HeaderInfo_.BaseMsgNum) + Count > JamMaxNumber ||
      Count * static_cast<std::int64_t>(TJamIndex::Size) > JamMaxNumber) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  Records_ = static_cast<std::uint32_t>(Count);
  ++HeaderInfo_.ActiveMsgs;
  SetCurrent(static_cast<std::int32_t>(HeaderInfo_.BaseMsgNum + Records_));

  MessageHeader_ = TJamMessageHeaderFirst{};
  ClearSubfieldsFrom(0);
  SubfieldsLoaded_ = 0;
  ClearAddress(FromAddress_);
  ClearAddress(ToAddress_);
  From_.clear();
  To_.clear();
  Subject_.clear();
  CurrentIndex_ = TJamIndex{JamNoCrc, 0};
  MessageHeader_.Signature = JamSignature;
  MessageHeader_.Revision = JamRevision;
  MessageHeader_.MsgIdCrc = JamNoCrc;
  MessageHeader_.ReplyCrc = JamNoCrc;
  MessageHeader_.PasswordCrc = JamNoCrc;
  MessageHeader_.MessageNumber = HeaderInfo_.BaseMsgNum + Records_ - 1;
  // Positional, so a message is always found where its number says.
  IndexPosition_ =
      static_cast<std::int32_t>((Count - 1) * static_cast<std::int64_t>(TJamIndex::Size));
  HeaderPosition_ = 0;
  TextOffset_ = 0;
  TextLength_ = 0;
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  ResetDateTime();
  NewPending_ = true;
  return true;
}

bool TJamMessageBase::BuildMessage(TJamMessageHeaderFirst& Header, TSubfieldArea& Area,
                                   std::string& Text) {
  Header.SubfieldLen = 0;
  Header.MsgIdCrc = JamNoCrc;
  Header.ReplyCrc = JamNoCrc;
  bool Fits = true;
  auto Add = [&](std::uint16_t Id, std::string_view S) {
    Fits = Fits && AppendSubfield(Area, Header.SubfieldLen, Id, S);
  };

  GetFromAndToAddress(FromAddress_, ToAddress_);
  const TAddress& Destination = IsCleanAddress(ToAddress_) ? FromAddress_ : ToAddress_;
  Add(jsfSenderName, From_);
  Add(jsfOAddress, AddressToStr(FromAddress_));
  Add(jsfReceiverName, To_);
  Add(jsfDAddress, AddressToStr(Destination));
  if (!Subject_.empty()) Add(jsfSubject, Subject_);
  if ((Header.Attribute & jaFileAttach) != 0) Add(jsfEnclosedFile, Subject_);
  if ((Header.Attribute & jaFileRequest) != 0) Add(jsfEnclosedFreq, Subject_);

  // The whole text at once: ordinary lines are kept whole, however long.
  TMessageBaseStream& Source = *GetMessageTextStream();
  std::string Raw(static_cast<std::size_t>(std::max(Source.GetSize(), 0)), '\0');
  Source.Seek(0);
  Source.ReadBuffer(std::span(reinterpret_cast<std::uint8_t*>(Raw.data()), Raw.size()));
  Text.clear();
  ForEachLine(Raw, [&](std::string_view Line) {
    const std::string_view S = Line.substr(0, MaxTextLength);
    for (const TLineRule& Rule : LineRules) {
      if (!StartsWith(S, Rule.Prefix)) continue;
      if (Rule.Kind == TLineKind::Subfield) {
        const std::string_view Rest = S.substr(Rule.Prefix.size());
        Add(Rule.Id, Rest);
        if (Rule.Id == jsfMsgId) Header.MsgIdCrc = StrCRC32(std::string(Rest));
        if (Rule.Id == jsfReplyId) Header.ReplyCrc = StrCRC32(std::string(Rest));
      }
      return;
    }
    if (!S.empty() && S[0] == KludgeChar) {
      Add(jsfFtsKludge, S.substr(1));
      return;
    }
    Text.append(Line);
    Text.push_back(CarriageReturn);
  });

  // Exactly the type bit of the base type ends up set.
  auto SetBit = [&Header](std::uint32_t Bit, bool Enable) {
    Header.Attribute = Enable ? (Header.Attribute | Bit) : (Header.Attribute & ~Bit);
  };
  SetBit(jaTypeEcho, GetFlag(bfEchomail));
  SetBit(jaTypeNet, GetFlag(bfNetmail));
  SetBit(jaTypeLocal, GetFlag(bfLocal));
  return Fits;
}

bool TJamMessageBase::WriteAt(TMessageBaseStream& Stream, std::int32_t Position,
                              std::span<const std::uint8_t> Bytes) {
  Stream.Seek(Position);
  Stream.WriteBuffer(Bytes);
  return Stream.GetStatus() == stOk;
}

bool TJamMessageBase::SyncAll() {
  bool Ok = true;
  for (auto* Stream :
       {DataStream_.get(), HeaderStream_.get(), IndexStream_.get(), LastReadStream_.get()}) {
    if (Stream == nullptr) continue;
    Stream->Flush();
    // The lastread file is shared with readers and only tidied here.
    if (Stream != LastReadStream_.get()) Ok = Ok && Stream->GetStatus() == stOk;
  }
  return Ok;
}

bool TJamMessageBase::WriteMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!StreamsOpen() || GetMessageTextStream() == nullptr) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  ResetAll();
  // Built aside, so that a refused or failed write leaves the message in
  // memory as it was.
  TJamMessageHeaderFirst Header = MessageHeader_;
  auto Area = std::make_unique<TSubfieldArea>();
  std::string Text;
  if (!BuildMessage(Header, *Area, Text)) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::int64_t HeaderAt = HeaderStream_->GetSize();
  const std::int64_t TextAt = DataStream_->GetSize();
  const std::int64_t HeaderBytes = TJamMessageHeaderFirst::Size + Header.SubfieldLen;
  if (HeaderAt < static_cast<std::int64_t>(TJamHeaderInfo::Size) || TextAt < 0 ||
      HeaderAt + HeaderBytes > JamMaxNumber ||
      TextAt + static_cast<std::int64_t>(Text.size()) > JamMaxNumber) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  Header.Offset = static_cast<std::uint32_t>(TextAt);
  Header.TxtLen = static_cast<std::uint32_t>(Text.size());
  const TJamIndex Index{StrCRC32(To_), static_cast<std::uint32_t>(HeaderAt)};

  std::vector<std::uint8_t> HeaderRaw(static_cast<std::size_t>(HeaderBytes));
  const auto Fixed = EncodeJamMessageHeader(Header);
  std::copy(Area->begin(), Area->begin() + Header.SubfieldLen,
            std::copy(Fixed.begin(), Fixed.end(), HeaderRaw.begin()));

  const bool WasDeleted = !NewPending_ && IsDeletedAt(static_cast<std::uint32_t>(HeaderPosition_));

  // Text and header go past the files' ends; the index record, which makes
  // the message exist, waits for the commit when the message is new (or is
  // rewritten in place, its old bytes in the record, when it is stored).
  bool Started = false;
  StartChange(Started);
  const auto Slot =
      static_cast<std::uint32_t>(IndexPosition_ / static_cast<std::int32_t>(TJamIndex::Size));
  const bool InPending = Slot >= Change_.PendingFrom;
  bool Written =
      Protect(jfIndex, InPending ? 0 : IndexPosition_, InPending ? 0 : TJamIndex::Size) &&
      WriteAt(*DataStream_, static_cast<std::int32_t>(TextAt),
              std::span(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size())) &&
      WriteAt(*HeaderStream_, static_cast<std::int32_t>(HeaderAt), HeaderRaw);
  if (Written && InPending) {
    const auto Record = EncodeJamIndex(Index);
    const std::size_t At = static_cast<std::size_t>(Slot - Change_.PendingFrom) * TJamIndex::Size;
    if (Change_.Pending.size() < At + Record.size()) Change_.Pending.resize(At + Record.size());
    std::copy(Record.begin(), Record.end(),
              Change_.Pending.begin() + static_cast<std::ptrdiff_t>(At));
  } else if (Written) {
    // A stored message's record is rewritten in place, where readers look at
    // once: the text and header it will point at reach the disk first.
    DataStream_->Flush();
    HeaderStream_->Flush();
    Written = DataStream_->GetStatus() == stOk && HeaderStream_->GetStatus() == stOk &&
              WriteAt(*IndexStream_, IndexPosition_, EncodeJamIndex(Index));
  }
  if (!Written) {
    // What this message appended goes again; the change, when it was its
    // own, is undone.
    ResetAll();
    DataStream_->Seek(static_cast<std::int32_t>(TextAt));
    DataStream_->Truncate();
    HeaderStream_->Seek(static_cast<std::int32_t>(HeaderAt));
    HeaderStream_->Truncate();
    ResetAll();
    SetStatus(stJamStreamProblems);
    return EndChange(Started, false);
  }

  MessageHeader_ = Header;
  Subfields_ = *Area;
  SubfieldsTouched_ = Subfields_.size();
  SubfieldsLoaded_ = Header.SubfieldLen;
  CurrentIndex_ = Index;
  HeaderPosition_ = static_cast<std::int32_t>(HeaderAt);
  TextOffset_ = static_cast<std::int32_t>(TextAt);
  TextLength_ = static_cast<std::int32_t>(Text.size());
  ++HeaderInfo_.ModCounter;
  NewPending_ = false;
  CountDeletedChange(WasDeleted);
  return EndChange(Started, true);
}

bool TJamMessageBase::WriteMessageHeader() {
  if (RefuseChange(stJamReadOnly)) return false;
  // Position 0 holds the base header: the message has not been stored.
  if (!StreamsOpen() || HeaderPosition_ < static_cast<std::int32_t>(TJamHeaderInfo::Size)) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  ResetAll();
  const bool WasDeleted = IsDeletedAt(static_cast<std::uint32_t>(HeaderPosition_));
  bool Started = false;
  StartChange(Started);
  if (!Protect(jfHeader, HeaderPosition_, TJamMessageHeaderFirst::Size) ||
      !WriteAt(*HeaderStream_, HeaderPosition_, EncodeJamMessageHeader(MessageHeader_))) {
    SetStatus(stJamStreamProblems);
    return EndChange(Started, false);
  }
  CountDeletedChange(WasDeleted);
  return EndChange(Started, true);
}

// --- Removal ---

void TJamMessageBase::CountDeletedChange(bool WasDeleted) {
  const bool Deleted = (MessageHeader_.Attribute & jaDeleted) != 0;
  if (Deleted && !WasDeleted && HeaderInfo_.ActiveMsgs > 0) --HeaderInfo_.ActiveMsgs;
  if (!Deleted && WasDeleted) ++HeaderInfo_.ActiveMsgs;
}

bool TJamMessageBase::IsDeletedAt(std::uint32_t HeaderOffset) {
  const std::int64_t Size = HeaderStream_->GetSize();
  if (HeaderOffset < TJamHeaderInfo::Size ||
      static_cast<std::int64_t>(HeaderOffset) +
              static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) >
          Size) {
    return false;
  }
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size> Raw{};
  HeaderStream_->Seek(static_cast<std::int32_t>(HeaderOffset));
  HeaderStream_->ReadBuffer(Raw);
  TJamMessageHeaderFirst Header;
  const bool Deleted = HeaderStream_->GetStatus() == stOk && DecodeJamMessageHeader(Raw, Header) &&
                       Header.Signature == JamSignature && (Header.Attribute & jaDeleted) != 0;
  HeaderStream_->Reset();
  return Deleted;
}

bool TJamMessageBase::RepackIndex() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!IndexStream_) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  IndexStream_->Reset();
  const std::int32_t Size = IndexStream_->GetSize();
  if (Size < 0) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  // A partial record at the end belongs to no message and goes too.
  std::vector<std::uint8_t> Records(static_cast<std::size_t>(Size) -
                                    static_cast<std::size_t>(Size) % TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Records);
  if (IndexStream_->GetStatus() != stOk) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  std::size_t Kept = 0;
  // A second record of one header is no second message. Compacting moves
  // records towards the start, so a compaction that was stopped part way
  // leaves exactly such copies of the records it had moved: dropping them
  // finishes it.
  // Records that refer to no header (zeroed ones) keep their places, for
  // the repair to rebuild.
  std::unordered_set<std::uint32_t> Headers;
  for (std::size_t At = 0; At < Records.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    if (!DecodeJamIndex(std::span(Records).subspan(At), Index) ||
        Index.HdrOffset == JamRemovedOffset ||
        (Index.HdrOffset >= TJamHeaderInfo::Size && !Headers.insert(Index.HdrOffset).second)) {
      continue;
    }
    std::copy_n(Records.begin() + static_cast<std::ptrdiff_t>(At), TJamIndex::Size,
                Records.begin() + static_cast<std::ptrdiff_t>(Kept));
    Kept += TJamIndex::Size;
  }
  if (Kept != static_cast<std::size_t>(Size)) {
    if (!Protect(jfIndex, 0, Size)) return false;
    IndexStream_->Seek(0);
    IndexStream_->WriteBuffer(std::span(Records).first(Kept));
    IndexStream_->Truncate();
    if (IndexStream_->GetStatus() != stOk) {
      SetStatus(stJamStreamProblems);
      return false;
    }
  }
  Records_ = static_cast<std::uint32_t>(Kept / TJamIndex::Size);
  // ActiveMsgs leaves out the messages marked deleted. When it disagrees with
  // the records, the headers are looked at to count it anew; a header that
  // cannot be read counts as a message.
  if (HeaderInfo_.ActiveMsgs != Records_) {
    std::uint32_t Live = 0;
    for (std::size_t At = 0; At < Kept; At += TJamIndex::Size) {
      TJamIndex Index;
      if (DecodeJamIndex(std::span(Records).subspan(At), Index) && !IsDeletedAt(Index.HdrOffset)) {
        ++Live;
      }
    }
    HeaderInfo_.ActiveMsgs = Live;
  }
  if (NewPending_) {
    // The message being built keeps its place right after the last record.
    ++Records_;
    ++HeaderInfo_.ActiveMsgs;
    IndexPosition_ = static_cast<std::int32_t>(Kept);
    MessageHeader_.MessageNumber = HeaderInfo_.BaseMsgNum + Records_ - 1;
  }
  return true;
}

bool TJamMessageBase::KillMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  const std::int32_t Removed = Current();
  if (!StreamsOpen() || NewPending_ || !Exists(Removed)) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  ResetAll();
  IndexPosition_ =
      static_cast<std::int32_t>((static_cast<std::int64_t>(Removed) - HeaderInfo_.BaseMsgNum) *
                                static_cast<std::int64_t>(TJamIndex::Size));
  TJamIndex Old;
  (void)ReadIndexRecord(Removed, Old);
  bool Started = false;
  StartChange(Started);
  // The old index, lastread records and the message's header go into the
  // record first. Index records that wait for a commit are written now: the
  // compaction works on the whole index.
  bool Ok = Protect(jfIndex, 0, Change_.Intent.Files[jfIndex].Size) &&
            Protect(jfLastRead, 0, Change_.Intent.Files[jfLastRead].Size) &&
            Protect(jfHeader, Old.HdrOffset, TJamMessageHeaderFirst::Size);
  if (Ok && !Change_.Pending.empty()) {
    Ok = WriteAt(*IndexStream_, static_cast<std::int32_t>(Change_.PendingFrom * TJamIndex::Size),
                 Change_.Pending);
    Change_.Pending.clear();
    Change_.PendingFrom = Records_;
  }
  // The header is marked deleted too, so that no repair takes a removed
  // message for one whose record was lost.
  TJamMessageHeaderFirst Header;
  if (Ok && ReadSignedHeader(Old.HdrOffset, Header)) {
    Header.Attribute |= jaDeleted;
    Ok = WriteAt(*HeaderStream_, static_cast<std::int32_t>(Old.HdrOffset),
                 EncodeJamMessageHeader(Header));
  }
  CurrentIndex_ = TJamIndex{JamRemovedOffset, JamRemovedOffset};
  Ok = Ok && WriteAt(*IndexStream_, IndexPosition_, EncodeJamIndex(CurrentIndex_));
  if (!Ok) {
    SetStatus(stJamStreamProblems);
    return EndChange(Started, false);
  }
  --HeaderInfo_.ActiveMsgs;
  if (!RepackIndex()) return EndChange(Started, false);
  SetCurrent(Removed - 1);
  if (!AdjustLastRead(static_cast<std::uint32_t>(Removed))) {
    SetStatus(stJamStreamProblems);
    return EndChange(Started, false);
  }
  return EndChange(Started, true);
}

}  // namespace msgbase
