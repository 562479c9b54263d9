// The JAM base, changes as transactions: the record beside the base
// (<base path>jtx, msgbase/transaction.h) and the group commit.
//
// A change records the four files' sizes and the base header's old bytes
// before it writes anything (and, before it overwrites them, the old index,
// lastread records or message headers). New messages' texts and headers are
// appended past the recorded ends without syncs; their index records wait in
// memory. The commit syncs texts and headers, appends to the record the index
// size it is about to reach (phase 1), appends every waiting index record in
// one write, syncs the index, writes and syncs the base header, and removes
// the record. The next open for writing that finds a record keeps the change
// when a phase-1 entry's index records are all there and refer to whole
// messages, and undoes it otherwise.
#include <unistd.h>

#include <algorithm>

#include "msgbase/file_helpers.h"
#include "msgbase/jam/jam_base.h"
#include "msgbase/status.h"

namespace msgbase {

namespace {

// The record's operation codes.
constexpr std::uint32_t JamChangeKind = 1;  // any change of an existing base
constexpr std::uint32_t JamCreateKind = 2;  // a base made under temporary names
// Phase of an entry that gives the index size the commit reaches.
constexpr std::uint32_t JamIndexPhase = 1;

std::string EncodeSize(std::int64_t Size) {
  std::string Out;
  for (int I = 0; I < 8; ++I) {
    Out.push_back(static_cast<char>((static_cast<std::uint64_t>(Size) >> (8 * I)) & 0xFF));
  }
  return Out;
}

std::int64_t DecodeSize(const std::string& In) {
  std::uint64_t Size = 0;
  for (std::size_t I = In.size(); I-- > 0;) {
    Size = Size << 8 | static_cast<unsigned char>(In[I]);
  }
  return static_cast<std::int64_t>(Size);
}

}  // namespace

std::string TJamMessageBase::RecordPath() {
  return GetBasePath() + "jtx";
}

bool TJamMessageBase::BeginTransaction() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!StreamsOpen() || Change_.Open) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  bool Started = false;
  StartChange(Started);
  Change_.Explicit = true;
  return true;
}

bool TJamMessageBase::CommitTransaction() {
  if (!Change_.Open) return true;
  return CommitChange();
}

void TJamMessageBase::RollbackTransaction() {
  if (Change_.Open) UndoChange();
}

std::vector<std::string> TJamMessageBase::GetInconsistencies() {
  return Inconsistencies_;
}

void TJamMessageBase::StartChange(bool& Started) {
  Started = !Change_.Open;
  if (!Started) return;
  Change_ = TChange{};
  Change_.Open = true;
  Change_.Intent.Kind = JamChangeKind;
  Change_.Intent.Pid = static_cast<std::int32_t>(::getpid());
  const std::array<TMessageBaseStream*, 4> Streams{HeaderStream_.get(), IndexStream_.get(),
                                                   DataStream_.get(), LastReadStream_.get()};
  for (std::size_t File = 0; File < Streams.size(); ++File) {
    Streams[File]->Reset();
    (void)Change_.Intent.AddFile(FileNames_[File], Streams[File]->GetSize());
  }
  Change_.PendingFrom =
      static_cast<std::uint32_t>(std::max(Change_.Intent.Files[jfIndex].Size, std::int64_t{0}) /
                                 static_cast<std::int64_t>(TJamIndex::Size));
}

bool TJamMessageBase::Protect(std::size_t File, std::int64_t Offset, std::int64_t Length) {
  TIntent& Intent = Change_.Intent;
  auto Fail = [this] {
    SetStatus(stJamStreamProblems);
    return false;
  };
  if (!Change_.Open) return Fail();
  // The base header changes with every commit.
  if (!Change_.Armed && Intent.Images.empty() &&
      !Intent.SaveBefore(jfHeader, 0, TJamHeaderInfo::Size)) {
    return Fail();
  }
  const std::int64_t Size = Intent.Files[File].Size;
  // The index and the lastread file are kept whole: a later range of the
  // same change then never takes bytes it already changed for old ones.
  if (Length > 0 && (File == jfIndex || File == jfLastRead)) {
    Offset = 0;
    Length = Size;
  }
  const std::int64_t End = std::min(Offset + Length, Size);
  const bool Covered =
      Offset >= End ||
      std::any_of(Intent.Images.begin(), Intent.Images.end(), [&](const TIntentImage& Image) {
        return Image.File == File && Image.Offset <= Offset &&
               Image.Offset + static_cast<std::int64_t>(Image.Bytes.size()) >= End;
      });
  if (!Covered && !Intent.SaveBefore(static_cast<std::uint32_t>(File), Offset,
                                     static_cast<std::uint32_t>(End - Offset))) {
    return Fail();
  }
  if (!Change_.Armed) {
    if (!BeginIntent(RecordPath(), Intent)) return Fail();
    Change_.Armed = true;
  } else if (Change_.SavedImages != Intent.Images.size() && !AppendIntent(RecordPath(), Intent)) {
    return Fail();
  }
  Change_.SavedImages = Intent.Images.size();
  return true;
}

