// The JAM base, reading and navigation: message numbers and the index,
// the subfields, and loading a message's header, control lines and text.
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

// Subfield data handed out by GetSubfield and the reading passes.
constexpr std::size_t MaxSubfieldText = MaxTextLength;

// Subfield bytes read with a message's fixed header: enough for the
// subfields of most messages, so that one read takes the whole header.
constexpr std::size_t FirstSubfieldsRead = 1024;

// Control lines rebuilt from subfields when a message is opened: the ones
// before the stored text, then the trace, SEEN-BY and PATH lines after it.
struct TRestoredLine {
  std::uint16_t Id;
  std::string_view Prefix;
};

constexpr std::array<TRestoredLine, 5> LinesBeforeText{{
    {jsfMsgId, "\x01MSGID: "},
    {jsfReplyId, "\x01REPLY: "},
    {jsfPid, "\x01PID: "},
    {jsfFtsKludge, "\x01"},
    {jsfFlags,
     "\x01"
     "FLAGS: "},
}};

constexpr std::array<TRestoredLine, 3> LinesAfterText{{
    {jsfTrace, "\x01Via "},
    {jsfSeenBy2D, "SEEN-BY: "},
    {jsfPath2D, "\x01PATH: "},
}};

}  // namespace

// --- Numbers ---

bool TJamMessageBase::ReadIndexRecord(std::int32_t Message, TJamIndex& Index) {
  if (!IndexStream_) return false;
  const std::int64_t Record = static_cast<std::int64_t>(Message) - HeaderInfo_.BaseMsgNum;
  if (Record < 0 || Record >= static_cast<std::int64_t>(Records_)) return false;
  const std::int64_t Slot =
      KeptRecords_.empty() ? Record : KeptRecords_[static_cast<std::size_t>(Record)];
  const std::int64_t Position = Slot * static_cast<std::int64_t>(TJamIndex::Size);
  // New messages' records wait in memory for the commit.
  if (Change_.Open && Slot >= Change_.PendingFrom) {
    const auto At = static_cast<std::size_t>(Slot - Change_.PendingFrom) * TJamIndex::Size;
    return At + TJamIndex::Size <= Change_.Pending.size() &&
           DecodeJamIndex(std::span(Change_.Pending).subspan(At), Index);
  }
  IndexStream_->Reset();
  // A record cut off by the end of the file is a short read: no record, and
  // the stream is left without the failure.
  std::array<std::uint8_t, TJamIndex::Size> Raw{};
  IndexStream_->Seek(static_cast<std::int32_t>(Position));
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) {
    IndexStream_->Reset();
    return false;
  }
  return DecodeJamIndex(Raw, Index);
}

bool TJamMessageBase::MapKeptRecords() {
  KeptRecords_.clear();
  const std::int32_t Size = IndexStream_->GetSize();
  if (Size < 0) return false;
  std::vector<std::uint8_t> Raw(static_cast<std::size_t>(Size) -
                                static_cast<std::size_t>(Size) % TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) return false;
  std::vector<std::uint32_t> Kept;
  for (std::size_t At = 0; At < Raw.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    if (DecodeJamIndex(std::span(Raw).subspan(At), Index) && Index.HdrOffset != JamRemovedOffset) {
      Kept.push_back(static_cast<std::uint32_t>(At / TJamIndex::Size));
    }
  }
  Records_ = static_cast<std::uint32_t>(Kept.size());
  // Only a base with removed records needs the map.
  if (Kept.size() != Raw.size() / TJamIndex::Size) KeptRecords_ = std::move(Kept);
  return true;
}

bool TJamMessageBase::Exists(std::int32_t Message) {
  TJamIndex Index;
  return ReadIndexRecord(Message, Index) && Index.HdrOffset != JamRemovedOffset;
}

