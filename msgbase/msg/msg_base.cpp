#include "msgbase/msg/msg_base.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
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

// The largest user number whose lastread entry a 32-bit file position reaches.
constexpr std::int32_t MaxLastReadUser =
    (std::numeric_limits<std::int32_t>::max() - FidoLastReadEntrySize) / FidoLastReadEntrySize;

// The message number a file name stands for: the decimal number before its
// first '.', from 1 to MaxFidoMessage ("12.bak.msg" stands for 12).
bool MessageNumberOfName(const std::string& Name, std::int32_t& Message) {
  const std::string Stem = Name.substr(0, Name.find('.'));
  if (Stem.empty() || Stem.size() > 5) return false;
  std::int32_t Value = 0;
  for (const char Ch : Stem) {
    if (Ch < '0' || Ch > '9') return false;
    Value = Value * 10 + (Ch - '0');
  }
  if (Value < 1 || Value > MaxFidoMessage) return false;
  Message = Value;
  return true;
}

// True when Name is a message file's name whose number no message can bear:
// its stem is a decimal number of 0 or above MaxFidoMessage ("40000.msg").
bool IsUncountedName(const std::string& Name) {
  const std::string Stem = Name.substr(0, Name.find('.'));
  if (Stem.empty()) return false;
  std::int32_t Value = 0;
  for (const char Ch : Stem) {
    if (Ch < '0' || Ch > '9') return false;
    Value = std::min(Value * 10 + (Ch - '0'), MaxFidoMessage + 1);
  }
  return Value < 1 || Value > MaxFidoMessage;
}

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

// A message is written whole under a temporary name first: "vellumar", the
// writing process's id, a counter when that name is taken already, and this
// extension. The name does not end in the message extension, so no scan takes
// it for a message, and the process id tells a later run whether the file
// belongs to a live writer. A message being removed is set aside under its
// number, the same mark and another extension while it is checked.
constexpr const char* FidoTempPrefix = "vellumar";
constexpr const char* FidoTempExtension = ".tmp";
constexpr const char* FidoAsideExtension = ".kill";
// Names tried for one process's temporary file before a write gives up.
constexpr std::int32_t TempNameTries = 100;

bool EndsWith(const std::string& Name, const std::string& Tail) {
  return Name.size() > Tail.size() &&
         Name.compare(Name.size() - Tail.size(), Tail.size(), Tail) == 0;
}

// The process id in Mark, "vellumar" followed by the id and, after a dot, an
// optional counter; 0 when Mark is none.
long WriterOfMark(const std::string& Mark) {
  const std::string Prefix = FidoTempPrefix;
  if (Mark.size() <= Prefix.size() || Mark.compare(0, Prefix.size(), Prefix) != 0) return 0;
  long Pid = 0;
  std::size_t I = Prefix.size();
  for (; I < Mark.size() && Mark[I] != '.'; ++I) {
    if (Mark[I] < '0' || Mark[I] > '9' || Pid > 100000000) return 0;
    Pid = Pid * 10 + (Mark[I] - '0');
  }
  if (I < Mark.size()) {
    const std::string Counter = Mark.substr(I + 1);
    if (Counter.empty() || Counter.size() > 3 ||
        Counter.find_first_not_of("0123456789") != std::string::npos) {
      return 0;
    }
  }
  return Pid;
}

bool IsDeadProcess(long Pid) {
  return Pid > 0 && ::kill(static_cast<pid_t>(Pid), 0) != 0 && errno == ESRCH;
}

// True when Name is the temporary file of a writer that is no longer running
// (or a rewrite's "N.msg.tmp" of an older version, which nobody finishes).
bool IsDeadWritersFile(const std::string& Name) {
  const std::string Ext = FidoTempExtension;
  if (!EndsWith(Name, Ext)) return false;
  const std::string Stem = Name.substr(0, Name.size() - Ext.size());
  std::int32_t Message = 0;
  if (EndsWith(Stem, FidoMessageExtension) && MessageNumberOfName(Stem, Message)) return true;
  return IsDeadProcess(WriterOfMark(Stem));
}

// The number of a message a remover that is no longer running set aside
// ("N.vellumar<pid>.kill"), or 0.
std::int32_t DeadRemoversMessage(const std::string& Name) {
  if (!EndsWith(Name, FidoAsideExtension)) return 0;
  const std::string Stem = Name.substr(0, Name.size() - std::string(FidoAsideExtension).size());
  const std::size_t Dot = Stem.find('.');
  std::int32_t Message = 0;
  if (Dot == std::string::npos || !MessageNumberOfName(Stem, Message) ||
      !IsDeadProcess(WriterOfMark(Stem.substr(Dot + 1)))) {
    return 0;
  }
  return Message;
}

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