bool TJamMessageBase::EndChange(bool Started, bool Ok) {
  if (!Started) return Ok;
  if (!Ok) {
    const std::int32_t Status = GetStatus();
    UndoChange();
    SetStatus(Status);
    return false;
  }
  return CommitChange();
}

bool TJamMessageBase::CommitChange() {
  const auto Header = EncodeJamHeaderInfo(HeaderInfo_);
  const bool HeaderChanged = Header != StoredHeaderInfo_;
  if (!Change_.Armed && Change_.Pending.empty() && !HeaderChanged) {
    Change_ = TChange{};
    return true;
  }
  ResetAll();
  bool Ok = Protect(jfHeader, 0, 0);
  if (Ok && !Change_.Pending.empty()) {
    // Texts and headers are on disk before the records that refer to them.
    DataStream_->Flush();
    HeaderStream_->Flush();
    const std::int64_t From =
        static_cast<std::int64_t>(Change_.PendingFrom) * static_cast<std::int64_t>(TJamIndex::Size);
    Ok = DataStream_->GetStatus() == stOk && HeaderStream_->GetStatus() == stOk;
    // An index only appended to can be kept once its new records are all
    // there; one changed in place is undone unless the record is gone.
    const bool IndexRewritten =
        std::any_of(Change_.Intent.Images.begin(), Change_.Intent.Images.end(),
                    [](const TIntentImage& Image) { return Image.File == jfIndex; });
    if (Ok && !IndexRewritten) {
      Change_.Intent.Phase = JamIndexPhase;
      Change_.Intent.Extra = EncodeSize(From + static_cast<std::int64_t>(Change_.Pending.size()));
      Ok = AppendIntent(RecordPath(), Change_.Intent);
    }
    Ok = Ok && WriteAt(*IndexStream_, static_cast<std::int32_t>(From), Change_.Pending);
  }
  Ok = Ok && SyncAll();
  if (Ok && HeaderChanged) {
    Ok = WriteAt(*HeaderStream_, 0, Header);
    HeaderStream_->Flush();
    Ok = Ok && HeaderStream_->GetStatus() == stOk;
  }
  Ok = Ok && EndIntent(RecordPath());
  if (!Ok) {
    UndoChange();
    SetStatus(stJamStreamProblems);
    return false;
  }
  StoredHeaderInfo_ = Header;
  Change_ = TChange{};
  return true;
}

void TJamMessageBase::UndoChange() {
  // A record that cannot be rolled back stays for the next open for writing.
  if (Change_.Armed && RollBack(Change_.Intent)) (void)EndIntent(RecordPath());
  Change_ = TChange{};
  ResetAll();
  (void)DecodeJamHeaderInfo(StoredHeaderInfo_, HeaderInfo_);
  const std::int32_t IndexSize = IndexStream_ ? IndexStream_->GetSize() : 0;
  Records_ = static_cast<std::uint32_t>(std::max(IndexSize, 0)) /
             static_cast<std::uint32_t>(TJamIndex::Size);
  ResetAll();
  // A new message being built stays in memory, numbered after the last
  // committed one, as a failed write leaves it.
  if (NewPending_) {
    ++Records_;
    ++HeaderInfo_.ActiveMsgs;
    IndexPosition_ = static_cast<std::int32_t>((Records_ - 1) * TJamIndex::Size);
    MessageHeader_.MessageNumber = HeaderInfo_.BaseMsgNum + Records_ - 1;
    SetCurrent(static_cast<std::int32_t>(HeaderInfo_.BaseMsgNum + Records_));
  }
}

