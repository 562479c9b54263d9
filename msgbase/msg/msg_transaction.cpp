// The *.msg base, transactions: the new messages of a posting numbered as one
// change, and the finishing at open of a numbering that was stopped.
//
// A number is a second name given to a whole, synced file, so the messages
// cannot all appear in one step; what makes the posting one change is a
// record that proves every message was on the disk before any was numbered:
//   1. Until the commit, each message is written whole under its temporary
//      name and synced (WriteMessage), and given no number.
//   2. CommitTransaction syncs the folder (and its parent), so that every
//      temporary name is on the disk, picks the numbers (the next free ones,
//      in order) and writes the record "vellumar.txn" listing them with the
//      temporary names (BeginIntent: synced with the folder).
//   3. One pass of link(), one per message, and a folder sync: from here on
//      the posting is on the disk.
//   4. The temporary names go, then the record (EndIntent).
// The next open for writing that finds a whole record of a writer that is no
// longer running finishes it: each listed temporary file still there is
// linked to its number (or the next free one when another program took it),
// unless its link count shows it has a number already; the folder is synced,
// the temporary names and the record removed. Repeating this after a crash
// within it gives the same result. A record that is not whole was stopped
// before step 3, so nothing was numbered: it is removed. Without a record
// nothing of a posting was numbered, and its temporary files go as any dead
// writer's. A failure in steps 3 and 4 takes back the numbers given, then
// the record, then the temporary files, so that a crash at any point of that
// leaves the whole posting or none of it too.
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

// The record's kind: a posting being numbered. Its Extra is one line per
// message, in posting order: the number, a space, the temporary name.
constexpr std::uint32_t PostingKind = 1;
// How long a commit waits, in hundredths of a second, for the record of
// another writer that is numbering its own posting.
constexpr std::int32_t RecordWaits = 1000;

struct TListed {
  std::int32_t Number = 0;
  std::string Name;  // bare temporary name
};

std::string EncodeListed(const std::vector<TListed>& Listed) {
  std::string Extra;
  for (const TListed& L : Listed) Extra += LongToStr(L.Number) + " " + L.Name + "\n";
  return Extra;
}

// False when Extra is not such a list; names must be temporary names, so that
// a record can never make the base link or remove anything else.
bool DecodeListed(const std::string& Extra, std::vector<TListed>& Listed) {
  Listed.clear();
  std::size_t Pos = 0;
  while (Pos < Extra.size()) {
    const std::size_t End = Extra.find('\n', Pos);
    const std::size_t Space = Extra.find(' ', Pos);
    if (End == std::string::npos || Space == std::string::npos || Space > End) return false;
    TListed L;
    L.Name = Extra.substr(Space + 1, End - Space - 1);
    if (!MessageNumberOfName(Extra.substr(Pos, Space - Pos), L.Number) || !IsTempName(L.Name)) {
      return false;
    }
    Listed.push_back(std::move(L));
    Pos = End + 1;
  }
  return !Listed.empty();
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

std::string PostingLine(const TIntent& Intent, std::size_t Messages) {
  return "an unfinished posting of " + LongToStr(static_cast<std::int32_t>(Messages)) +
         " messages begun by process " + LongToStr(Intent.Pid) + " (" + FidoRecordName +
         "): the next open for writing numbers the rest of it";
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
  if (!Pending_.empty() && !NumberPending()) {
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
}

bool TFidoMessageBase::NumberPending() {
  const std::string Folder = GetBasePath();
  // The record may name only files whose names are on the disk; the folder's
  // own entry goes too, which a creation stopped before its sync may have
  // left in memory only.
  if (!SyncDirectory(ParentOf(Folder)) || !SyncDirectory(Folder)) return false;
  std::vector<TListed> Listed;
  std::int32_t Next = 0;
  for (TPendingMessage& P : Pending_) {
    P.Number = FreeNumberFrom(Folder, std::max(P.Number, Next));
    if (P.Number == 0) return false;
    Next = P.Number + 1;
    Listed.push_back({P.Number, P.TempName.substr(Folder.size())});
  }
  if (!BeginRecord(EncodeListed(Listed))) return false;

  // The one pass in which readers see the posting appear.
  std::size_t Numbered = 0;
  bool Ok = true;
  for (Next = 0; Ok && Numbered < Pending_.size(); ++Numbered) {
    TPendingMessage& P = Pending_[Numbered];
    P.Number = NumberFrom(Folder, P.TempName, std::max(P.Number, Next));
    Ok = P.Number != 0;
    Next = P.Number + 1;
  }
  if (Ok && SyncDirectory(Folder)) {
    for (const TPendingMessage& P : Pending_) (void)KillFile(P.TempName);  // renamed on FAT
    (void)EndIntent(RecordFileName());  // the posting is on the disk; a record left is finished
    for (const TPendingMessage& P : Pending_) {
      SetMapDot(P.Number, true);
      Highest_ = std::max(Highest_, P.Number);
      SetCurrent(P.Number);
    }
    return true;
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
  // writing then finishes the posting, whole.
  if (!SyncDirectory(Folder) || !EndIntent(RecordFileName())) Pending_.clear();
  return false;
}

bool TFidoMessageBase::BeginRecord(const std::string& Extra) {
  TIntent Intent;
  Intent.Kind = PostingKind;
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
      // Never whole, so nothing was numbered under it; unless another writer
      // is writing it at this moment, which then has temporary files here.
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
  bool Ok = Intent.Kind == PostingKind && DecodeListed(Intent.Extra, Listed);
  std::int32_t Next = 0;
  for (const TListed& L : Listed) {
    struct stat Info {};
    const std::string Temp = Folder + L.Name;
    if (!Ok || ::lstat(Temp.c_str(), &Info) != 0) {
      Ok = Ok && errno == ENOENT;  // gone: numbered and its temporary name removed
      continue;
    }
    if (!S_ISREG(Info.st_mode)) {
      Ok = false;
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
  Inconsistencies_.push_back(PostingLine(Intent, Listed.size()) + " failed; left as it is");
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
    const std::int32_t Pid =
        IsTempName(Name) ? WriterOfMark(Name.substr(0, Name.size() - Ext.size())) : 0;
    Live = Pid > 0 && Pid != Self && !ProcessGone(Pid);
  }
  Find->StopSearch();
  return Live;
}

void TFidoMessageBase::ReportUnfinishedChanges() {
  const std::string Folder = GetBasePath();
  TIntent Intent;
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
      std::vector<TListed> Listed;
      (void)DecodeListed(Intent.Extra, Listed);
      Inconsistencies_.push_back(PostingLine(Intent, Listed.size()));
      // Readers see none of it: the messages of it numbered already still
      // have their temporary name too.
      for (const TListed& L : Listed) {
        if (GetMapDot(L.Number) && SameFile(Folder + L.Name, NumberName(Folder, L.Number))) {
          SetMapDot(L.Number, false);
        }
      }
      break;
    }
  }
  for (const std::string& Aside : AsideNames_) {
    Inconsistencies_.push_back("a message set aside by a removal that did not finish (" + Aside +
                               "): the next open for writing puts it back");
  }
}

std::vector<std::string> TFidoMessageBase::GetInconsistencies() {
  return Inconsistencies_;
}

}  // namespace msgbase
