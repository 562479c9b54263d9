// The Squish base, transactions: every change is recorded in <base>.sqt
// before it touches what committed state refers to, is committed by the base
// header written in one piece after both files are synced, and is finished
// or undone by the next open for writing when a run stops on the way. The
// record's layout is msgbase/transaction.h; what Squish keeps in it is in
// docs/squish_format.md.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "msgbase/file_helpers.h"
#include "msgbase/squish/squish_base.h"
#include "msgbase/squish/squish_layout.h"
#include "msgbase/status.h"

namespace msgbase {

using namespace squish_layout;

namespace {

// The record's Kind: a change to a Squish base.
constexpr std::uint32_t SquishChange = 0x53510001;  // "SQ", 1

std::int64_t FileSize(const std::string& Name) {
  struct stat Info {};
  return ::lstat(Name.c_str(), &Info) == 0 ? static_cast<std::int64_t>(Info.st_size) : -1;
}

}  // namespace

std::string TSquishMessageBase::RecordName() const {
  // Beside the data file, under its name whatever the case of its extension.
  return DataName_.substr(0, DataName_.size() - 3) + "sqt";
}

// --- Recovery ---

bool TSquishMessageBase::Recover() {
  TIntent Record;
  bool Found = false;
  if (!TakeIntent(RecordName(), Record, Found)) return false;
  if (!Found) return true;
  if (Record.Kind != SquishChange || Record.Files.size() < 2 || Record.Files.size() > 3) {
    return false;
  }
  // The files as they are named now: a base moved or copied since is mended
  // where it lies, never at the old names.
  Record.Files[sfData].Name = DataName_;
  Record.Files[sfIndex].Name = IndexName_;
  if (Record.Files.size() > sfLastRead) Record.Files[sfLastRead].Name = LastReadName_;
  const bool Committed = HeaderCommitted(Record);
  if (!Committed && !RollBack(Record)) return false;
  return EndIntent(RecordName());
}

bool TSquishMessageBase::HeaderCommitted(const TIntent& Record) {
  // The base header is the commit, and everything it counts was synced before
  // it was written: a header unlike its old bytes means the change is whole.
  for (const TIntentImage& Image : Record.Images) {
    if (Image.File != sfData || Image.Offset != 0 ||
        Image.Bytes.size() != TSquishBaseHeader::Size) {
      continue;
    }
    std::string Now(TSquishBaseHeader::Size, '\0');
    DataStream_->Reset();
    DataStream_->Seek(0);
    DataStream_->ReadBuffer({reinterpret_cast<std::uint8_t*>(Now.data()), Now.size()});
    const bool Committed = DataStream_->GetStatus() == stOk && Now != Image.Bytes;
    DataStream_->Reset();
    return Committed;
  }
  return false;
}

void TSquishMessageBase::NoteRecord() {
  TIntent Record;
  switch (ReadIntent(RecordName(), Record)) {
    case TIntentState::None:
      return;
    case TIntentState::Whole:
      // Readers see the base as it was committed: as before the change, until
      // its header is written.
      if (Record.Kind == SquishChange && Record.Files.size() >= 2 && !HeaderCommitted(Record)) {
        DataStream_ = CreateCommittedView(std::move(DataStream_), Record, sfData);
        IndexStream_ = CreateCommittedView(std::move(IndexStream_), Record, sfIndex);
        Uncommitted_ = Record;
      }
      Inconsistencies_.push_back("an unfinished change begun by process " +
                                 std::to_string(Record.Pid) +
                                 " (the next open for writing completes or undoes it)");
      return;
    case TIntentState::Torn:
      Inconsistencies_.push_back(
          "an unfinished change whose record was never completed (the next open for writing "
          "removes it)");
      return;
    case TIntentState::Unreadable:
      Inconsistencies_.push_back("the record of an unfinished change, " + RecordName() +
                                 ", cannot be read (no writer opens the base until it can)");
      return;
  }
}

// --- The transaction ---

void TSquishMessageBase::StartTransaction(bool Explicit) {
  Tx_ = TTransaction{};
  Tx_.Open = true;
  Tx_.Explicit = Explicit;
  Tx_.Record.Kind = SquishChange;
  Tx_.Record.Pid = static_cast<std::int32_t>(::getpid());
  (void)Tx_.Record.AddFile(DataName_, StreamSize(DataStream_.get()));
  (void)Tx_.Record.AddFile(IndexName_, StreamSize(IndexStream_.get()));
  // What every posting overwrites: the base header (the commit), the last
  // frame's link and the index past the counted records. A range that cannot
  // be read now is found again by Protect when it is written.
  const std::int64_t Counted = CountedIndexBytes();
  (void)Cover(sfData, 0, TSquishBaseHeader::Size);
  if (BaseHeader_.LastFrame >= FirstFramePos) {
    (void)Cover(sfData, BaseHeader_.LastFrame, FrameHeaderSize);
  }
  (void)Cover(sfIndex, Counted, StreamSize(IndexStream_.get()) - Counted);
}

bool TSquishMessageBase::StartAutomatic() {
  if (Tx_.Open) return false;
  StartTransaction(false);
  return true;
}

bool TSquishMessageBase::EndAutomatic(bool Automatic, bool Ok, bool Reload) {
  if (!Automatic) return Ok;
  if (Ok) return Commit();
  const std::int32_t Status = GetStatus();
  Undo(Reload);
  SetStatus(Status);
  return false;
}

bool TSquishMessageBase::Cover(std::size_t File, std::int64_t Pos, std::int64_t Length,
                               bool Image) {
  // The lastread file takes part only in a change that writes it.
  if (File == sfLastRead && Tx_.Record.Files.size() == sfLastRead) {
    (void)Tx_.Record.AddFile(LastReadName_, FileSize(LastReadName_));
    Tx_.Dirty = true;
  }
  const std::int64_t Old = Tx_.Record.Files[File].Size;
  std::int64_t End = std::min(Pos + std::max<std::int64_t>(Length, 0), Old);
  std::map<std::int64_t, std::int64_t>& Covered = Tx_.Covered[File];
  // Only the parts not held yet: a second copy, taken after the first part
  // was changed, would put changed bytes back over the old ones.
  while (Pos < End) {
    auto Next = Covered.upper_bound(Pos);
    if (Next != Covered.begin()) {
      const auto Before = std::prev(Next);
      if (Before->second > Pos) {
        Pos = Before->second;
        continue;
      }
    }
    const std::int64_t PieceEnd = Next == Covered.end() ? End : std::min(End, Next->first);
    const auto Piece = static_cast<std::uint32_t>(PieceEnd - Pos);
    if (Image) {
      if (!Tx_.Record.SaveBefore(static_cast<std::uint32_t>(File), Pos, Piece)) return false;
      Tx_.Dirty = true;
    }
    Covered.emplace(Pos, PieceEnd);
    Pos = PieceEnd;
  }
  return true;
}

bool TSquishMessageBase::SaveRecord() {
  if (Tx_.Written && !Tx_.Dirty) return true;
  const bool Ok =
      Tx_.Written ? AppendIntent(RecordName(), Tx_.Record) : BeginIntent(RecordName(), Tx_.Record);
  if (!Ok) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  Tx_.Written = true;
  Tx_.Dirty = false;
  return true;
}

bool TSquishMessageBase::Protect(std::size_t File, std::int64_t Pos, std::int64_t Length) {
  if (!Tx_.Open) return true;
  if (!Cover(File, Pos, Length) || !SaveRecord()) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  return true;
}

bool TSquishMessageBase::KeepFreeChain() {
  if (!Tx_.Open || Tx_.FreeChainKept) return true;
  Tx_.FreeChainKept = true;
  // Every frame of the chain may be taken, and taking one rewrites it and
  // its neighbours: all their headers go into the record at once, so reuse
  // needs no further sync. The walk stops at damage; frames past it are
  // not reused.
  const std::int64_t Size = Tx_.Record.Files[sfData].Size;
  const std::int64_t MaxSteps = (Size - FirstFramePos) / FrameHeaderSize + 1;
  std::uint32_t Pos = BaseHeader_.FreeFrame;
  for (std::int64_t Step = 0; Pos != 0 && Step < MaxSteps; ++Step) {
    TSquishFrame Frame;
    if (!ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId || Frame.FrameType != sqfFree ||
        static_cast<std::int64_t>(Pos) + FrameHeaderSize + Frame.FrameLength > Size ||
        Tx_.Reusable.contains(Pos)) {
      break;
    }
    if (!Cover(sfData, Pos, FrameHeaderSize) ||
        !Cover(sfData, Pos + FrameHeaderSize, Frame.FrameLength, false)) {
      break;
    }
    Tx_.Reusable.insert(Pos);
    Pos = Frame.NextFrame;
  }
  return true;
}

bool TSquishMessageBase::KeepMessageChain() {
  if (!Tx_.Open || Tx_.MessageChainKept) return true;
  Tx_.MessageChainKept = true;
  const std::int64_t MaxSteps = static_cast<std::int64_t>(BaseHeader_.NumMsg) + 1;
  std::uint32_t Pos = BaseHeader_.BeginFrame;
  for (std::int64_t Step = 0; Pos != 0 && Step < MaxSteps; ++Step) {
    TSquishFrame Frame;
    if (!ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId) break;
    if (!Cover(sfData, Pos, FrameHeaderSize)) return false;
    Pos = Frame.NextFrame;
  }
  return Cover(sfIndex, 0, Tx_.Record.Files[sfIndex].Size);
}

TSquishBaseHeader TSquishMessageBase::CommittedHeader() const {
  TSquishBaseHeader Header = BaseHeader_;
  if (CountsTaken_) {
    const std::uint32_t Id = MessageHeader_.UMsgId;
    if (Header.Uid == Id + 1) Header.Uid = Id;
    if (Header.NumMsg > 0) --Header.NumMsg;
    if (Header.HighMsg > 0) --Header.HighMsg;
  }
  return Header;
}

bool TSquishMessageBase::Commit() {
  if (Tx_.Doomed) {
    Undo(true);
    SetStatus(stSquishDataProblems);
    return false;
  }
  const TSquishBaseHeader Header = CommittedHeader();
  std::array<std::uint8_t, TSquishBaseHeader::Size> Bytes{};
  Header.Encode(Bytes);
  const bool NewHeader = Bytes != StoredBaseHeader_;
  if (NewHeader && !Protect(sfData, 0, TSquishBaseHeader::Size)) {
    Undo(true);
    return false;
  }
  if (!Tx_.Written) {
    Tx_ = TTransaction{};
    return true;
  }
  // Everything the new header counts is on the disk before the header is;
  // the header, one write inside the first sector, is the commit. Without a
  // new header, removing the record is.
  DataStream_->Flush();
  IndexStream_->Flush();
  bool Ok = DataStream_->GetStatus() == stOk && IndexStream_->GetStatus() == stOk;
  if (Ok && NewHeader) {
    Ok = WriteBaseHeader(Header);
    DataStream_->Flush();
    Ok = Ok && DataStream_->GetStatus() == stOk;
  }
  if (!Ok || !EndIntent(RecordName())) {
    SetStatus(stSquishDataProblems);
    Undo(true);
    return false;
  }
  Tx_ = TTransaction{};
  return true;
}

void TSquishMessageBase::Undo(bool Reload) {
  if (Tx_.Written) {
    DataStream_->Reset();
    IndexStream_->Reset();
    if (!RollBack(Tx_.Record) || !EndIntent(RecordName())) SetStatus(stSquishDataProblems);
  }
  Tx_ = TTransaction{};
  if (!Reload) return;
  TSquishBaseHeader Header;
  DataStream_->Seek(0);
  if (ReadRecord(*DataStream_, Header)) {
    BaseHeader_ = Header;
    BaseHeader_.Encode(StoredBaseHeader_);
  }
  DataStream_->Reset();
  CountsTaken_ = false;
}

// --- The interface ---

bool TSquishMessageBase::BeginTransaction() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (!GetOpened() || DataStream_ == nullptr || IndexStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (Tx_.Open) {
    SetStatus(stSquishUnsupported);
    return false;
  }
  StartTransaction(true);
  return true;
}

bool TSquishMessageBase::CommitTransaction() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (!Tx_.Open) return true;
  if (!Commit()) {
    ResetMessageState();
    SetMessageTextStream(nullptr);
    return false;
  }
  return true;
}