std::int32_t TJamMessageBase::MakeFiles() {
  constexpr std::array<std::int32_t, 4> CantCreate{stJamCantCreateJhr, stJamCantCreateJdx,
                                                   stJamCantCreateJdt, stJamCantCreateJlr};
  // A creation that stopped is removed first; one under way in another
  // process, or a change's record without a base, is left. A live creator
  // holds its header file from the moment it makes it, so one that nobody
  // holds was left by a creator whose process number now is another's.
  const auto Stopped = [this](const TIntent& Record) {
    if (ProcessGone(Record.Pid)) return true;
    const PMessageBaseStream Probe =
        CreateMessageBaseFileStream(FileNames_[jfHeader] + ".new", smDenyWriteShared | smRead);
    return Probe && Probe->GetStatus() == stOk;
  };
  TIntent Intent;
  switch (ReadIntent(RecordPath(), Intent)) {
    case TIntentState::None:
      break;
    case TIntentState::Torn:
      if (!EndIntent(RecordPath())) return stJamCantCreateJhr;
      break;
    case TIntentState::Unreadable:
      return stJamCantCreateJhr;
    case TIntentState::Whole:
      if (Intent.Kind != JamCreateKind || !Stopped(Intent) || !RollBack(Intent) ||
          !EndIntent(RecordPath())) {
        return stJamCantCreateJhr;
      }
      break;
  }
  Intent = TIntent{};
  Intent.Kind = JamCreateKind;
  Intent.Pid = static_cast<std::int32_t>(::getpid());
  std::vector<std::string> Temporary;
  for (const std::string& Name : FileNames_) {
    Temporary.push_back(Name + ".new");
    (void)Intent.AddFile(Name, -1);
    (void)Intent.AddFile(Temporary.back(), -1);
  }
  if (!BeginIntent(RecordPath(), Intent)) return stJamCantCreateJhr;
  const std::array<PMessageBaseStream*, 4> Streams{&HeaderStream_, &IndexStream_, &DataStream_,
                                                   &LastReadStream_};
  // Held as every writer holds a base's files, from the first moment.
  constexpr std::int32_t Mode = smDenyWrite | smCreate | smNew;
  std::int32_t Status = stOk;
  for (std::size_t File = 0; File < Streams.size() && Status == stOk; ++File) {
    auto& Stream = *Streams[File];
    Stream = CreateMessageBaseFileStream(
        Temporary[File],
        File == jfLastRead ? smCreate | smNew : Mode | (File == jfHeader ? smRecordLock : 0));
    if (!Stream || Stream->GetStatus() != stOk) Status = CantCreate[File];
  }
  const std::string Folder = ExtractPathName(FileNames_[jfHeader]);
  if (Status == stOk && (!WriteAt(*HeaderStream_, 0, StoredHeaderInfo_) || !SyncAll())) {
    Status = stJamCantCreateJhr;
  }
  // The header file's name comes last, once the others are on disk: a base
  // that exists is whole.
  for (const std::size_t File : {jfIndex, jfText, jfLastRead, jfHeader}) {
    if (Status == stOk && File == jfHeader && !SyncDirectory(Folder)) Status = CantCreate[File];
    if (Status == stOk && !RenameFile(Temporary[File], FileNames_[File])) Status = CantCreate[File];
  }
  if (Status == stOk && (!SyncDirectory(Folder) || !EndIntent(RecordPath()))) {
    Status = stJamCantCreateJhr;
  }
  if (Status != stOk) {
    DisposeStreams();
    if (RollBack(Intent)) (void)EndIntent(RecordPath());
  }
  return Status;
}

bool TJamMessageBase::IndexTailValid(std::int64_t From, std::int64_t Target) {
  constexpr auto RecordSize = static_cast<std::int64_t>(TJamIndex::Size);
  if (From < 0 || Target < From || (Target - From) % RecordSize != 0 ||
      IndexStream_->GetSize() < Target || Target > JamMaxNumber) {
    return false;
  }
  std::vector<std::uint8_t> Raw(static_cast<std::size_t>(Target - From));
  IndexStream_->Seek(static_cast<std::int32_t>(From));
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) return ResetAll(), false;
  for (std::size_t At = 0; At < Raw.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    TJamMessageHeaderFirst Header;
    if (!DecodeJamIndex(std::span(Raw).subspan(At), Index) ||
        !ReadWholeHeader(Index.HdrOffset, Header)) {
      return false;
    }
  }
  return true;
}

bool TJamMessageBase::RecoverChange() {
  TIntent Intent;
  bool Found = false;
  if (!TakeIntent(RecordPath(), Intent, Found)) return false;
  if (!Found) return true;
  // A creation whose header file has its name is finished (the other names
  // were published and synced before it).
  if (Intent.Kind == JamCreateKind) return EndIntent(RecordPath());
  if (Intent.Kind != JamChangeKind || Intent.Files.size() != FileNames_.size()) return false;
  // The base's files under the names they have now (the folder may have moved).
  for (std::size_t File = 0; File < FileNames_.size(); ++File) {
    Intent.Files[File].Name = FileNames_[File];
  }
  const std::int64_t Target = DecodeSize(Intent.Extra);
  if (Intent.Phase == JamIndexPhase && Intent.Extra.size() == 8 &&
      IndexTailValid(Intent.Files[jfIndex].Size, Target)) {
    // The new index records all landed: the messages stay. The base header
    // goes back to its old counts, which the open counts anew from the index.
    const auto Image = std::find_if(Intent.Images.begin(), Intent.Images.end(),
                                    [](const TIntentImage& I) { return I.File == jfHeader; });
    bool Ok = Image == Intent.Images.end() ||
              WriteAt(*HeaderStream_, static_cast<std::int32_t>(Image->Offset),
                      std::span(reinterpret_cast<const std::uint8_t*>(Image->Bytes.data()),
                                Image->Bytes.size()));
    IndexStream_->Seek(static_cast<std::int32_t>(Target));
    IndexStream_->Truncate();
    Ok = Ok && IndexStream_->GetStatus() == stOk && SyncAll();
    ResetAll();
    return Ok && EndIntent(RecordPath());
  }
  const bool Ok = RollBack(Intent) && EndIntent(RecordPath());
  ResetAll();
  return Ok;
}

}  // namespace msgbase