TFidoMessageBase::~TFidoMessageBase() {
  // Nobody is left to read a status at this point.
  if (MessageOpen_) (void)CloseMessage();
  Close();
}

bool TFidoMessageBase::Open(const std::string& Path) {
  return OpenDirectory(Path, false);
}

bool TFidoMessageBase::Create(const std::string& Path) {
  if (RefuseChange(stMsgReadOnly)) return false;
  return OpenDirectory(Path, true);
}

bool TFidoMessageBase::OpenDirectory(const std::string& Path, bool Make) {
  SetOpened(false);
  std::string Base = Path;
  if (Base.empty() || Base.back() != '/') Base += '/';
  SetBasePath(Base);
  // A longer path would be stored cut, and every file name built on it would
  // point somewhere else.
  if (Base.size() > MaxTextLength) {
    SetStatus(stMsgWrongPath);
    return false;
  }
  if (Make) (void)CreateDirectory(Base);  // always true: whether it worked is tested next
  if (!DirectoryExists(Base)) {
    SetStatus(stMsgWrongPath);
    return false;
  }
  // A reader leaves the directory as it is.
  if (!IsReadOnly()) RemoveDeadWritersFiles();
  RebuildIndex();
  std::string LastRead;
  if (TwoNames_ ||
      (LastReadNames_ > 1 && FindFileAnyCase(GetBasePath() + FidoLastReadName, LastRead) > 1)) {
    SetStatus(stMsgTwoNames);
    return false;
  }
  SetOpened(true);
  return true;
}

void TFidoMessageBase::RemoveDeadWritersFiles() {
  PMessageBaseFind Find = CreateMessageBaseFind();
  bool Changed = false;
  for (bool Found = Find->StartSearch(GetBasePath() + "*", faArchive | faReadOnly); Found;
       Found = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    // A file that cannot be removed stays; it never counts as a message.
    if (IsDeadWritersFile(Name)) {
      Changed = KillFile(GetBasePath() + Name) || Changed;
    } else if (const std::int32_t Message = DeadRemoversMessage(Name); Message > 0) {
      // A removal that died before it was sure of the file is undone: the
      // message goes back under its number, or stays aside if that is taken.
      Changed = RenameFile(GetBasePath() + Name,
                           GetBasePath() + LongToStr(Message) + FidoMessageExtension) ||
                Changed;
    }
  }
  Find->StopSearch();
  if (Changed) (void)SyncDirectory(GetBasePath());  // tidying only: nothing depends on it
}

bool TFidoMessageBase::Exist(const std::string& Path) {
  return DirectoryExists(Path);
}

void TFidoMessageBase::Close() {
  ReadFiles_.clear();
  MessagePermissionsKnown_ = false;
  SetBasePath("");
  SetOpened(false);
}

bool TFidoMessageBase::Exists(std::int32_t Message) {
  return GetMapDot(Message);
}

std::int32_t TFidoMessageBase::GetLocation() {
  return Current();
}

void TFidoMessageBase::SetLocation(std::int32_t Location) {
  SetCurrent(Location);
}

void TFidoMessageBase::RebuildIndex() {
  LinkedNumbers_.clear();
  Map_.fill(0);
  Count_ = 0;
  Highest_ = 0;
  OtherCaseNames_.clear();
  TwoNames_ = false;
  Uncounted_.clear();
  LastReadNames_ = 0;
  // Other software may name its messages "12.MSG": any case of the extension
  // counts. Names that differ only in case are refused when they are two
  // files, and are one message when they are links to one file. The same
  // pass counts the names of the lastread file, in any case and of any kind,
  // so that opening reads the directory once.
  const std::string Extension = FidoMessageExtension;
  const std::string LastReadName = FidoLastReadName;
  std::map<std::string, std::string> Folded;  // folded name -> the name it is opened under
  PMessageBaseFind Find = CreateMessageBaseFind();
  for (bool Found = Find->StartSearch(GetBasePath() + "*", faAnyFile | faNamesOnly); Found;
       Found = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    std::string Lower = Name;
    for (char& Ch : Lower) Ch = LoCase(Ch);
    if (Lower == LastReadName) ++LastReadNames_;
    if ((Find->GetAttr() & ~(faArchive | faReadOnly)) != 0) continue;  // message files only
    if (Lower.size() <= Extension.size() ||
        Lower.compare(Lower.size() - Extension.size(), Extension.size(), Extension) != 0) {
      continue;
    }
    std::int32_t Message = 0;
    if (!MessageNumberOfName(Name, Message)) {
      if (IsUncountedName(Name)) Uncounted_.push_back(Name);
      continue;
    }
    const std::string Own = LongToStr(Message) + Extension;
    const auto [Known, First] = Folded.emplace(Lower, Name);
    if (!First) {
      if (SameFile(GetBasePath() + Known->second, GetBasePath() + Name)) {
        Known->second = PreferredName(GetBasePath(), Known->second, Name, Own);
        LinkedNumbers_.insert(Message);
      } else {
        TwoNames_ = true;
      }
    }
    if (Known->second != Own && Lower == Own) OtherCaseNames_[Message] = Known->second;
    if (Known->second == Own) OtherCaseNames_.erase(Message);
    SetMapDot(Message, true);
    if (Message > Highest_) Highest_ = Message;
  }
  Find->StopSearch();
  std::sort(Uncounted_.begin(), Uncounted_.end());
}