void TJamMessageBase::SeekNext() {
  const std::int32_t First =
      static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.BaseMsgNum, JamMaxNumber));
  const std::int32_t Highest = GetHighest();
  for (std::int32_t Message = Current(); Message < Highest;) {
    Message = std::max(Message + 1, First);
    if (Message < Highest && ReadIndexRecord(Message, FoundIndex_) &&
        FoundIndex_.HdrOffset != JamRemovedOffset) {
      SetCurrent(Message);
      // A reader's walk goes on to read the message: the record just read
      // serves it, as nothing in this process can change the index meanwhile.
      FoundIndexFor_ = IsReadOnly() ? Message : 0;
      return;
    }
  }
  SetCurrent(0);
}

void TJamMessageBase::SeekPrev() {
  const std::int32_t First =
      static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.BaseMsgNum, JamMaxNumber));
  for (std::int32_t Message = std::min(Current(), GetHighest()); Message > 1;) {
    --Message;
    if (Message < First) break;
    if (Exists(Message)) {
      SetCurrent(Message);
      return;
    }
  }
  SetCurrent(0);
}

std::int32_t TJamMessageBase::GetLocation() {
  return Current();
}

void TJamMessageBase::SetLocation(std::int32_t Location) {
  SetCurrent(Location);
}

std::int32_t TJamMessageBase::GetHighest() {
  // Open and CreateNewMessage keep the sum inside 32 signed bits.
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(HeaderInfo_.BaseMsgNum) + Records_, JamMaxNumber));
}

std::int32_t TJamMessageBase::GetCount() {
  return static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.ActiveMsgs, JamMaxNumber));
}

// --- Subfields ---

bool TJamMessageBase::AppendSubfield(TSubfieldArea& Area, std::uint32_t& Length, std::uint16_t Id,
                                     std::string_view S) {
  if (Length > Area.size() || Area.size() - Length < TJamSubfield::Size + S.size()) return false;
  TJamSubfield Field;
  Field.LoId = Id;
  Field.DatLen = static_cast<std::uint32_t>(S.size());
  const auto Raw = EncodeJamSubfield(Field);
  auto Out = std::copy(Raw.begin(), Raw.end(), Area.begin() + Length);
  std::copy(S.begin(), S.end(), Out);
  Length += static_cast<std::uint32_t>(TJamSubfield::Size + S.size());
  return true;
}

bool TJamMessageBase::AddSubfield(std::int32_t Id, const std::string& S) {
  if (!AppendSubfield(Subfields_, MessageHeader_.SubfieldLen, static_cast<std::uint16_t>(Id), S)) {
    return false;
  }
  SubfieldsLoaded_ = std::max(SubfieldsLoaded_, MessageHeader_.SubfieldLen);
  SubfieldsTouched_ = std::max<std::size_t>(SubfieldsTouched_, MessageHeader_.SubfieldLen);
  return true;
}

void TJamMessageBase::ClearSubfieldsFrom(std::size_t Start) {
  // Bytes past what is held read as zero; only those written before need it.
  if (SubfieldsTouched_ > Start) {
    std::fill(Subfields_.begin() + static_cast<std::ptrdiff_t>(Start),
              Subfields_.begin() + static_cast<std::ptrdiff_t>(SubfieldsTouched_), std::uint8_t{0});
  }
  SubfieldsTouched_ = Start;
}

template <typename TVisit>
void TJamMessageBase::WalkSubfields(TVisit Visit) const {
  // Only whole subfields inside both the stored length and the bytes at hand
  // count; the first one that runs past them ends the walk.
  const std::size_t Limit =
      std::min<std::size_t>({MessageHeader_.SubfieldLen, SubfieldsLoaded_, Subfields_.size()});
  std::size_t Position = 0;
  while (Limit - Position >= TJamSubfield::Size) {
    TJamSubfield Field;
    if (!DecodeJamSubfield(std::span(Subfields_).subspan(Position, Limit - Position), Field)) {
      return;
    }
    Position += TJamSubfield::Size;
    if (Field.DatLen > Limit - Position) return;
    const std::string_view Data(reinterpret_cast<const char*>(Subfields_.data() + Position),
                                std::min<std::size_t>(Field.DatLen, MaxSubfieldText));
    Position += Field.DatLen;
    if (!Visit(Field.LoId, Data)) return;
  }
}

