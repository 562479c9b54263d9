// The *.msg base, transactions: the new messages of a posting numbered and
// the removed messages deleted as one change, and the finishing at open of a
// commit that was stopped.
//
// A number is a second name given to a whole, synced file, and a removal
// deletes one file, so the messages cannot all appear or go in one step;
// what makes the transaction one change is a record that proves every
// message was on the disk, and every removed one out of the numbering,
// before any was numbered or deleted:
//   1. Until the commit, each new message is written whole under its
//      temporary name and synced (WriteMessage), and given no number; each
//      removed one is renamed aside to "N.vellumar<pid>.kill" (KillMessage).
//   2. CommitTransaction syncs the folder (and, with new messages, its
//      parent), so that every temporary and set-aside name is on the disk,
//      picks the numbers (the next free ones, in order) and writes the record
//      "vellumar.txn" listing them with the temporary names, and the removed
//      numbers with their set-aside names (BeginIntent: synced with the
//      folder).
//   3. One pass of link(), one per new message, the set-aside files deleted,
//      and a folder sync: from here on the change is on the disk.
//   4. The temporary names go, then the record (EndIntent).
// The next open for writing that finds a whole record of a writer that is no
// longer running finishes it: each listed temporary file still there is
// linked to its number (or the next free one when another program took it),
// unless its link count shows it has a number already, each listed set-aside
// file still there is deleted; the folder is synced, the temporary names and
// the record removed. Repeating this after a crash within it gives the same
// result. A record that is not whole was stopped before step 3, so nothing
// was numbered or deleted: it is removed. Without a record nothing of the
// change was made: its temporary files go and its set-aside files go back
// under their numbers, as any dead writer's and remover's. A failure in step
// 3 before anything was deleted takes back the numbers given, then the
// record, then the temporary files, and puts the removed messages back, so
// that a crash at any point of that leaves the whole change or none of it
// too; once files were deleted the record stays, for the next open to finish.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "msgbase/file_helpers.h"
#include "msgbase/msg/msg_base.h"
#include "msgbase/msg/msg_names.h"
#include "msgbase/status.h"
#include "msgbase/stream.h"
#include "msgbase/transaction.h"

