// The Squish base, the write path: frames and their chains, writing a new or
// changed message with its undo journal, and removing a message.
#include "msgbase/squish/squish_base.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
#include "msgbase/squish/squish_layout.h"
#include "msgbase/status.h"

namespace msgbase {

using namespace squish_layout;

namespace {

// Two characters: the decimal form with a "0" in front of a single digit; a
// longer form keeps its first two characters.
std::string TwoDigits(std::int32_t Value) {
  std::string Text = std::to_string(Value);
  if (Text.size() == 1) Text.insert(0, 1, '0');
  return Text.substr(0, 2);
}

}  // namespace

// --- Frames and chains ---

bool TSquishMessageBase::ReadFrame(std::uint32_t Pos, TSquishFrame& Frame) {
  if (Pos < FirstFramePos) return false;
  const std::int64_t Size = StreamSize(DataStream_.get());
  if (static_cast<std::int64_t>(Pos) + FrameHeaderSize > Size) return false;
  DataStream_->Seek(static_cast<std::int32_t>(Pos));
  return ReadRecord(*DataStream_, Frame);
}

bool TSquishMessageBase::GetFrame(std::uint32_t Pos, TSquishFrame& Frame) {
  if (Pos == 0) return false;
  if (!ReadFrame(Pos, Frame)) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  return true;
}

bool TSquishMessageBase::SetFrame(std::uint32_t Pos, const TSquishFrame& Frame) {
  if (DataStream_ == nullptr || Pos < FirstFramePos ||
      static_cast<std::int64_t>(Pos) + FrameHeaderSize > MaxStreamPos) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (!Protect(sfData, Pos, FrameHeaderSize) || !JournalBytes(*DataStream_, Pos, FrameHeaderSize)) {
    return false;
  }
  DataStream_->Reset();
  DataStream_->Seek(static_cast<std::int32_t>(Pos));
  WriteRecord(*DataStream_, Frame);
  if (DataStream_->GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  return true;
}

bool TSquishMessageBase::GetChainFrame(std::uint32_t Pos, TSquishFrame& Frame) {
  if (!GetFrame(Pos, Frame)) return false;
  if (Frame.Id != SquishFrameId) {
    // Not a frame: rewriting its "links" would damage whatever lies there.
    SetStatus(stSquishDataProblems);
    return false;
  }
  return true;
}

void TSquishMessageBase::LinkToPrev(TSquishFrame& Frame, std::uint32_t PrevPos,
                                    std::uint32_t FramePos) {
  TSquishFrame Prev;
  if (GetChainFrame(PrevPos, Prev)) {
    Prev.NextFrame = FramePos;
    (void)SetFrame(PrevPos, Prev);  // a failed write is left in the status
    Frame.PrevFrame = PrevPos;
  } else {
    Frame.PrevFrame = 0;
  }
}

void TSquishMessageBase::LinkToNext(TSquishFrame& Frame, std::uint32_t NextPos,
                                    std::uint32_t FramePos) {
  TSquishFrame Next;
  if (GetChainFrame(NextPos, Next)) {
    Next.PrevFrame = FramePos;
    (void)SetFrame(NextPos, Next);  // a failed write is left in the status
    Frame.NextFrame = NextPos;
  } else {
    Frame.NextFrame = 0;
  }
}

void TSquishMessageBase::LinkUpdate(const TSquishFrame& Frame, std::uint32_t& Head,
                                    std::uint32_t& Tail, std::uint32_t FramePos) {
  if (Frame.NextFrame == 0) Tail = FramePos;
  if (Frame.PrevFrame == 0) Head = FramePos;
}

void TSquishMessageBase::UnlinkFrame(const TSquishFrame& Frame, std::uint32_t& Head,
                                     std::uint32_t& Tail) {
  TSquishFrame Neighbour;
  if (GetChainFrame(Frame.PrevFrame, Neighbour)) {
    Neighbour.NextFrame = Frame.NextFrame;
    (void)SetFrame(Frame.PrevFrame, Neighbour);  // a failed write is left in the status
  } else {
    Head = Frame.NextFrame;
  }
  if (GetChainFrame(Frame.NextFrame, Neighbour)) {
    Neighbour.PrevFrame = Frame.PrevFrame;
    (void)SetFrame(Frame.NextFrame, Neighbour);  // a failed write is left in the status
  } else {
    Tail = Frame.PrevFrame;
  }
}

std::uint32_t TSquishMessageBase::FindFreeFrame(std::uint32_t Length, TSquishFrame& Frame) {
  if (!KeepFreeChain()) return 0;
  const std::int64_t Size = StreamSize(DataStream_.get());
  // No chain can hold more frames than the file has room for frame headers,
  // so a cycle ends here at the latest.
  const std::int64_t MaxSteps = (Size - FirstFramePos) / FrameHeaderSize + 1;
  std::uint32_t Pos = BaseHeader_.FreeFrame;
  for (std::int64_t Step = 0; Pos != 0 && Step < MaxSteps; ++Step) {
    // A broken free chain is only a lost chance of reuse: the message is
    // appended instead.
    if (!ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId || Frame.FrameType != sqfFree) {
      return 0;
    }
    // Inside a transaction only a frame that was free when it began: the
    // record holds its header, and its room holds nothing to keep.
    if (Frame.FrameLength >= Length &&
        static_cast<std::int64_t>(Pos) + FrameHeaderSize + Frame.FrameLength <= Size &&
        (!Tx_.Open || Tx_.Reusable.contains(Pos))) {
      return Pos;
    }
    Pos = Frame.NextFrame;
  }
  return 0;
}

void TSquishMessageBase::FreeOldFrame(TSquishFrame OldFrame, std::uint32_t OldPos) {
  UnlinkFrame(OldFrame, BaseHeader_.BeginFrame, BaseHeader_.LastFrame);
  OldFrame.NextFrame = 0;
  OldFrame.FrameType = sqfFree;
  LinkToPrev(OldFrame, BaseHeader_.LastFreeFrame, OldPos);
  LinkUpdate(OldFrame, BaseHeader_.FreeFrame, BaseHeader_.LastFreeFrame, OldPos);
  (void)SetFrame(OldPos, OldFrame);  // a failed write is left in the status
}

// --- Writing ---

bool TSquishMessageBase::CreateNewMessage() {
  if (RefuseChange(stSquishReadOnly)) return false;
  GiveBackNewMessage();
  MessageHeader_ = TSquishMessageHeader{};
  CurrentFrame_ = TSquishFrame{};
  CurrentIndex_ = TSquishIndex{};

  SetCurrent(static_cast<std::int32_t>(BaseHeader_.Uid));
  MessageHeader_.UMsgId = BaseHeader_.Uid;
  CurrentIndex_.UMsgId = BaseHeader_.Uid;
  ++BaseHeader_.Uid;
  ++BaseHeader_.NumMsg;
  ++BaseHeader_.HighMsg;
  CountsTaken_ = true;

  CurrentFrame_.Id = SquishFrameId;
  FramePosition_ = 0;
  MessageHeader_.Attr = sqaUid;
  IndexPosition_ = IndexEnd();
  MessageIndex_ = CurrentIndex_;
  MessageIndexPosition_ = IndexPosition_;

  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  ResetDateTime();
  NewMessage_ = true;
  HeaderOnly_ = false;
  return true;
}

std::int64_t TSquishMessageBase::CountedIndexBytes() {
  const std::int64_t Size = StreamSize(IndexStream_.get());
  if (Size <= 0) return 0;
  // The base header is the commit record: records past its count belong to
  // a message a writer had not finished, and are no message yet. A new
  // message being built counts in memory but has no record yet.
  const std::int64_t Counted =
      (static_cast<std::int64_t>(BaseHeader_.NumMsg) - (CountsTaken_ ? 1 : 0)) * IndexRecordSize;
  return std::max<std::int64_t>(0, std::min(Size - Size % IndexRecordSize, Counted));
}

std::int32_t TSquishMessageBase::IndexEnd() {
  // A record past the count or a torn one at the end is overwritten rather
  // than left between records.
  return static_cast<std::int32_t>(CountedIndexBytes());
}

void TSquishMessageBase::GiveBackNewMessage() {
  if (!CountsTaken_) return;
  CountsTaken_ = false;
  NewMessage_ = false;
  const std::uint32_t Id = MessageHeader_.UMsgId;
  if (BaseHeader_.Uid == Id + 1) BaseHeader_.Uid = Id;
  if (BaseHeader_.NumMsg > 0) --BaseHeader_.NumMsg;
  if (BaseHeader_.HighMsg > 0) --BaseHeader_.HighMsg;
  if (Current() == static_cast<std::int32_t>(Id)) SetCurrent(0);
}

std::uint32_t TSquishMessageBase::CollectControlLines(std::vector<std::uint8_t>& Control,
                                                      std::int32_t& TextStart) {
  std::vector<char> Line(MaxLineSize);
  std::uint32_t Clen = 1;
  bool LastWasControl = false;
  SetTextPos(0);
  TextStart = 0;
  while (!EndOfMessage()) {
    TextStart = GetTextPos();
    const std::uint16_t Length =
        GetStringPChar(Line.data(), static_cast<std::uint16_t>(MaxLineSize));
    LastWasControl = Length > 0 && static_cast<std::uint8_t>(Line[0]) == KludgeByte;
    if (!LastWasControl) break;
    // A control line that would overflow the area stays at the head of the
    // text, with every line after it: nothing is lost, and the area stays
    // within what readers accept.
    if (Clen + Length > SquishMaxClenLength) {
      LastWasControl = false;
      break;
    }
    std::memcpy(Control.data() + Clen - 1, Line.data(), Length);
    Clen += Length;
  }
  // Only control lines: they all went to the area and the text is empty.
  if (LastWasControl) TextStart = GetTextPos();
  Control[Clen - 1] = 0;
  return Clen;
}

std::string TSquishMessageBase::FtscDateText() {
  TMessageBaseDateTime Written;
  GetWrittenDateTime(Written);
  return TwoDigits(Written.Day) + " " + MonthNumberToMonthString(Written.Month) + " " +
         TwoDigits(Y2ToDouble(Written.Year)) + "  " + TwoDigits(Written.Hour) + ":" +
         TwoDigits(Written.Minute) + ":" + TwoDigits(Written.Second);
}

bool TSquishMessageBase::WriteMessage() {
  const bool Automatic = StartAutomatic();
  const bool Ok = StoreMessage();
  return EndAutomatic(Automatic, Ok, false);
}

bool TSquishMessageBase::StoreMessage() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (!GetOpened() || DataStream_ == nullptr || IndexStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  TMessageBaseStream* Text = GetMessageTextStream();
  if (Text == nullptr) {
    SetStatus(stSquishMsgNotExists);
    return false;
  }
  if (HeaderOnly_) {
    // Its text was never loaded: writing it would store the message without it.
    SetStatus(stSquishUnsupported);
    return false;
  }
  if (!NewMessage_) {
    // The message's own record must still be where it was read.
    TSquishIndex Stored;
    if (!GetIndex(MessageIndexPosition_, Stored) || Stored.UMsgId != MessageIndex_.UMsgId ||
        Stored.Ofs != MessageIndex_.Ofs) {
      SetStatus(stSquishIndexProblems);
      return false;
    }
  }

  std::vector<std::uint8_t> Control(SquishControlBufferSize);
  std::int32_t TextStart = 0;
  const std::uint32_t Clen = CollectControlLines(Control, TextStart);
  const std::int64_t TextLength = static_cast<std::int64_t>(Text->GetSize()) - TextStart;
  const std::int64_t DataSize = StreamSize(DataStream_.get());
  const std::int64_t IndexSize = StreamSize(IndexStream_.get());
  const std::int64_t Length = MessageHeaderSize + Clen + TextLength + 1;
  if (DataSize < FirstFramePos || IndexSize < 0 ||
      Length > MaxStreamPos - DataSize - FrameHeaderSize) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  const auto MsgLength = static_cast<std::uint32_t>(Length);

  // Everything a failure puts back: the files are cut to these sizes, the
  // bytes the write overwrites are journalled, and the object's own state is
  // restored from here.
  SetStatus(stOk);
  Journal_.clear();
  Journaling_ = true;
  const TSquishBaseHeader OldBaseHeader = BaseHeader_;
  const TSquishFrame OldFrame = CurrentFrame_;
  const std::uint32_t OldFramePosition = FramePosition_;
  const TSquishIndex OldMessageIndex = MessageIndex_;
  const std::int32_t OldMessageIndexPosition = MessageIndexPosition_;
  const auto Fail = [&] {
    UndoWrite(DataSize, IndexSize);
    BaseHeader_ = OldBaseHeader;
    CurrentFrame_ = OldFrame;
    FramePosition_ = OldFramePosition;
    MessageIndex_ = OldMessageIndex;
    MessageIndexPosition_ = OldMessageIndexPosition;
    SetStatus(stSquishDataProblems);
    return false;
  };

  CurrentFrame_.MsgLength = MsgLength;
  CurrentFrame_.FrameLength = MsgLength;
  if (NewMessage_) {
    CurrentFrame_.PrevFrame = BaseHeader_.LastFrame;
    CurrentFrame_.NextFrame = 0;
  }
  // The neighbours are linked only after the message is stored; one that
  // cannot be read now would be dropped from the chain then, so the write is
  // refused before anything changes.
  TSquishFrame Neighbour;
  if ((CurrentFrame_.PrevFrame != 0 && !GetChainFrame(CurrentFrame_.PrevFrame, Neighbour)) ||
      (CurrentFrame_.NextFrame != 0 && !GetChainFrame(CurrentFrame_.NextFrame, Neighbour))) {
    return Fail();
  }

  // A stored message's frame and its neighbours, and its index record, go
  // into the record at once: one sync however the rewrite turns out.
  if (Tx_.Open && !NewMessage_ &&
      (!Cover(sfData, OldFramePosition, FrameHeaderSize + OldFrame.FrameLength) ||
       !Cover(sfData, OldFrame.PrevFrame, FrameHeaderSize) ||
       !Cover(sfData, OldFrame.NextFrame, FrameHeaderSize) ||
       !Cover(sfData, BaseHeader_.LastFreeFrame, FrameHeaderSize) ||
       !Protect(sfIndex, MessageIndexPosition_, IndexRecordSize))) {
    return Fail();
  }

  const bool Relocate = !NewMessage_ && OldFrame.FrameLength < MsgLength;
  TSquishFrame Free;
  std::uint32_t FreePos = 0;
  bool Appended = false;
  if (!NewMessage_ && !Relocate) {
    CurrentFrame_.FrameLength = OldFrame.FrameLength;
  } else {
    FreePos = FindFreeFrame(MsgLength, Free);
    if (FreePos != 0) {
      FramePosition_ = FreePos;
      CurrentFrame_.FrameLength = Free.FrameLength;
    } else {
      FramePosition_ = static_cast<std::uint32_t>(DataSize);
      Appended = true;
    }
  }

  if (NewMessage_) {
    // A Seek since CreateNewMessage may have moved the navigation record; the
    // new record goes to the end of the index as it is now.
    MessageIndexPosition_ = IndexEnd();
    MessageIndex_.UMsgId = MessageHeader_.UMsgId;
  }
  MessageIndex_.Ofs = FramePosition_;
  MessageIndex_.Hash = MakeHash(GetTo());

  CurrentFrame_.Id = SquishFrameId;
  CurrentFrame_.ClenLength = Clen;
  CurrentFrame_.FrameType = sqfMessage;
  CurrentFrame_.Reserved = 0;

  TAddress From;
  TAddress To;
  GetFromAndToAddress(From, To);
  MessageHeader_.Orig = From;
  MessageHeader_.Dest = To;
  MessageHeader_.UtcOfs = 0;
  ToASCIIZ(FtscDateText(), MessageHeader_.FtscDate.data(), MessageHeader_.FtscDate.size());

  // The message itself and its index record come first, in a frame past
  // EndFrame or one taken from the free chain, and a record past the count;
  // the chains follow. The transaction's commit syncs them and writes the
  // base header, which counts the message, in one piece.
  if (!Protect(sfData, FramePosition_, FrameHeaderSize + MsgLength) ||
      !JournalBytes(*DataStream_, FramePosition_, FrameHeaderSize + MsgLength)) {
    return Fail();
  }
  Text->Seek(TextStart);
  DataStream_->Reset();
  DataStream_->Seek(static_cast<std::int32_t>(FramePosition_));
  WriteRecord(*DataStream_, CurrentFrame_);
  WriteRecord(*DataStream_, MessageHeader_);
  DataStream_->WriteBuffer({Control.data(), Clen});
  DataStream_->CopyFrom(*Text, static_cast<std::int32_t>(TextLength));
  const std::uint8_t Terminator = 0;
  DataStream_->Write(&Terminator, 1);
  if (DataStream_->GetStatus() != stOk) return Fail();
  if (!SetIndex(MessageIndexPosition_, MessageIndex_)) return Fail();

  // Then the chains, and the base header last of all.
  if (FreePos != 0) UnlinkFrame(Free, BaseHeader_.FreeFrame, BaseHeader_.LastFreeFrame);
  if (Relocate) FreeOldFrame(OldFrame, OldFramePosition);
  LinkToNext(CurrentFrame_, CurrentFrame_.NextFrame, FramePosition_);
  LinkToPrev(CurrentFrame_, CurrentFrame_.PrevFrame, FramePosition_);
  LinkUpdate(CurrentFrame_, BaseHeader_.BeginFrame, BaseHeader_.LastFrame, FramePosition_);
  if (GetStatus() != stOk) return Fail();
  if (Appended) {
    const std::int64_t NewSize = StreamSize(DataStream_.get());
    if (NewSize > 0) BaseHeader_.EndFrame = static_cast<std::uint32_t>(NewSize);
  }
  Journaling_ = false;
  Journal_.clear();

  // The message is stored: its counts stay, and a second WriteMessage
  // rewrites it instead of adding it again.
  CountsTaken_ = false;
  if (NewMessage_) {
    NewMessage_ = false;
    CurrentIndex_ = MessageIndex_;
    IndexPosition_ = MessageIndexPosition_;
    SetCurrent(static_cast<std::int32_t>(MessageIndex_.UMsgId));
  } else if (IndexPosition_ == MessageIndexPosition_) {
    CurrentIndex_ = MessageIndex_;
  }
  return true;
}

bool TSquishMessageBase::JournalBytes(TMessageBaseStream& Stream, std::int64_t Pos,
                                      std::int64_t Length) {
  if (!Journaling_) return true;
  const std::int64_t Size = StreamSize(&Stream);
  const std::int64_t Inside = std::min(Length, Size - Pos);
  // Bytes past the end need no copy: cutting the file back removes them.
  if (Pos < 0 || Inside <= 0) return true;
  TJournalEntry Entry{&Stream, static_cast<std::int32_t>(Pos),
                      std::vector<std::uint8_t>(static_cast<std::size_t>(Inside))};
  Stream.Seek(Entry.Pos);
  Stream.ReadBuffer(Entry.Bytes);
  if (Stream.GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  Journal_.push_back(std::move(Entry));
  return true;
}

void TSquishMessageBase::UndoWrite(std::int64_t DataSize, std::int64_t IndexSize) {
  Journaling_ = false;
  // Newest first, so each place ends with the bytes it held before the write.
  for (auto Entry = Journal_.rbegin(); Entry != Journal_.rend(); ++Entry) {
    Entry->Stream->Reset();
    Entry->Stream->Seek(Entry->Pos);
    Entry->Stream->WriteBuffer(Entry->Bytes);
  }
  Journal_.clear();
  for (const auto& [Stream, Size] :
       {std::pair{DataStream_.get(), DataSize}, std::pair{IndexStream_.get(), IndexSize}}) {
    if (StreamSize(Stream) > Size) {
      Stream->Seek(static_cast<std::int32_t>(Size));
      Stream->Truncate();
    }
  }
}

bool TSquishMessageBase::WriteMessageHeader() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (DataStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (FramePosition_ == 0) {
    // Not stored yet: there is no header on disk to rewrite.
    SetStatus(stSquishMsgNotExists);
    return false;
  }
  const bool Automatic = StartAutomatic();
  bool Ok = Protect(sfData, FramePosition_ + FrameHeaderSize, MessageHeaderSize);
  if (Ok) {
    DataStream_->Reset();
    DataStream_->Seek(static_cast<std::int32_t>(FramePosition_ + FrameHeaderSize));
    WriteRecord(*DataStream_, MessageHeader_);
    Ok = DataStream_->GetStatus() == stOk;
    // Part of a header may have been written: never committed as it is.
    if (!Ok && !Automatic) Tx_.Doomed = true;
  }
  if (!Ok) SetStatus(stSquishDataProblems);
  return EndAutomatic(Automatic, Ok, false);
}

bool TSquishMessageBase::CloseMessage() {
  GiveBackNewMessage();
  if (GetMessageTextStream() == nullptr) return false;
  SetMessageTextStream(nullptr);
  return true;
}

// --- Removing ---

bool TSquishMessageBase::CurrentRecordValid() {
  if (Current() == 0 || IndexPosition_ % IndexRecordSize != 0) return false;
  TSquishIndex Stored;
  return GetIndex(IndexPosition_, Stored) &&
         static_cast<std::int32_t>(Stored.UMsgId) == Current() &&
         Stored.UMsgId == CurrentIndex_.UMsgId && Stored.Ofs == CurrentIndex_.Ofs;
}

bool TSquishMessageBase::RemoveIndexRecord() {
  const std::int64_t Size = StreamSize(IndexStream_.get());
  const std::int64_t After = static_cast<std::int64_t>(IndexPosition_) + IndexRecordSize;
  const auto TailLength = static_cast<std::int32_t>(Size - After);
  if (!Protect(sfIndex, IndexPosition_, Size - IndexPosition_)) return false;
  PMessageBaseStream Tail = CreateMessageBaseMemoryStream(TailLength);
  IndexStream_->Seek(static_cast<std::int32_t>(After));
  Tail->CopyFrom(*IndexStream_, TailLength);
  Tail->Seek(0);
  IndexStream_->Seek(IndexPosition_);
  IndexStream_->CopyFrom(*Tail, TailLength);
  IndexStream_->Truncate();
  return IndexStream_->GetStatus() == stOk;
}

bool TSquishMessageBase::KillMessage() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (DataStream_ == nullptr || IndexStream_ == nullptr || !CurrentRecordValid()) {
    SetStatus(stSquishMsgNotExists);
    return false;
  }
  const std::uint32_t Pos = CurrentIndex_.Ofs;
  TSquishFrame Frame;
  if (Pos == 0) {
    SetStatus(stSquishIndexProblems);
    return false;
  }
  if (!GetFrame(Pos, Frame)) return false;
  if (Frame.Id != SquishFrameId || Frame.FrameType != sqfMessage) {
    // Freeing a frame that is no message frame would tangle the chains.
    SetStatus(stSquishGrungedFrame);
    return false;
  }

  // Everything the removal rewrites goes into the record at once: the frame,
  // its neighbours in both chains and the index from its record on. Inside
  // the caller's transaction, which may remove more, every message frame's
  // header and the whole index go in with the first, so that the further
  // removals need no further sync.
  const bool Automatic = StartAutomatic();
  if (!Automatic && !KeepMessageChain()) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (Tx_.Open &&
      (!Cover(sfData, Pos, FrameHeaderSize) || !Cover(sfData, Frame.PrevFrame, FrameHeaderSize) ||
       !Cover(sfData, Frame.NextFrame, FrameHeaderSize) ||
       !Cover(sfData, BaseHeader_.LastFreeFrame, FrameHeaderSize) ||
       !Protect(sfIndex, IndexPosition_, StreamSize(IndexStream_.get()) - IndexPosition_))) {
    SetStatus(stSquishDataProblems);
    return EndAutomatic(Automatic, false, true);
  }
  // From here on every step runs; a failure is remembered in the status.
  SetStatus(stOk);
  UnlinkFrame(Frame, BaseHeader_.BeginFrame, BaseHeader_.LastFrame);
  if (!RemoveIndexRecord()) SetStatus(stSquishDataProblems);
  Frame.NextFrame = 0;
  Frame.FrameType = sqfFree;
  LinkToPrev(Frame, BaseHeader_.LastFreeFrame, Pos);
  LinkUpdate(Frame, BaseHeader_.FreeFrame, BaseHeader_.LastFreeFrame, Pos);
  (void)SetFrame(Pos, Frame);  // a failure is left in the status
  if (BaseHeader_.NumMsg > 0) --BaseHeader_.NumMsg;
  if (BaseHeader_.HighMsg > 0) --BaseHeader_.HighMsg;
  // Half a removal must never be committed: inside the caller's transaction
  // a failure here dooms it.
  if (!Automatic && GetStatus() != stOk) Tx_.Doomed = true;
  const bool Removed = EndAutomatic(Automatic, GetStatus() == stOk, true);
  IndexPosition_ -= IndexRecordSize;

  // The frame is free now: no later write may touch it as this message's.
  (void)CloseMessage();  // false only when no text was open
  CurrentFrame_ = TSquishFrame{};
  FramePosition_ = 0;
  NewMessage_ = false;
  HeaderOnly_ = false;
  return Removed;
}

}  // namespace msgbase