void TFidoMessageBase::SetMapDot(std::int32_t N, bool Value) {
  if (N < 0 || N >= FidoMapBits) return;
  std::uint8_t& Byte = Map_[static_cast<std::size_t>(N / 8)];
  const auto Mask = static_cast<std::uint8_t>(1u << (N % 8));
  const bool Was = (Byte & Mask) != 0;
  // The count follows the bit, so that two names for one number (12.msg and
  // 12.bak.msg) count once.
  if (Value && !Was) {
    Byte = static_cast<std::uint8_t>(Byte | Mask);
    ++Count_;
  } else if (!Value && Was) {
    Byte = static_cast<std::uint8_t>(Byte & ~Mask);
    --Count_;
  }
}

bool TFidoMessageBase::GetMapDot(std::int32_t N) const {
  if (N < 0 || N >= FidoMapBits) return false;
  return (Map_[static_cast<std::size_t>(N / 8)] & (1u << (N % 8))) != 0;
}

std::string TFidoMessageBase::MessageFileName(std::int32_t Message) {
  const auto Other = OtherCaseNames_.find(Message);
  if (Other != OtherCaseNames_.end()) return GetBasePath() + Other->second;
  return GetBasePath() + LongToStr(Message) + FidoMessageExtension;
}

std::string TFidoMessageBase::LastReadFileName() {
  std::string Name;
  (void)FindFileAnyCase(GetBasePath() + FidoLastReadName, Name);  // Open refused two names
  return Name;
}

bool TFidoMessageBase::FailMessage(std::int32_t Status) {
  MessageFile_.reset();
  MessageOpen_ = false;
  SetMessageTextStream(nullptr);
  SetStatus(Status);
  return false;
}

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
    // A file system without hard links (FAT) takes a rename that replaces
    // nothing instead.
    const bool Linked = ::link(TempName.c_str(), FileName.c_str()) == 0 ||
                        ((errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) &&
                         RenameFile(TempName, FileName));
    if (Linked) {
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
  MessageNumber_ = Current();
  MessagePath_ = MessageFileName(MessageNumber_);
  NewMessage_ = true;
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  Header_ = TFidoHeader{};
  ResetDateTime();
  return true;
}