namespace msgbase {

using namespace msg_names;

namespace {

// The record's kinds: a posting being numbered, and a change that removes
// messages (and may number new ones as well). Its Extra is one line per
// message: the number, a space, the temporary name of a new one (in posting
// order) or the set-aside name of a removed one.
constexpr std::uint32_t PostingKind = 1;
constexpr std::uint32_t RemovalKind = 2;
// How long a commit waits, in hundredths of a second, for the record of
// another writer that is numbering its own posting.
constexpr std::int32_t RecordWaits = 1000;

struct TListed {
  std::int32_t Number = 0;
  std::string Name;  // bare temporary or set-aside name
  [[nodiscard]] bool Removed() const { return !IsTempName(Name); }
};

std::string EncodeListed(const std::vector<TListed>& Listed) {
  std::string Extra;
  for (const TListed& L : Listed) Extra += LongToStr(L.Number) + " " + L.Name + "\n";
  return Extra;
}

// False when Intent's Extra is not such a list; names must be temporary names
// or, in a removal, set-aside names of their number, so that a record can
// never make the base link or remove anything else.
bool DecodeListed(const TIntent& Intent, std::vector<TListed>& Listed) {
  const std::string& Extra = Intent.Extra;
  Listed.clear();
  std::size_t Pos = 0;
  while (Pos < Extra.size()) {
    const std::size_t End = Extra.find('\n', Pos);
    const std::size_t Space = Extra.find(' ', Pos);
    if (End == std::string::npos || Space == std::string::npos || Space > End) return false;
    TListed L;
    L.Name = Extra.substr(Space + 1, End - Space - 1);
    std::int32_t Aside = 0;
    if (!MessageNumberOfName(Extra.substr(Pos, Space - Pos), L.Number) ||
        !(IsTempName(L.Name) ||
          (Intent.Kind == RemovalKind && RemoverOfAside(L.Name, Aside) > 0 && Aside == L.Number))) {
      return false;
    }
    Listed.push_back(std::move(L));
    Pos = End + 1;
  }
  return !Listed.empty() && (Intent.Kind == PostingKind || Intent.Kind == RemovalKind);
}

std::string NumberName(const std::string& Folder, std::int32_t Message) {
  return Folder + LongToStr(Message) + FidoMessageExtension;
}

// The first number from Message on whose name is free; 0 when none is left.
std::int32_t FreeNumberFrom(const std::string& Folder, std::int32_t Message) {
  for (Message = std::max(Message, FidoHighWaterMessage + 1); Message <= MaxFidoMessage;
       ++Message) {
    struct stat Info {};
    if (::lstat(NumberName(Folder, Message).c_str(), &Info) != 0 && errno == ENOENT) return Message;
  }
  return 0;
}

// Numbers Temp with the first free number from Message on; the number, or 0.
std::int32_t NumberFrom(const std::string& Folder, const std::string& Temp, std::int32_t Message) {
  while ((Message = FreeNumberFrom(Folder, Message)) != 0) {
    if (NumberFile(Temp, NumberName(Folder, Message))) return Message;
    if (errno != EEXIST) return 0;
    ++Message;  // taken since it was looked at
  }
  return 0;
}

// The folder a base folder (ending in '/') lies in.
std::string ParentOf(const std::string& Folder) {
  const std::string Parent = ExtractPathName(Folder.substr(0, Folder.size() - 1));
  return Parent.empty() ? "/" : Parent;
}

// What the record says, for the inconsistencies: "an unfinished posting of 3
// messages", "an unfinished removal of 2 messages" or both.
std::string ChangeLine(const TIntent& Intent, const std::vector<TListed>& Listed) {
  const auto Removed = static_cast<std::int32_t>(
      std::count_if(Listed.begin(), Listed.end(), [](const TListed& L) { return L.Removed(); }));
  const auto Posted = static_cast<std::int32_t>(Listed.size()) - Removed;
  const auto Messages = [](std::int32_t N) {
    return LongToStr(N) + (N == 1 ? " message" : " messages");
  };
  std::string What;
  if (Posted > 0 || Removed == 0) What = "posting of " + Messages(Posted);
  if (Removed > 0)
    What += (What.empty() ? "removal of " : " and a removal of ") + Messages(Removed);
  return "an unfinished " + What + " begun by process " + LongToStr(Intent.Pid) + " (" +
         FidoRecordName + "): the next open for writing finishes it";
}

}  // namespace

std::string TFidoMessageBase::RecordFileName() {
  return GetBasePath() + FidoRecordName;
}

bool TFidoMessageBase::BeginTransaction() {
  if (RefuseChange(stMsgReadOnly)) return false;
  if (!GetOpened() || InTransaction_) {
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  InTransaction_ = true;
  Pending_.clear();
  Removals_.clear();
  PendingOpen_ = -1;
  HighestBeforeTransaction_ = Highest_;
  NextTempCounter_ = 0;
  return true;
}

bool TFidoMessageBase::KeepPending(PMessageBaseStream Temp, const std::string& TempName) {
  if (!Temp || Temp->GetStatus() != stOk) {
    (void)KillFile(TempName);
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  // Written again: the new file stands for the message.
  if (PendingOpen_ >= 0) {
    TPendingMessage& Kept = Pending_[static_cast<std::size_t>(PendingOpen_)];
    (void)KillFile(Kept.TempName);  // left, it would go with the dead writers' files
    Kept.TempName = TempName;
  } else {
    Pending_.push_back({TempName, MessageNumber_});
    PendingOpen_ = static_cast<std::int32_t>(Pending_.size() - 1);
  }
  MessageFile_ = std::move(Temp);
  return true;
}

bool TFidoMessageBase::CommitTransaction() {
  if (!InTransaction_) return true;
  if ((!Pending_.empty() || !Removals_.empty()) && !CommitChange()) {
    DropPending();
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  // The open message, if it was one of them, is now a stored one.
  if (PendingOpen_ >= 0) {
    MessageNumber_ = Pending_[static_cast<std::size_t>(PendingOpen_)].Number;
    MessagePath_ = MessageFileName(MessageNumber_);
    NewMessage_ = false;
    RememberReadFile();
  }
  Pending_.clear();
  PendingOpen_ = -1;
  for (const TRemoval& R : Removals_) {
    ReadFiles_.erase(R.Number);
    OtherCaseNames_.erase(R.Number);
  }
  Removals_.clear();
  InTransaction_ = false;
  return true;
}

void TFidoMessageBase::RollbackTransaction() {
  if (InTransaction_) DropPending();
}

void TFidoMessageBase::DropPending() {
  for (const TPendingMessage& P : Pending_) (void)KillFile(P.TempName);  // else a dead writer's
  if (PendingOpen_ >= 0) MessageFile_.reset();                           // its file is gone
  Pending_.clear();
  PendingOpen_ = -1;
  InTransaction_ = false;
  Highest_ = HighestBeforeTransaction_;  // none of the numbers was given
  PutBackRemoved();
}

void TFidoMessageBase::PutBackRemoved() {
  // Failing that (no number left), the next open for writing puts it back.
  for (auto R = Removals_.rbegin(); R != Removals_.rend(); ++R) {
    (void)PutBackAside(R->Aside, R->Number);
  }
  if (!Removals_.empty()) (void)SyncDirectory(GetBasePath());
  Removals_.clear();
}

void TFidoMessageBase::DeleteRemoved() {
  for (const TRemoval& R : Removals_) {
    // A link that cannot be removed brings the message back at the next
    // open, like any message file that cannot be removed.
    for (const std::string& Link : R.Links) {
      if (SameFile(Link, R.Aside)) (void)KillFile(Link);
    }
    (void)KillFile(R.Aside);
  }
}

bool TFidoMessageBase::CommitChange() {
  const std::string Folder = GetBasePath();
  // The record may name only files whose names are on the disk; with new
  // messages the folder's own entry goes too, which a creation stopped
  // before its sync may have left in memory only.
  if ((!Pending_.empty() && !SyncDirectory(ParentOf(Folder))) || !SyncDirectory(Folder)) {
    return false;
  }
  std::vector<TListed> Listed;
  std::int32_t Next = 0;
  for (TPendingMessage& P : Pending_) {
    P.Number = FreeNumberFrom(Folder, std::max(P.Number, Next));
    if (P.Number == 0) return false;
    Next = P.Number + 1;
    Listed.push_back({P.Number, P.TempName.substr(Folder.size())});
  }
  for (const TRemoval& R : Removals_) Listed.push_back({R.Number, R.Aside.substr(Folder.size())});
  if (!BeginRecord(EncodeListed(Listed), Removals_.empty() ? PostingKind : RemovalKind)) {
    return false;
  }

  // The one pass in which readers see the posting appear and the removed
  // messages go.
  std::size_t Numbered = 0;
  bool Ok = true;
  for (Next = 0; Ok && Numbered < Pending_.size(); ++Numbered) {
    TPendingMessage& P = Pending_[Numbered];
    P.Number = NumberFrom(Folder, P.TempName, std::max(P.Number, Next));
    Ok = P.Number != 0;
    Next = P.Number + 1;
  }
  if (Ok) DeleteRemoved();
  if (Ok && SyncDirectory(Folder)) {
    for (const TPendingMessage& P : Pending_) (void)KillFile(P.TempName);  // renamed on FAT
    (void)EndIntent(RecordFileName());  // the change is on the disk; a record left is finished
    for (const TPendingMessage& P : Pending_) {
      SetMapDot(P.Number, true);
      Highest_ = std::max(Highest_, P.Number);
      SetCurrent(P.Number);
    }
    return true;
  }
  // Files deleted cannot come back: the record stays with the rest, and the
  // next open for writing finishes the change.
  if (Ok && !Removals_.empty()) {
    Pending_.clear();
    Removals_.clear();
    return false;
  }
  // Taken back in the order that keeps a crash within it whole or nothing:
  // the numbers while the record stands (a crash finishes the posting), then
  // the record, then the temporary files (a crash leaves them to the next
  // open, which removes them).
  if (!Ok) --Numbered;
  for (std::size_t I = 0; I < Numbered; ++I) {
    const TPendingMessage& P = Pending_[I];
    const std::string Name = NumberName(Folder, P.Number);
    struct stat Info {};
    if (::lstat(P.TempName.c_str(), &Info) == 0) {
      (void)KillFile(Name);
    } else {
      (void)RenameFile(Name, P.TempName);  // numbered by a rename (FAT)
    }
  }
  // Where the record cannot go, the files stay with it: the next open for
  // writing then finishes the change, whole. Else the caller puts the
  // removed messages back.
  if (!SyncDirectory(Folder) || !EndIntent(RecordFileName())) {
    Pending_.clear();
    Removals_.clear();
  }
  return false;
}

bool TFidoMessageBase::BeginRecord(const std::string& Extra, std::uint32_t Kind) {
  TIntent Intent;
  Intent.Kind = Kind;
  Intent.Pid = static_cast<std::int32_t>(::getpid());
  Intent.Extra = Extra;
  for (std::int32_t Wait = 0;; ++Wait) {
    if (BeginIntent(RecordFileName(), Intent)) return true;
    if (errno != EEXIST || Wait >= RecordWaits) return false;
    // Another writer's record: finished here when that writer died, waited
    // for while it lives.
    const TRecordFate Fate = FinishDeadWritersRecord();
    if (Fate == TRecordFate::Left) return false;
    if (Fate == TRecordFate::Live) Delay(10);
  }
}

TFidoMessageBase::TRecordFate TFidoMessageBase::FinishDeadWritersRecord() {
  const std::string Record = RecordFileName();
  TIntent Intent;
  switch (ReadIntent(Record, Intent)) {
    case TIntentState::None:
      return TRecordFate::None;
    case TIntentState::Unreadable:
      Inconsistencies_.push_back(std::string("a transaction record that cannot be read (") +
                                 FidoRecordName + "): left as it is");
      return TRecordFate::Left;
    case TIntentState::Torn:
      // Never whole, so nothing was numbered or deleted under it; unless
      // another writer is writing it at this moment, which then has
      // temporary or set-aside files here.
      if (OtherLiveWriter()) return TRecordFate::Live;
      return EndIntent(Record) ? TRecordFate::Done : TRecordFate::Left;
    case TIntentState::Whole:
      break;
  }
  // A record of this process's id is one of an earlier boot: this process
  // writes its own only within a commit.
  if (Intent.Pid != static_cast<std::int32_t>(::getpid()) && !ProcessGone(Intent.Pid)) {
    return TRecordFate::Live;
  }
  std::vector<TListed> Listed;
  const std::string Folder = GetBasePath();
  bool Ok = DecodeListed(Intent, Listed);
  std::int32_t Next = 0;
  for (const TListed& L : Listed) {
    struct stat Info {};
    const std::string Temp = Folder + L.Name;
    if (!Ok || ::lstat(Temp.c_str(), &Info) != 0) {
      Ok = Ok && errno == ENOENT;  // gone: numbered and its temporary name removed, or deleted
      continue;
    }
    if (!S_ISREG(Info.st_mode)) {
      Ok = false;
    } else if (L.Removed()) {
      Ok = KillFile(Temp);
    } else if (Info.st_nlink < 2) {
      const std::int32_t Number = NumberFrom(Folder, Temp, std::max(L.Number, Next));
      Ok = Number != 0;
      Next = Number + 1;
    }
  }
  if (Ok && SyncDirectory(Folder)) {
    for (const TListed& L : Listed) (void)KillFile(Folder + L.Name);
    if (EndIntent(Record)) return TRecordFate::Done;
  }
  Inconsistencies_.push_back(ChangeLine(Intent, Listed) + "; finishing it failed, left as it is");
  return TRecordFate::Left;
}

bool TFidoMessageBase::OtherLiveWriter() {
  const std::int32_t Self = static_cast<std::int32_t>(::getpid());
  const std::string Ext = FidoTempExtension;
  bool Live = false;
  PMessageBaseFind Find = CreateMessageBaseFind();
  for (bool Found = Find->StartSearch(GetBasePath() + "*", faAnyFile | faNamesOnly); Found && !Live;
       Found = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    std::int32_t Message = 0;
    const std::int32_t Pid = IsTempName(Name)
                                 ? WriterOfMark(Name.substr(0, Name.size() - Ext.size()))
                                 : RemoverOfAside(Name, Message);
    Live = Pid > 0 && Pid != Self && !ProcessGone(Pid);
  }
  Find->StopSearch();
  return Live;
}

void TFidoMessageBase::ReportUnfinishedChanges() {
  const std::string Folder = GetBasePath();
  TIntent Intent;
  std::vector<TListed> Listed;
  switch (ReadIntent(RecordFileName(), Intent)) {
    case TIntentState::None:
      break;
    case TIntentState::Unreadable:
      Inconsistencies_.push_back(std::string("a transaction record that cannot be read (") +
                                 FidoRecordName + ")");
      break;
    case TIntentState::Torn:
      Inconsistencies_.push_back(std::string("an unfinished transaction record (") +
                                 FidoRecordName + "): nothing of its change was made");
      break;
    case TIntentState::Whole: {
      (void)DecodeListed(Intent, Listed);
      Inconsistencies_.push_back(ChangeLine(Intent, Listed));
      // Readers see none of its new messages: the ones numbered already
      // still have their temporary name too. Its removed ones are set aside,
      // out of the numbering already.
      for (const TListed& L : Listed) {
        if (!L.Removed() && GetMapDot(L.Number) &&
            SameFile(Folder + L.Name, NumberName(Folder, L.Number))) {
          SetMapDot(L.Number, false);
        }
      }
      break;
    }
  }
  for (const std::string& Aside : AsideNames_) {
    if (std::any_of(Listed.begin(), Listed.end(),
                    [&](const TListed& L) { return L.Removed() && L.Name == Aside; })) {
      continue;  // the record's: deleted by the next open for writing
    }
    Inconsistencies_.push_back("a message set aside by a removal that did not finish (" + Aside +
                               "): the next open for writing puts it back");
  }
}

std::vector<std::string> TFidoMessageBase::GetInconsistencies() {
  return Inconsistencies_;
}

}  // namespace msgbase