void TSquishMessageBase::RollbackTransaction() {
  if (!Tx_.Open) return;
  GiveBackNewMessage();
  Undo(true);
  ResetMessageState();
  SetMessageTextStream(nullptr);
}

// --- What a reader sees ---

std::string TSquishMessageBase::ChainInconsistency() {
  const std::uint32_t Count = BaseHeader_.NumMsg;
  // A count the index does not hold is what every listing finds missing;
  // the chain is held against the records that are there.
  if (StreamSize(IndexStream_.get()) / IndexRecordSize < Count) return "";
  // The chain from BeginFrame must pass the counted index records' frames in
  // their order and end at LastFrame.
  std::uint32_t Pos = BaseHeader_.BeginFrame;
  std::uint32_t Prev = 0;
  for (std::uint32_t N = 0; N < Count; ++N) {
    TSquishIndex Idx;
    TSquishFrame Frame;
    IndexStream_->Seek(static_cast<std::int32_t>(N * IndexRecordSize));
    if (!ReadRecord(*IndexStream_, Idx)) break;
    if (Pos == 0 || Idx.Ofs != Pos || !ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId) {
      return "the message chain disagrees with the index at message " + std::to_string(Idx.UMsgId) +
             " (index record " + std::to_string(N + 1) + ")";
    }
    Prev = Pos;
    Pos = Frame.NextFrame;
  }
  IndexStream_->Reset();
  if (Prev != BaseHeader_.LastFrame) return "the message chain does not end at its last frame";
  return "";
}

std::vector<std::string> TSquishMessageBase::GetInconsistencies() {
  std::vector<std::string> Lines = Inconsistencies_;
  if (!GetOpened() || DataStream_ == nullptr || IndexStream_ == nullptr) return Lines;
  if (std::string Chain = ChainInconsistency(); !Chain.empty()) Lines.push_back(Chain);
  return Lines;
}

}  // namespace msgbase