bool TFidoMessageBase::CloseMessage() {
  if (!MessageOpen_) {
    SetStatus(stMsgAlreadyClosed);
    return false;
  }
  MessageOpen_ = false;
  MessageFile_.reset();
  SetMessageTextStream(nullptr);
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
  PMessageBaseStream Temp;
  for (std::int32_t Try = 0; Try < TempNameTries; ++Try) {
    TempName = Mark;
    if (Try > 0) TempName += '.' + LongToStr(Try);
    TempName += FidoTempExtension;
    Temp = CreateMessageBaseFileStream(TempName, smCreate | smNew);
    if (Temp->GetStatus() == stOk || GetFileOpenFailure() != stStreamExists) break;
  }
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

void TFidoMessageBase::RememberReadFile() {
  TFileIdentity Identity;
  if (MessageFile_ && MessageFile_->GetIdentity(Identity)) {
    ReadFiles_[MessageNumber_] = Identity;
  } else {
    ReadFiles_.erase(MessageNumber_);
  }
}

bool TFidoMessageBase::PutBackAside(const std::string& Aside, std::int32_t Message) {
  if (RenameFile(Aside, MessageFileName(Message))) return true;
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

bool TFidoMessageBase::OpenMessageFile(std::int32_t& FileSize, bool WithText) {
  if (!GetOpened() || !Exists(Current())) {
    SetStatus(stMsgNotFound);
    return false;
  }
  if (MessageOpen_) (void)CloseMessage();  // it is open, so this succeeds
  MessageFile_ =
      CreateMessageBaseFileStream(MessageFileName(Current()), IsReadOnly() ? smRead : smReadWrite);
  if (!MessageFile_ || MessageFile_->GetStatus() != stOk) {
    return FailMessage(stMsgCantCreateStream);
  }
  MessageNumber_ = Current();
  MessagePath_ = MessageFileName(MessageNumber_);
  NewMessage_ = false;
  RememberReadFile();
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  Header_ = TFidoHeader{};
  MessageOpen_ = true;
  FileSize = MessageFile_->GetSize();
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
  std::vector<std::uint8_t> Bytes(TFidoHeader::Size +
                                  static_cast<std::size_t>(Together ? TextSize : 0));
  MessageFile_->Seek(0);
  MessageFile_->ReadBuffer(Bytes);
  if (Together && MessageFile_->GetStatus() != stOk) {
    // The header alone may still be there: it is kept as far as it reads.
    MessageFile_->Reset();
    Bytes.resize(TFidoHeader::Size);
    MessageFile_->Seek(0);
    MessageFile_->ReadBuffer(Bytes);
    (void)DecodeFidoHeader(Bytes, Header_);
    return FailMessage(stMsgCantCreateStream);
  }
  (void)DecodeFidoHeader(Bytes, Header_);  // the buffer holds a whole header
  if (MessageFile_->GetStatus() != stOk) return FailMessage(stMsgCantCreateStream);
  if (WithText && TextSize > MaxFidoTextSize) return FailMessage(stMsgBufferOverflow);
  if (Together) {
    GetMessageTextStream()->WriteBuffer(std::span(Bytes).subspan(TFidoHeader::Size));
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

std::vector<std::string> TFidoMessageBase::GetUncountedFiles() {
  return Uncounted_;
}

std::int32_t TFidoMessageBase::GetHighest() {
  return Highest_;
}

std::int32_t TFidoMessageBase::GetCount() {
  return Count_;
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
  ParseFidoDateText(FixedFieldText(Header_.DateTime), DateTime);
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
  if (Read == ReadFiles_.end()) {
    // Never read through this base: removed by its number, as asked.
    if (!KillFile(FileName)) return false;
  } else {
    // Only the very file that was read goes. Another program may have
    // replaced it since, so it is first taken out of the numbering by a
    // rename (no writer can slip a new file under the name it then has),
    // compared there, and removed or put back.
    const std::string Aside = GetBasePath() + LongToStr(Message) + "." + FidoTempPrefix +
                              LongToStr(static_cast<std::int32_t>(::getpid())) + FidoAsideExtension;
    if (!RenameFile(FileName, Aside)) {
      SetStatus(stMsgNotFound);
      return false;
    }
    TFileIdentity Now;
    if (!GetFileIdentity(Aside, Now) || !(Now == Read->second)) {
      (void)PutBackAside(Aside, Message);  // failing that, the next open puts it back
      (void)SyncDirectory(GetBasePath());  // the name it is back under is all it needs
      SetStatus(stMsgNotFound);
      return false;
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
  return true;
}

std::int32_t TFidoMessageBase::GetLastRead(std::int32_t UserNumber) {
  if (!GetOpened() || UserNumber < 0 || UserNumber > MaxLastReadUser) return 0;
  PMessageBaseStream File = CreateMessageBaseFileStream(LastReadFileName(), smRead);
  if (!File || File->GetStatus() != stOk) return 0;
  const std::int32_t Offset = UserNumber * FidoLastReadEntrySize;
  if (File->GetSize() < Offset + FidoLastReadEntrySize) return 0;
  std::array<std::uint8_t, FidoLastReadEntrySize> Entry{};
  File->Seek(Offset);
  File->ReadBuffer(Entry);
  if (File->GetStatus() != stOk) return 0;
  return GetLE16(Entry.data());
}

void TFidoMessageBase::SetLastRead(std::int32_t UserNumber, std::int32_t Message) {
  if (RefuseChange(stMsgReadOnly) || !GetOpened() || UserNumber < 0 || UserNumber > MaxLastReadUser)
    return;
  const std::string FileName = LastReadFileName();
  PMessageBaseStream File = CreateMessageBaseFileStream(FileName, smWrite);
  // Creating empties the file: only for one that is not there, never for one
  // that merely refused to open, which would lose every user's entry.
  if ((!File || File->GetStatus() != stOk) && GetFileOpenFailure() == stStreamOpenFailed &&
      !FileExists(FileName)) {
    File = CreateMessageBaseFileStream(FileName, smCreate | smNew);
  }
  if (!File || File->GetStatus() != stOk) return;
  std::array<std::uint8_t, FidoLastReadEntrySize> Entry{};
  PutLE16(Entry.data(), static_cast<std::uint16_t>(Message));
  File->Seek(UserNumber * FidoLastReadEntrySize);
  File->WriteBuffer(Entry);
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
