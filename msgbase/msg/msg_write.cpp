// The *.msg base, writing: numbers for new messages, the write path through a
// temporary file, and removal.
#include "msgbase/msg/msg_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/msg/msg_names.h"
#include "msgbase/status.h"

namespace msgbase {

using namespace msg_names;

namespace {

// The other names of the file at Path, in any case of its name, that are
// hard links to it (no symbolic links).
std::vector<std::string> OtherHardLinks(const std::string& Path) {
  std::vector<std::string> Links;
  for (const std::string& Name : FindNamesAnyCase(Path)) {
    struct stat Info {};
    if (Name != Path && ::lstat(Name.c_str(), &Info) == 0 && !S_ISLNK(Info.st_mode) &&
        SameFile(Name, Path)) {
      Links.push_back(Name);
    }
  }
  return Links;
}

}  // namespace

bool TFidoMessageBase::ReserveNextNumber() {
  // A name that is taken already is passed over; the number becomes the
  // message's only when its whole file is linked to it (PublishMessageFile).
  // The first number of an empty area is the one after the tosser's mark.
  Highest_ = std::max(Highest_, FidoHighWaterMessage);
  while (Highest_ < MaxFidoMessage) {
    const std::int32_t Message = ++Highest_;
    SetCurrent(Message);
    struct stat Info {};
    if (::lstat(MessageFileName(Message).c_str(), &Info) != 0 && errno == ENOENT) return true;
  }
  return false;
}

bool TFidoMessageBase::PublishMessageFile(const std::string& TempName) {
  // link() fails when the name exists: the number is given exclusively, and
  // one another program took since this base was opened is passed over.
  for (std::int32_t Message = MessageNumber_;;) {
    const std::string FileName = MessageFileName(Message);
    if (NumberFile(TempName, FileName)) {
      MessageNumber_ = Message;
      MessagePath_ = FileName;
      SetCurrent(Message);
      SetMapDot(Message, true);
      return true;
    }
    if (errno != EEXIST || Highest_ >= MaxFidoMessage) return false;
    Message = ++Highest_;
  }
}

bool TFidoMessageBase::CreateNewMessage() {
  if (MessageOpen_) (void)CloseMessage();  // it is open, so this succeeds
  if (RefuseChange(stMsgReadOnly)) return false;
  // No file is made yet: a number never stands for an empty or partial file.
  if (!GetOpened() || !ReserveNextNumber() || ::access(GetBasePath().c_str(), W_OK) != 0) {
    return FailMessage(stMsgCantCreateStream);
  }
  MessageFile_.reset();
  MessageOpen_ = true;
  PendingOpen_ = -1;
  MessageNumber_ = Current();
  MessagePath_ = MessageFileName(MessageNumber_);
  NewMessage_ = true;
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  Header_ = TFidoHeader{};
  ResetDateTime();
  return true;
}

void TFidoMessageBase::StoreHeader(TMessageBaseStream& File) {
  std::array<std::uint8_t, TFidoHeader::Size> Bytes{};
  EncodeFidoHeader(Header_, Bytes);
  File.Seek(0);
  File.WriteBuffer(Bytes);
}

bool TFidoMessageBase::FinishWrite() {
  if (MessageFile_->GetStatus() != stOk) {
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  return true;
}

bool TFidoMessageBase::WriteMessage() {
  if (RefuseChange(stMsgReadOnly)) return false;
  TMessageBaseStream* Text = GetMessageTextStream();
  if (!MessageOpen_ || Text == nullptr) {
    SetStatus(stMsgAlreadyClosed);
    return false;
  }
  // The message is written whole to a file of its own and reaches the disk
  // before it takes its name, so neither a failed write (a full disk) nor a
  // crash at any moment leaves a half message or changes the stored one.
  std::string TempName;
  PMessageBaseStream Temp = CreateTempFile(TempName);
  if (Temp && Temp->GetStatus() == stOk) {
    // A rewritten message keeps the permissions its file had; they are set
    // on the open file, never through a name another program could swap.
    if (std::uint32_t Permissions = 0;
        !NewMessage_ && GetFilePermissions(MessagePath_, Permissions)) {
      Temp->SetPermissions(Permissions);
    }
    StoreHeader(*Temp);
    const std::int32_t TextSize = Text->GetSize();
    Text->Seek(0);
    Temp->CopyFrom(*Text, TextSize);
    const std::uint8_t Terminator = 0;
    Temp->Write(&Terminator, 1);
    Temp->Flush();
  }
  // Within a transaction a new message waits for the commit to be numbered.
  if (InTransaction_ && NewMessage_) return KeepPending(std::move(Temp), TempName);
  // A rewrite replaces the file under its name; hard links to the old file
  // under other cases of the name (symbolic ones follow the name) are made
  // links to the new one below, or the two names would be two files.
  std::vector<std::string> HardLinks;
  if (!NewMessage_ && LinkedNumbers_.count(MessageNumber_) != 0) {
    HardLinks = OtherHardLinks(MessagePath_);
  }
  const bool Stored = Temp && Temp->GetStatus() == stOk &&
                      (NewMessage_ ? PublishMessageFile(TempName)
                                   : ::rename(TempName.c_str(), MessagePath_.c_str()) == 0);
  for (const std::string& Link : HardLinks) {
    if (Stored && ::link(MessagePath_.c_str(), TempName.c_str()) == 0 &&
        ::rename(TempName.c_str(), Link.c_str()) != 0) {
      (void)KillFile(TempName);  // the old link stays; the next open refuses the two files
    }
  }
  // A new message's file keeps its number's name and drops the temporary
  // one; a failed write leaves no file behind.
  if (NewMessage_ || !Stored) (void)KillFile(TempName);
  if (!Stored) {
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  // The stream now stands for the message's file under its own name.
  MessageFile_ = std::move(Temp);
  RememberReadFile();
  NewMessage_ = false;
  // The name must be on the disk too before the message counts as written.
  if (!SyncDirectory(GetBasePath())) {
    SetStatus(stMsgCantCreateStream);
    return false;
  }
  return true;
}

PMessageBaseStream TFidoMessageBase::CreateTempFile(std::string& TempName) {
  const std::string Mark =
      GetBasePath() + FidoTempPrefix + LongToStr(static_cast<std::int32_t>(::getpid()));
  // The name is made new, never taken over: whatever stands at it (a file
  // left by an earlier process of the same id, a link someone planted) is
  // passed over for the next name.
  // Outside a transaction the name is free again after every message; within
  // one, each message keeps its own until the commit.
  PMessageBaseStream Temp;
  std::int32_t Counter = InTransaction_ ? NextTempCounter_ : 0;
  const std::int32_t Last = std::min(Counter + TempNameTries, MaxTempCounter + 1);
  for (; Counter < Last; ++Counter) {
    TempName = Mark;
    if (Counter > 0) TempName += '.' + LongToStr(Counter);
    TempName += FidoTempExtension;
    Temp = CreateMessageBaseFileStream(TempName, smCreate | smNew);
    if (Temp->GetStatus() == stOk || GetFileOpenFailure() != stStreamExists) break;
  }
  NextTempCounter_ = Counter + 1;
  if (!Temp) return Temp;  // every name is in use
  // A new message is as open to others as the area's other messages: those
  // of the highest number speak for the area.
  if (!MessagePermissionsKnown_) {
    MessagePermissionsKnown_ = true;
    MessagePermissions_ = 0;
    for (std::int32_t Message = Highest_; Message > 0; --Message) {
      if (GetMapDot(Message) && GetFilePermissions(MessageFileName(Message), MessagePermissions_)) {
        break;
      }
    }
  }
  if (MessagePermissions_ != 0 && Temp->GetStatus() == stOk) {
    Temp->SetPermissions(MessagePermissions_);
  }
  return Temp;
}

bool TFidoMessageBase::PutBackAside(const std::string& Aside, std::int32_t Message) {
  if (RenameFile(Aside, MessageFileName(Message))) {
    SetMapDot(Message, true);
    return true;
  }
  // Its number was taken meanwhile: the file is kept under the next free one.
  while (errno == EEXIST && Highest_ < MaxFidoMessage) {
    const std::int32_t Next = ++Highest_;
    if (RenameFile(Aside, GetBasePath() + LongToStr(Next) + FidoMessageExtension)) {
      SetMapDot(Next, true);
      return true;
    }
  }
  return false;
}

bool TFidoMessageBase::WriteMessageHeader() {
  if (RefuseChange(stMsgReadOnly)) return false;
  if (!MessageFile_) {
    SetStatus(stMsgAlreadyClosed);
    return false;
  }
  MessageFile_->Reset();
  StoreHeader(*MessageFile_);
  MessageFile_->Flush();
  return FinishWrite();
}

bool TFidoMessageBase::KillMessage() {
  const std::int32_t Message = Current();
  if (RefuseChange(stMsgReadOnly) || !GetOpened() || !Exists(Message)) return false;
  const std::string FileName = MessageFileName(Message);
  // Other names of the file (links in another case) go with it, or the
  // message would be back at the next open.
  // Only a number the index found under more than one name has any: the
  // folder is not searched again for every removal.
  std::vector<std::string> Links;
  if (LinkedNumbers_.count(Message) != 0) {
    for (const std::string& Name : FindNamesAnyCase(FileName)) {
      if (Name != FileName && SameFile(Name, FileName)) Links.push_back(Name);
    }
  }
  const auto Read = ReadFiles_.find(Message);
  if (Read == ReadFiles_.end() && !InTransaction_) {
    // Never read through this base: removed by its number, as asked.
    if (!KillFile(FileName)) return false;
  } else {
    // Only the very file that was read goes. Another program may have
    // replaced it since, so it is first taken out of the numbering by a
    // rename (no writer can slip a new file under the name it then has),
    // compared there, and removed or put back. Inside a transaction it
    // waits there for the commit (a message never read is set aside too).
    const std::string Aside = GetBasePath() + LongToStr(Message) + "." + FidoTempPrefix +
                              LongToStr(static_cast<std::int32_t>(::getpid())) + FidoAsideExtension;
    if (!RenameFile(FileName, Aside)) {
      SetStatus(stMsgNotFound);
      return false;
    }
    TFileIdentity Now;
    if (Read != ReadFiles_.end() && (!GetFileIdentity(Aside, Now) || !(Now == Read->second))) {
      (void)PutBackAside(Aside, Message);  // failing that, the next open puts it back
      (void)SyncDirectory(GetBasePath());  // the name it is back under is all it needs
      SetStatus(stMsgNotFound);
      return false;
    }
    if (InTransaction_) {
      // Gone from this base's view now, from the disk at the commit.
      Removals_.push_back({Aside, Message, std::move(Links)});
      SetMapDot(Message, false);
      return true;
    }
    if (!KillFile(Aside)) {
      (void)PutBackAside(Aside, Message);  // as above
      return false;
    }
    ReadFiles_.erase(Read);
  }
  // A link that cannot be removed brings the message back at the next open,
  // like any message file that cannot be removed.
  for (const std::string& Link : Links) (void)KillFile(Link);
  SetMapDot(Message, false);
  OtherCaseNames_.erase(Message);
  // Reported only once it is on the disk.
  return SyncDirectory(GetBasePath());
}

}  // namespace msgbase