bool TJamMessageBase::GetSubfield(std::int32_t N, std::int32_t& Id, std::string& S) const {
  std::int32_t Count = 0;
  bool Found = false;
  WalkSubfields([&](std::uint16_t FieldId, std::string_view Data) {
    if (++Count != N) return true;
    Id = FieldId;
    S.assign(Data);
    Found = true;
    return false;
  });
  return Found;
}

// --- Reading a message ---

bool TJamMessageBase::LoadMessage(bool WithText) {
  (void)CloseMessage();  // false only means that no message was open
  ResetAll();
  const bool Found = FoundIndexFor_ != 0 && FoundIndexFor_ == Current();
  FoundIndexFor_ = 0;
  if (Found) CurrentIndex_ = FoundIndex_;
  if (!StreamsOpen() || (!Found && !ReadIndexRecord(Current(), CurrentIndex_))) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  IndexPosition_ =
      static_cast<std::int32_t>((static_cast<std::int64_t>(Current()) - HeaderInfo_.BaseMsgNum) *
                                static_cast<std::int64_t>(TJamIndex::Size));

  // The header must lie whole inside the header file, after the base header.
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  const std::int64_t HeaderAt = CurrentIndex_.HdrOffset;
  if (CurrentIndex_.HdrOffset == JamRemovedOffset ||
      HeaderAt < static_cast<std::int64_t>(TJamHeaderInfo::Size) ||
      HeaderAt + static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) > HeaderSize) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  // The fixed part with the first subfields in one read, and the rest of the
  // subfields, as far as their stored length, the file and the area go, only
  // when they are longer.
  const std::int64_t Available = std::min<std::int64_t>(
      HeaderSize - HeaderAt,
      static_cast<std::int64_t>(TJamMessageHeaderFirst::Size + JamSubfieldsSize));
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size + FirstSubfieldsRead> First{};
  const auto FirstSize = static_cast<std::size_t>(
      std::min<std::int64_t>(Available, static_cast<std::int64_t>(First.size())));
  HeaderStream_->Seek(static_cast<std::int32_t>(HeaderAt));
  HeaderStream_->ReadBuffer(std::span(First).first(FirstSize));
  TJamMessageHeaderFirst Header;
  if (HeaderStream_->GetStatus() != stOk ||
      !DecodeJamMessageHeader(std::span(First).first(FirstSize), Header)) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::size_t SubfieldBytes =
      static_cast<std::size_t>(std::min<std::int64_t>(
          Available,
          static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen)) -
      TJamMessageHeaderFirst::Size;
  if (Header.Signature != JamSignature) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  // Some maintenance software damages the subfield length and the text offset
  // of the headers it marks deleted: such a message is still reported, as
  // deleted, without what no longer fits. Any other message that does not fit
  // is refused.
  const bool Deleted = (Header.Attribute & jaDeleted) != 0;
  // Subfields cut off by the end of the file: the header cannot be read whole.
  const bool SubfieldsFit =
      HeaderAt + static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen <=
      HeaderSize;
  if (!SubfieldsFit && !Deleted) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::int64_t DataSize = DataStream_->GetSize();
  const bool TextFits = static_cast<std::int64_t>(Header.Offset) + Header.TxtLen <= DataSize;
  if (!TextFits && !Deleted) {
    SetStatus(stJamWrongDataLocation);
    return false;
  }

  // Only the subfields a walk can reach are read; of a header whose subfields
  // do not fit, what the file holds is kept, unused, as it always was.
  const std::size_t Loaded = SubfieldsFit ? SubfieldBytes : 0;
  const std::size_t Held = SubfieldsFit
                               ? SubfieldBytes
                               : static_cast<std::size_t>(Available) - TJamMessageHeaderFirst::Size;
  const std::size_t InFirst = std::min(Held, FirstSize - TJamMessageHeaderFirst::Size);
  // Longer subfields: the rest, which the first read did not reach.
  std::vector<std::uint8_t> Rest(Held - InFirst);
  if (!Rest.empty()) {
    HeaderStream_->ReadBuffer(Rest);
    if (HeaderStream_->GetStatus() != stOk) {
      SetStatus(stJamStreamProblems);
      return false;
    }
  }
  const auto After =
      std::copy_n(First.begin() + TJamMessageHeaderFirst::Size, InFirst, Subfields_.begin());
  std::copy(Rest.begin(), Rest.end(), After);
  HeaderPosition_ = static_cast<std::int32_t>(HeaderAt);
  MessageHeader_ = Header;
  ClearSubfieldsFrom(Held);
  SubfieldsLoaded_ = static_cast<std::uint32_t>(Loaded);
  TextOffset_ = TextFits ? static_cast<std::int32_t>(Header.Offset) : 0;
  TextLength_ = TextFits ? static_cast<std::int32_t>(Header.TxtLen) : 0;

  ClearAddress(FromAddress_);
  ClearAddress(ToAddress_);
  From_.clear();
  To_.clear();
  Subject_.clear();
  const bool FileAttached = GetAttribute(maFileAttached);
  const bool FileRequest = GetAttribute(maFileRequest);
  WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
    const std::string S(Data);
    switch (Id) {
      case jsfOAddress:
        (void)StrToAddress(S, FromAddress_);  // what parses is kept, as in a control line
        break;
      case jsfDAddress:
        (void)StrToAddress(S, ToAddress_);
        break;
      case jsfSenderName:
        From_ = S;
        break;
      case jsfReceiverName:
        To_ = S;
        break;
      case jsfSubject:
        Subject_ = S;
        break;
      case jsfEnclosedFile:
        if (FileAttached) Subject_ = S;
        break;
      case jsfEnclosedFreq:
        if (FileRequest) Subject_ = S;
        break;
      default:
        break;
    }
    return true;
  });

  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  auto PutLines = [this](std::uint16_t Wanted, std::string_view Prefix) {
    WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
      if (Id == Wanted) PutString(CutText(std::string(Prefix) + std::string(Data)));
      return true;
    });
  };
  // Lines before the text keep the subfields' order among themselves.
  WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
    for (const TRestoredLine& Line : LinesBeforeText) {
      if (Line.Id == Id) PutString(CutText(std::string(Line.Prefix) + std::string(Data)));
    }
    return true;
  });
  if (WithText) {
    DataStream_->Seek(TextOffset_);
    GetMessageTextStream()->CopyFrom(*DataStream_, TextLength_);
    if (DataStream_->GetStatus() != stOk) {
      SetMessageTextStream(nullptr);
      SetStatus(stJamStreamProblems);
      return false;
    }
    for (const TRestoredLine& Line : LinesAfterText) PutLines(Line.Id, Line.Prefix);
  }
  // Only what the subfields hold comes back: a message stored without a
  // MSGID is read without one (and no serial is drawn for it).
  PutAddressLines(FromAddress_, ToAddress_);
  SetTextPos(0);
  return true;
}

bool TJamMessageBase::OpenMessage() {
  return LoadMessage(true);
}

bool TJamMessageBase::OpenMessageHeader() {
  return LoadMessage(false);
}

void TJamMessageBase::DropPendingMessage() {
  if (!NewPending_) return;
  NewPending_ = false;
  if (Records_ > 0) --Records_;
  if (HeaderInfo_.ActiveMsgs > 0) --HeaderInfo_.ActiveMsgs;
}

bool TJamMessageBase::CloseMessage() {
  DropPendingMessage();
  if (GetMessageTextStream() == nullptr) return false;
  SetMessageTextStream(nullptr);
  return true;
}

}  // namespace msgbase
