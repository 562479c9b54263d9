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
#include "msgbase/status.h"

namespace msgbase {

namespace {

// Frames start after the base header; nothing below this offset is a frame.
constexpr std::uint32_t FirstFramePos = TSquishBaseHeader::Size;
constexpr std::int64_t FrameHeaderSize = TSquishFrame::Size;
constexpr std::int64_t MessageHeaderSize = TSquishMessageHeader::Size;
constexpr std::int32_t IndexRecordSize = TSquishIndex::Size;
constexpr std::int64_t MaxStreamPos = std::numeric_limits<std::int32_t>::max();

// The data, index and lastread files, in this order.
enum TSquishFile : std::size_t { sfData = 0, sfIndex = 1, sfLastRead = 2 };
const std::vector<std::string> SquishExtensions{"sqd", "sqi", "sql"};

constexpr std::uint8_t KludgeByte = 0x01;
constexpr std::uint8_t CarriageReturn = 0x0D;

template <typename TRecord>
void WriteRecord(TMessageBaseStream& Stream, const TRecord& Record) {
  std::array<std::uint8_t, TRecord::Size> Buf{};
  Record.Encode(Buf);
  Stream.WriteBuffer(Buf);
}

// False when the stream fails; Record is then left as it was.
template <typename TRecord>
bool ReadRecord(TMessageBaseStream& Stream, TRecord& Record) {
  std::array<std::uint8_t, TRecord::Size> Buf{};
  Stream.ReadBuffer(Buf);
  if (Stream.GetStatus() != stOk) return false;
  return Record.Decode(Buf);
}

// Two characters: the decimal form with a "0" in front of a single digit; a
// longer form keeps its first two characters.
std::string TwoDigits(std::int32_t Value) {
  std::string Text = std::to_string(Value);
  if (Text.size() == 1) Text.insert(0, 1, '0');
  return Text.substr(0, 2);
}

}  // namespace

TSquishMessageBase::TSquishMessageBase() = default;

TSquishMessageBase::~TSquishMessageBase() {
  Close();
}

// --- The base ---

void TSquishMessageBase::PreparePath(const std::string& Path) {
  if (!Path.empty() && Path.back() == '.') {
    SetBasePath(Path);
  } else {
    SetBasePath(Path + ".");
  }
}

bool TSquishMessageBase::Exist(const std::string& Path) {
  PreparePath(Path);
  // Either file alone still holds messages: creating over it would lose them.
  // A file under two names exists too: Open then refuses it. Empty files,
  // which a creation that was stopped leaves, hold nothing and make no base.
  TBaseFileNames Files;
  if (!FindBaseFiles(GetBasePath(), SquishExtensions, Files)) return true;
  return (Files.Present[sfData] && FileHoldsBytes(Files.Name[sfData])) ||
         (Files.Present[sfIndex] && FileHoldsBytes(Files.Name[sfIndex]));
}

void TSquishMessageBase::FailOpen(std::int32_t Status) {
  SetStatus(Status);
  LastReadName_.clear();
  DataStream_.reset();
  IndexStream_.reset();
  SetBasePath("");
  SetOpened(false);
}

bool TSquishMessageBase::Create(const std::string& Path) {
  if (GetOpened()) Close();
  SetOpened(false);
  if (RefuseChange(stSquishReadOnly)) return false;
  PreparePath(Path);
  (void)CreateDirectory(ExtractPathName(Path));  // a missing directory shows when the file fails
  const std::string Base = GetBasePath();
  TBaseFileNames Names;
  if (!FindBaseFiles(Base, SquishExtensions, Names)) {
    FailOpen(stSquishTwoNames);
    return false;
  }
  // Files a stopped creation left empty are made again; any other file of
  // the base, the lastread file included, makes it a base that is partly
  // there, which is refused rather than created over.
  if (std::size_t Blocking = 0; !ClearStoppedCreation(Names, Blocking)) {
    FailOpen(Blocking == sfIndex ? stSquishCantCreateSqi : stSquishCantCreateSqd);
    return false;
  }
  LastReadName_ = Names.Name[sfLastRead];

  // The empty index first, then the data file and its header: the base
  // exists only once the header is written, so a creation stopped on the
  // way leaves empty files, which make no base (Exist).
  IndexStream_ = CreateMessageBaseFileStream(Names.Name[sfIndex], smCreate | smNew | smDenyWrite);
  if (IndexStream_ == nullptr || IndexStream_->GetStatus() != stOk) {
    FailOpen(stSquishCantCreateSqi);
    return false;
  }
  DataStream_ = CreateMessageBaseFileStream(Names.Name[sfData],
                                            smCreate | smNew | smDenyWrite | smRecordLock);
  if (DataStream_ == nullptr || DataStream_->GetStatus() != stOk) {
    FailOpen(stSquishCantCreateSqd);
    return false;
  }

  BaseHeader_ = TSquishBaseHeader{};
  BaseHeader_.Len = TSquishBaseHeader::Size;
  BaseHeader_.Uid = 1;
  // The base path without its final ".", as far as the field holds it.
  ToASCIIZ(Base.substr(0, Base.size() - 1), BaseHeader_.BaseName.data(),
           BaseHeader_.BaseName.size());
  BaseHeader_.EndFrame = FirstFramePos;
  BaseHeader_.MaxMsg = SquishMaxMsg;
  BaseHeader_.KeepDays = SquishKeepDays;
  BaseHeader_.SzSqHdr = TSquishMessageHeader::Size;
  IndexStream_->Flush();
  if (!SaveBaseHeader() || IndexStream_->GetStatus() != stOk) {
    FailOpen(stSquishCantCreateSqd);
    return false;
  }
  DataStream_->Flush();
  if (DataStream_->GetStatus() != stOk || !SyncDirectory(ExtractPathName(Names.Name[sfData]))) {
    FailOpen(stSquishCantCreateSqd);
    return false;
  }

  ResetMessageState();
  SetOpened(true);
  return true;
}

bool TSquishMessageBase::Open(const std::string& Path) {
  if (GetOpened()) Close();
  PreparePath(Path);
  TBaseFileNames Names;
  if (!FindBaseFiles(GetBasePath(), SquishExtensions, Names)) {
    FailOpen(stSquishTwoNames);
    return false;
  }
  if (!Names.Present[sfData]) {
    FailOpen(stSquishAbsentSqd);
    return false;
  }
  if (!Names.Present[sfIndex]) {
    FailOpen(stSquishAbsentSqi);
    return false;
  }
  LastReadName_ = Names.Name[sfLastRead];
  // Readers share the files; a writer holds them alone. The data file also
  // carries the record lock on its first byte that other Squish software
  // takes.
  const std::int32_t Mode = IsReadOnly() ? smRead | smDenyWriteShared : smReadWrite | smDenyWrite;
  DataStream_ = CreateMessageBaseFileStream(Names.Name[sfData], Mode | smRecordLock);
  if (DataStream_ == nullptr || DataStream_->GetStatus() != stOk) {
    FailOpen(stSquishCantOpenSqd);
    return false;
  }
  IndexStream_ = CreateMessageBaseFileStream(Names.Name[sfIndex], Mode);
  if (IndexStream_ == nullptr || IndexStream_->GetStatus() != stOk) {
    FailOpen(stSquishCantOpenSqi);
    return false;
  }
  // The header's fields are checked where they are used; a data file too
  // short to hold the header at all is no base.
  DataStream_->Seek(0);
  if (StreamSize(DataStream_.get()) < FirstFramePos || !ReadRecord(*DataStream_, BaseHeader_)) {
    FailOpen(stSquishBaseHeaderProblems);
    return false;
  }
  BaseHeader_.Encode(StoredBaseHeader_);
  CountsTaken_ = false;
  // A reader leaves what a dead writer left: it sees only what the header
  // counts anyway.
  if (!IsReadOnly() && !RepairAfterCrash()) {
    FailOpen(stSquishDataProblems);
    return false;
  }

  ResetMessageState();
  SetOpened(true);
  return true;
}

void TSquishMessageBase::Close() {
  if (!GetOpened()) return;
  GiveBackNewMessage();
  SetOpened(false);
  // Close has no result: the status after it tells whether the header got out.
  // An unchanged header is not written again: looking leaves the files as
  // they were.
  SetStatus(stOk);
  if (!IsReadOnly()) {
    std::array<std::uint8_t, TSquishBaseHeader::Size> Header{};
    BaseHeader_.Encode(Header);
    // The header, and whatever was written since the last sync, reach the
    // disk before the base counts as closed.
    if ((Header == StoredBaseHeader_ || SaveBaseHeader()) && DataStream_->GetStatus() == stOk) {
      DataStream_->Flush();
      IndexStream_->Flush();
      if (DataStream_->GetStatus() != stOk || IndexStream_->GetStatus() != stOk) {
        SetStatus(stSquishDataProblems);
      }
    }
  }
  DataStream_.reset();
  IndexStream_.reset();
}

void TSquishMessageBase::ResetMessageState() {
  SetCurrent(0);
  CurrentIndex_ = TSquishIndex{};
  IndexPosition_ = 0;
  MessageIndex_ = TSquishIndex{};
  MessageIndexPosition_ = 0;
  CurrentFrame_ = TSquishFrame{};
  FramePosition_ = 0;
  NewMessage_ = false;
  CountsTaken_ = false;
  HeaderOnly_ = false;
}

std::int64_t TSquishMessageBase::StreamSize(TMessageBaseStream* Stream) {
  if (Stream == nullptr) return -1;
  Stream->Reset();
  return Stream->GetSize();
}

bool TSquishMessageBase::RepairAfterCrash() {
  TMessageBaseStream& Data = *DataStream_;
  TMessageBaseStream& Index = *IndexStream_;
  const std::int64_t IndexSize = StreamSize(&Index);
  const std::int64_t Counted = static_cast<std::int64_t>(BaseHeader_.NumMsg) * IndexRecordSize;
  if (IndexSize < 0 || StreamSize(&Data) < FirstFramePos) return false;
  bool Repaired = false;

  // Index records past the count go when every one of them carries an id
  // the base header has not given out yet: a writer that died before its
  // commit wrote them. Any other record is left as it is.
  if (IndexSize > Counted) {
    bool Uncommitted = true;
    TSquishIndex Idx;
    for (std::int64_t Pos = Counted; Pos + IndexRecordSize <= IndexSize && Uncommitted;
         Pos += IndexRecordSize) {
      Index.Seek(static_cast<std::int32_t>(Pos));
      Uncommitted = ReadRecord(Index, Idx) && Idx.UMsgId >= BaseHeader_.Uid;
    }
    if (Uncommitted) {
      Index.Seek(static_cast<std::int32_t>(Counted));
      Index.Truncate();
      Repaired = true;
    }
  }

  // The tail of the data file past EndFrame (a frame written, whole or torn,
  // by a writer that died before its commit) goes when nothing counted lies
  // there: no chain end and no counted index record.
  const std::uint32_t End = BaseHeader_.EndFrame;
  if (End >= FirstFramePos && StreamSize(&Data) > End && BaseHeader_.BeginFrame < End &&
      BaseHeader_.LastFrame < End && BaseHeader_.FreeFrame < End &&
      BaseHeader_.LastFreeFrame < End) {
    std::vector<std::uint8_t> Records(static_cast<std::size_t>(
        std::min(Counted, StreamSize(&Index)) / IndexRecordSize * IndexRecordSize));
    Index.Seek(0);
    Index.ReadBuffer(Records);
    bool Inside = Index.GetStatus() == stOk;
    for (std::size_t At = 0; Inside && At < Records.size(); At += IndexRecordSize) {
      TSquishIndex Idx;
      Inside = Idx.Decode(std::span<const std::uint8_t>(Records).subspan(At, IndexRecordSize)) &&
               Idx.Ofs < End;
    }
    if (Inside) {
      Data.Seek(static_cast<std::int32_t>(End));
      Data.Truncate();
      Repaired = true;
    }
  }

  // The last counted frame leads nowhere: a link to a frame whose message id
  // the header has not given out, or to no frame at all, is cut.
  TSquishFrame Last;
  if (ReadFrame(BaseHeader_.LastFrame, Last) && Last.Id == SquishFrameId && Last.NextFrame != 0) {
    TSquishFrame Next;
    TSquishMessageHeader Header;
    bool Dangling = !ReadFrame(Last.NextFrame, Next) || Next.Id != SquishFrameId;
    if (!Dangling && Next.FrameType == sqfMessage) {
      Data.Seek(static_cast<std::int32_t>(Last.NextFrame + FrameHeaderSize));
      Dangling = !ReadRecord(Data, Header) || Header.UMsgId >= BaseHeader_.Uid;
    }
    if (Dangling) {
      Last.NextFrame = 0;
      if (!SetFrame(BaseHeader_.LastFrame, Last)) return false;
      Repaired = true;
    }
  }

  // The free chain only serves writers. One that a writer left broken (a
  // frame taken from it but not yet counted) is given up whole: its frames
  // are lost for reuse, never a message.
  if (!FreeChainSound()) {
    BaseHeader_.FreeFrame = 0;
    BaseHeader_.LastFreeFrame = 0;
    if (!SaveBaseHeader()) return false;
    Repaired = true;
  }
  if (!Repaired) return true;
  Data.Flush();
  Index.Flush();
  return Data.GetStatus() == stOk && Index.GetStatus() == stOk;
}

bool TSquishMessageBase::FreeChainSound() {
  const std::int64_t Size = StreamSize(DataStream_.get());
  const std::int64_t MaxSteps = (Size - FirstFramePos) / FrameHeaderSize + 1;
  std::uint32_t Prev = 0;
  std::uint32_t Pos = BaseHeader_.FreeFrame;
  for (std::int64_t Step = 0; Pos != 0; ++Step) {
    TSquishFrame Frame;
    if (Step >= MaxSteps || !ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId ||
        Frame.FrameType != sqfFree || Frame.PrevFrame != Prev ||
        static_cast<std::int64_t>(Pos) + FrameHeaderSize + Frame.FrameLength > Size) {
      return false;
    }
    Prev = Pos;
    Pos = Frame.NextFrame;
  }
  return Prev == BaseHeader_.LastFreeFrame;
}

bool TSquishMessageBase::SaveBaseHeader() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (DataStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (!JournalBytes(*DataStream_, 0, TSquishBaseHeader::Size)) return false;
  DataStream_->Reset();
  DataStream_->Seek(0);
  WriteRecord(*DataStream_, BaseHeader_);
  if (DataStream_->GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  BaseHeader_.Encode(StoredBaseHeader_);
  return true;
}

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
  if (!JournalBytes(*DataStream_, Pos, FrameHeaderSize)) return false;
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
    if (Frame.FrameLength >= Length &&
        static_cast<std::int64_t>(Pos) + FrameHeaderSize + Frame.FrameLength <= Size) {
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
  // the chains follow, and the base header, written in one piece, commits
  // the message last. A run that stops before that leaves only what the
  // header does not count, which readers ignore and the next Open removes
  // (RepairAfterCrash).
  if (!JournalBytes(*DataStream_, FramePosition_, FrameHeaderSize + MsgLength)) return Fail();
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
  // Everything the new base header points to reaches the disk before it
  // does, so that after a power cut it never counts bytes that are not
  // there. The header itself is synced by the next message's sync or Close.
  DataStream_->Flush();
  IndexStream_->Flush();
  if (DataStream_->GetStatus() != stOk || IndexStream_->GetStatus() != stOk) return Fail();
  if (!SaveBaseHeader()) return Fail();
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
  DataStream_->Reset();
  DataStream_->Seek(static_cast<std::int32_t>(FramePosition_ + FrameHeaderSize));
  WriteRecord(*DataStream_, MessageHeader_);
  if (DataStream_->GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  return true;
}

bool TSquishMessageBase::CloseMessage() {
  GiveBackNewMessage();
  if (GetMessageTextStream() == nullptr) return false;
  SetMessageTextStream(nullptr);
  return true;
}

// --- Index and navigation ---

bool TSquishMessageBase::GetIndex(std::int32_t Pos, TSquishIndex& Idx) {
  if (Pos < 0) return false;
  if (static_cast<std::int64_t>(Pos) + IndexRecordSize > CountedIndexBytes()) return false;
  IndexStream_->Seek(Pos);
  return ReadRecord(*IndexStream_, Idx);
}

bool TSquishMessageBase::SetIndex(std::int32_t Pos, const TSquishIndex& Idx) {
  if (IndexStream_ == nullptr || Pos < 0 || Pos > MaxStreamPos - IndexRecordSize) return false;
  if (!JournalBytes(*IndexStream_, Pos, IndexRecordSize)) return false;
  IndexStream_->Reset();
  IndexStream_->Seek(Pos);
  WriteRecord(*IndexStream_, Idx);
  return IndexStream_->GetStatus() == stOk;
}

bool TSquishMessageBase::CheckIndex(std::int32_t Message, TSquishIndex& Idx, std::int32_t& Pos,
                                    bool Nearest) {
  Pos = 0;
  std::int64_t Count = CountedIndexBytes() / IndexRecordSize;
  if (Count <= 0) return false;
  IndexStream_->Seek(0);
  while (Count > 0) {
    if (!ReadRecord(*IndexStream_, Idx)) return false;
    const auto Id = static_cast<std::int32_t>(Idx.UMsgId);
    if (Id == Message || (Nearest && Id >= Message)) return true;
    --Count;
    Pos += IndexRecordSize;
  }
  return false;
}

bool TSquishMessageBase::Exists(std::int32_t Message) {
  TSquishIndex Idx;
  std::int32_t Pos = 0;
  return CheckIndex(Message, Idx, Pos, false);
}

void TSquishMessageBase::Seek(std::int32_t Message) {
  if (CheckIndex(Message, CurrentIndex_, IndexPosition_, true)) {
    SetCurrent(static_cast<std::int32_t>(CurrentIndex_.UMsgId));
  } else {
    SetCurrent(0);
    IndexPosition_ = 0;
  }
}

void TSquishMessageBase::SeekHighWater() {
  Seek(static_cast<std::int32_t>(BaseHeader_.HighWater));
}

void TSquishMessageBase::SetLocation(std::int32_t Location) {
  if (Location % IndexRecordSize == 0 && GetIndex(Location, CurrentIndex_)) {
    IndexPosition_ = Location;
    SetCurrent(static_cast<std::int32_t>(CurrentIndex_.UMsgId));
  } else {
    if (IndexStream_ != nullptr) IndexStream_->Reset();
    IndexPosition_ = 0;
    SetCurrent(0);
  }
}

void TSquishMessageBase::SeekNext() {
  const std::int64_t Next = static_cast<std::int64_t>(IndexPosition_) + IndexRecordSize;
  SetLocation(Next > MaxStreamPos ? -1 : static_cast<std::int32_t>(Next));
}

void TSquishMessageBase::SeekPrev() {
  const std::int64_t Prev = static_cast<std::int64_t>(IndexPosition_) - IndexRecordSize;
  SetLocation(Prev < 0 ? -1 : static_cast<std::int32_t>(Prev));
}

std::int32_t TSquishMessageBase::GetLocation() {
  return IndexPosition_;
}

std::int32_t TSquishMessageBase::GetHighest() {
  return static_cast<std::int32_t>(BaseHeader_.Uid - 1);
}

std::int32_t TSquishMessageBase::GetCount() {
  return static_cast<std::int32_t>(BaseHeader_.NumMsg);
}

// --- Reading a message ---

void TSquishMessageBase::PutControlLines(const std::vector<std::uint8_t>& Area) {
  TMessageBaseStream* Text = GetMessageTextStream();
  std::string Line;
  const auto Flush = [&] {
    if (Line.empty()) return;
    Text->WriteBuffer({reinterpret_cast<const std::uint8_t*>(Line.data()), Line.size()});
    Text->Write(&CarriageReturn, 1);
    Line.clear();
  };
  for (std::size_t I = 0; I < Area.size(); ++I) {
    const std::uint8_t C = Area[I];
    if (C == KludgeByte && I != 0) Flush();
    // NUL bytes vanish; a line longer than the line buffer is cut.
    if (C != 0 && Line.size() < static_cast<std::size_t>(MaxLineSize - 1)) {
      Line.push_back(static_cast<char>(C));
    }
  }
  Flush();
}

bool TSquishMessageBase::LoadMessage(bool WithText) {
  (void)CloseMessage();  // false only when there was no text to release
  FramePosition_ = 0;
  if (DataStream_ == nullptr || IndexStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (Current() == 0) {
    SetStatus(stSquishMsgNotExists);
    return false;
  }
  const std::uint32_t Pos = CurrentIndex_.Ofs;
  if (Pos == 0) {
    SetStatus(stSquishIndexProblems);
    return false;
  }
  TSquishFrame Frame;
  if (!GetFrame(Pos, Frame)) return false;
  const std::int64_t Room =
      StreamSize(DataStream_.get()) - static_cast<std::int64_t>(Pos) - FrameHeaderSize;
  if (Frame.Id != SquishFrameId || Frame.FrameType != sqfMessage ||
      Frame.ClenLength > SquishMaxClenLength || Frame.MsgLength > Frame.FrameLength ||
      static_cast<std::int64_t>(Frame.MsgLength) > Room ||
      static_cast<std::int64_t>(Frame.MsgLength) < MessageHeaderSize + Frame.ClenLength) {
    SetStatus(stSquishGrungedFrame);
    return false;
  }

  TSquishMessageHeader Header;
  std::vector<std::uint8_t> Area(Frame.ClenLength);
  DataStream_->Seek(static_cast<std::int32_t>(Pos + FrameHeaderSize));
  const bool HeaderRead = ReadRecord(*DataStream_, Header);
  DataStream_->ReadBuffer(Area);
  if (!HeaderRead || DataStream_->GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }

  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  PutControlLines(Area);
  if (WithText) {
    const auto TextLength =
        static_cast<std::int32_t>(Frame.MsgLength - MessageHeaderSize - Frame.ClenLength);
    TMessageBaseStream* Text = GetMessageTextStream();
    const std::int32_t TextStart = Text->GetPos();
    Text->CopyFrom(*DataStream_, TextLength);
    if (DataStream_->GetStatus() != stOk) {
      SetMessageTextStream(nullptr);
      SetStatus(stSquishDataProblems);
      return false;
    }
    // Drop the text's terminating NUL, but only when it is one: text stored
    // without it keeps its last byte.
    if (TextLength > 0) {
      const std::int32_t Last = TextStart + TextLength - 1;
      std::uint8_t C = 1;
      Text->Seek(Last);
      Text->Read(&C, 1);
      if (C == 0) {
        Text->Seek(Last);
        Text->Truncate();
      }
    }
  }
  SetTextPos(0);

  MessageHeader_ = Header;
  CurrentFrame_ = Frame;
  FramePosition_ = Pos;
  MessageIndex_ = CurrentIndex_;
  MessageIndexPosition_ = IndexPosition_;
  NewMessage_ = false;
  HeaderOnly_ = !WithText;
  return true;
}

bool TSquishMessageBase::OpenMessage() {
  return LoadMessage(true);
}

bool TSquishMessageBase::OpenMessageHeader() {
  return LoadMessage(false);
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
  (void)SaveBaseHeader();  // a failure is left in the status
  IndexPosition_ -= IndexRecordSize;

  // The frame is free now: no later write may touch it as this message's.
  (void)CloseMessage();  // false only when no text was open
  CurrentFrame_ = TSquishFrame{};
  FramePosition_ = 0;
  NewMessage_ = false;
  HeaderOnly_ = false;
  return GetStatus() == stOk;
}

// --- Header fields ---

std::string TSquishMessageBase::GetFrom() {
  return FromASCIIZ(MessageHeader_.From.data(), MessageHeader_.From.size());
}

std::string TSquishMessageBase::GetTo() {
  return FromASCIIZ(MessageHeader_.To.data(), MessageHeader_.To.size());
}

std::string TSquishMessageBase::GetSubject() {
  return FromASCIIZ(MessageHeader_.Subject.data(), MessageHeader_.Subject.size());
}

void TSquishMessageBase::SetFrom(const std::string& S) {
  ToASCIIZ(S, MessageHeader_.From.data(), MessageHeader_.From.size());
}

void TSquishMessageBase::SetTo(const std::string& S) {
  ToASCIIZ(S, MessageHeader_.To.data(), MessageHeader_.To.size());
}

void TSquishMessageBase::SetSubject(const std::string& S) {
  ToASCIIZ(S, MessageHeader_.Subject.data(), MessageHeader_.Subject.size());
}

void TSquishMessageBase::GetFromAddress(TAddress& Address) {
  Address = TAddress{};
  TMessageBase::GetFromAddress(Address);
}

void TSquishMessageBase::GetToAddress(TAddress& Address) {
  Address = TAddress{};
  TMessageBase::GetToAddress(Address);
}

void TSquishMessageBase::GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) {
  FromAddress = TAddress{};
  ToAddress = TAddress{};
  TMessageBase::GetFromAndToAddress(FromAddress, ToAddress);
}

bool TSquishMessageBase::MapAttribute(std::int32_t& Attribute) {
  // The common numbers are single bits 0x0001..0x8000; this is the Squish bit
  // of each, in that order.
  static constexpr std::array<std::uint32_t, 16> SquishBits{
      sqaPrivate,         sqaCrash,        sqaReceived,      sqaSent,
      sqaFileAttached,    sqaInTransit,    sqaOrphan,        sqaKillSent,
      sqaLocal,           sqaHold,         sqaFileRequest,   sqaReturnReceiptRequest,
      sqaIsReturnReceipt, sqaAuditRequest, sqaUpdateRequest, sqaScanned};
  if (Attribute <= 0 || Attribute > maScanned ||
      !std::has_single_bit(static_cast<std::uint32_t>(Attribute))) {
    return false;
  }
  Attribute = static_cast<std::int32_t>(SquishBits[static_cast<std::size_t>(
      std::countr_zero(static_cast<std::uint32_t>(Attribute)))]);
  return true;
}

bool TSquishMessageBase::GetAttribute(std::int32_t Attribute) {
  if (!MapAttribute(Attribute)) return false;
  return (MessageHeader_.Attr & static_cast<std::uint32_t>(Attribute)) != 0;
}

void TSquishMessageBase::SetAttribute(std::int32_t Attribute, bool Enable) {
  if (!MapAttribute(Attribute)) return;
  const auto Bit = static_cast<std::uint32_t>(Attribute);
  MessageHeader_.Attr = Enable ? (MessageHeader_.Attr | Bit) : (MessageHeader_.Attr & ~Bit);
}

bool TSquishMessageBase::GetRead() {
  return (MessageHeader_.Attr & sqaRead) != 0;
}

void TSquishMessageBase::SetRead(bool Read) {
  MessageHeader_.Attr = Read ? (MessageHeader_.Attr | sqaRead) : (MessageHeader_.Attr & ~sqaRead);
}

void TSquishMessageBase::SquishSwap(std::uint32_t& L) {
  L = (L >> 16) | ((L & 0xFFFFu) << 16);
}

std::uint32_t TSquishMessageBase::MakeHash(const std::string& S) {
  std::uint32_t Hash = 0;
  for (const char Ch : S) {
    Hash = (Hash << 4) + static_cast<std::uint8_t>(LoCase(Ch));
    const std::uint32_t Top = Hash & 0xF0000000u;
    // The top nibble is folded in, and deliberately not cleared: the stored
    // hashes of every base depend on this exact sum.
    if (Top != 0) Hash |= (Top >> 24) | Top;
  }
  return Hash & 0x7FFFFFFFu;
}

void TSquishMessageBase::SetWrittenDateTime(const TMessageBaseDateTime& DateTime) {
  std::uint32_t Stamp = MessageBaseDateTimeToDosDateTime(DateTime);
  SquishSwap(Stamp);
  MessageHeader_.DateWritten = Stamp;
}

void TSquishMessageBase::SetArrivedDateTime(const TMessageBaseDateTime& DateTime) {
  std::uint32_t Stamp = MessageBaseDateTimeToDosDateTime(DateTime);
  SquishSwap(Stamp);
  MessageHeader_.DateArrived = Stamp;
}

void TSquishMessageBase::GetWrittenDateTime(TMessageBaseDateTime& DateTime) {
  std::uint32_t Stamp = MessageHeader_.DateWritten;
  SquishSwap(Stamp);
  ClearMessageBaseDateTime(DateTime);
  DosDateTimeToMessageBaseDateTime(Stamp, DateTime);
}

void TSquishMessageBase::GetArrivedDateTime(TMessageBaseDateTime& DateTime) {
  std::uint32_t Stamp = MessageHeader_.DateArrived;
  SquishSwap(Stamp);
  ClearMessageBaseDateTime(DateTime);
  DosDateTimeToMessageBaseDateTime(Stamp, DateTime);
}

std::int32_t TSquishMessageBase::GetReplyTo() const {
  return static_cast<std::int32_t>(MessageHeader_.ReplyTo);
}

void TSquishMessageBase::SetReplyTo(std::int32_t Message) {
  MessageHeader_.ReplyTo = static_cast<std::uint32_t>(Message);
}

TSquishMessageReplies TSquishMessageBase::GetReplies() const {
  return MessageHeader_.Replies;
}

void TSquishMessageBase::SetReplies(const TSquishMessageReplies& Replies) {
  MessageHeader_.Replies = Replies;
}

void TSquishMessageBase::GetStreams(TMessageBaseStream*& Data, TMessageBaseStream*& Index) const {
  Data = DataStream_.get();
  Index = IndexStream_.get();
}

std::int32_t TSquishMessageBase::GetHighWater() const {
  return static_cast<std::int32_t>(BaseHeader_.HighWater);
}

void TSquishMessageBase::SetHighWater(std::int32_t Message) {
  BaseHeader_.HighWater = static_cast<std::uint32_t>(Message);
  (void)SaveBaseHeader();  // a failure is left in the status
}

// --- Lastread ---

namespace {

// Byte offset of a user's lastread entry, or -1 when the number has none.
std::int32_t LastReadOffset(std::int32_t UserNumber) {
  constexpr std::int32_t Width = static_cast<std::int32_t>(SquishLastReadSize);
  if (UserNumber < 0 || UserNumber > (std::numeric_limits<std::int32_t>::max() - Width) / Width) {
    return -1;
  }
  return UserNumber * Width;
}

}  // namespace

std::int32_t TSquishMessageBase::GetLastRead(std::int32_t UserNumber) {
  const std::int32_t Offset = LastReadOffset(UserNumber);
  if (Offset < 0 || LastReadName_.empty()) return 0;
  PMessageBaseStream File = CreateMessageBaseFileStream(LastReadName_, smRead | smDenyWriteShared);
  if (File == nullptr || File->GetStatus() != stOk) return 0;
  if (File->GetSize() < Offset + static_cast<std::int32_t>(SquishLastReadSize)) return 0;
  std::array<std::uint8_t, SquishLastReadSize> Entry{};
  File->Seek(Offset);
  File->ReadBuffer(Entry);
  if (File->GetStatus() != stOk) return 0;
  return GetLEInt32(Entry.data());
}

void TSquishMessageBase::SetLastRead(std::int32_t UserNumber, std::int32_t Message) {
  const std::int32_t Offset = LastReadOffset(UserNumber);
  if (RefuseChange(stSquishReadOnly) || Offset < 0 || LastReadName_.empty()) return;
  const std::string& Name = LastReadName_;
  PMessageBaseStream File = CreateMessageBaseFileStream(Name, smWrite | smDenyWrite);
  // Only a lastread file that is not there at all is made: one that would
  // not open (held, forbidden, a FIFO, a dangling link) is left as it is.
  if ((File == nullptr || File->GetStatus() != stOk) &&
      GetFileOpenFailure() == stStreamOpenFailed && !FileExists(Name)) {
    File = CreateMessageBaseFileStream(Name, smCreate | smNew | smDenyWrite);
    if (File == nullptr || File->GetStatus() != stOk) return;
    // It is as open to others as the base's other files.
    if (std::uint32_t Permissions = 0;
        DataStream_ && GetFilePermissions(DataStream_->GetFileName(), Permissions)) {
      File->SetPermissions(Permissions);
    }
  }
  std::array<std::uint8_t, SquishLastReadSize> Entry{};
  PutLEInt32(Entry.data(), Message);
  File->Seek(Offset);
  File->WriteBuffer(Entry);
}

}  // namespace msgbase
