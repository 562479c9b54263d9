// The JAM base: creating and opening the four files, closing them, the
// lastread file and the header fields of the open message. The rest of the
// class lives by role in jam_read.cpp, jam_write.cpp and jam_repair.cpp.
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

// Header, index and text files are held with the deny-write request (shared
// by readers); the lastread file is shared. The header file also carries the
// record lock on its first byte that other JAM software takes.
constexpr std::int32_t BaseFileOpenMode = smDenyWrite | smReadWrite;

constexpr std::int32_t BaseFileReadMode = smDenyWriteShared | smRead;

struct TAttributeMap {
  std::int32_t Common;
  std::uint32_t Jam;
};

constexpr std::array<TAttributeMap, 17> AttributeMap{{
    {maPrivate, jaPrivate},
    {maCrash, jaCrash},
    {maReceived, jaReceived},
    {maSent, jaSent},
    {maFileAttached, jaFileAttach},
    {maInTransit, jaInTransit},
    {maOrphan, jaOrphan},
    {maKillSent, jaKillSent},
    {maLocal, jaLocal},
    {maHold, jaHold},
    {maFileRequest, jaFileRequest},
    {maReturnReceiptRequest, jaReceiptRequest},
    {maAuditRequest, jaConfirmRequest},
    {maDeleted, jaDeleted},
    {maTypeLocal, jaTypeLocal},
    {maTypeEcho, jaTypeEcho},
    {maTypeNet, jaTypeNet},
}};

// A new base gets them in lower case, as the JAM software beside it on Linux
// names them; an existing base keeps its names in whatever case it has.
const std::vector<std::string> JamExtensions{"jhr", "jdx", "jdt", "jlr"};

// Base path: Path with "." appended unless it already ends in one.
std::string JamBasePath(const std::string& Path) {
  if (!Path.empty() && Path.back() == '.') return Path;
  return Path + ".";
}

std::int32_t UnixNow() {
  TMessageBaseDateTime Now;
  GetCurrentMessageBaseDateTime(Now);
  return MessageBaseDateTimeToUnixDateTime(Now);
}

// One of a base's files: where its stream goes and the status of a failure.
struct TBaseFile {
  PMessageBaseStream& Stream;
  const std::string& Name;
  std::int32_t FailStatus;
  std::int32_t ExtraMode = 0;  // added to the mode for this file
};

// Opens the files in order with Mode; the status of the first that fails, or
// stOk. Streams opened before a failure stay with their owner.
std::int32_t OpenBaseFiles(std::int32_t Mode, std::span<const TBaseFile> Files) {
  for (const TBaseFile& File : Files) {
    File.Stream = CreateMessageBaseFileStream(File.Name, Mode | File.ExtraMode);
    if (!File.Stream || File.Stream->GetStatus() != stOk) return File.FailStatus;
  }
  return stOk;
}

}  // namespace

TJamMessageBase::TJamMessageBase() = default;

TJamMessageBase::~TJamMessageBase() {
  (void)CloseMessage();  // false only means that no message was open
  Close();
}

// --- The base ---

bool TJamMessageBase::StreamsOpen() const {
  return HeaderStream_ && IndexStream_ && DataStream_ && LastReadStream_;
}

void TJamMessageBase::DisposeStreams() {
  KeptRecords_.clear();
  DataStream_.reset();
  IndexStream_.reset();
  HeaderStream_.reset();
  LastReadStream_.reset();
}

void TJamMessageBase::ResetAll() {
  for (auto* Stream :
       {HeaderStream_.get(), IndexStream_.get(), DataStream_.get(), LastReadStream_.get()}) {
    if (Stream != nullptr) Stream->Reset();
  }
}

bool TJamMessageBase::Exist(const std::string& Path) {
  // Any surviving data file still holds messages: creating over it would lose
  // them. The lastread file alone does not count; Open makes it when missing.
  // A file under two names exists too: Open then refuses it. Empty files,
  // which a creation that was stopped leaves, make no base.
  TBaseFileNames Files;
  if (!FindBaseFiles(JamBasePath(Path), JamExtensions, Files)) return true;
  for (const auto File : {jfHeader, jfIndex, jfText}) {
    if (Files.Present[File] && FileHoldsBytes(Files.Name[File])) return true;
  }
  return false;
}

bool TJamMessageBase::Create(const std::string& Path) {
  if (StreamsOpen()) Close();
  if (RefuseChange(stJamReadOnly)) return false;
  const std::string Base = JamBasePath(Path);
  SetBasePath(Base);
  CreateDirectory(ExtractPathName(Path));
  TBaseFileNames Names;
  if (!FindBaseFiles(Base, JamExtensions, Names)) {
    SetStatus(stJamTwoNames);
    return false;
  }
  // Files a stopped creation left empty are made again; any other file of
  // the base, the lastread file included, makes it a base that is partly
  // there, which is refused rather than created over.
  if (std::size_t Blocking = 0; !ClearStoppedCreation(Names, Blocking)) {
    constexpr std::array<std::int32_t, 4> CantCreate{stJamCantCreateJhr, stJamCantCreateJdx,
                                                     stJamCantCreateJdt, stJamCantCreateJlr};
    SetStatus(CantCreate[Blocking]);
    return false;
  }

  FileNames_ = Names.Name;
  Inconsistencies_.clear();
  Change_ = TChange{};
  HeaderInfo_ = TJamHeaderInfo{};
  Records_ = 0;
  HeaderInfo_.Signature = JamSignature;
  HeaderInfo_.DateCreated = static_cast<std::uint32_t>(UnixNow());
  HeaderInfo_.PasswordCrc = JamNoCrc;
  HeaderInfo_.BaseMsgNum = 1;
  StoredHeaderInfo_ = EncodeJamHeaderInfo(HeaderInfo_);
  if (const std::int32_t Status = MakeFiles(); Status != stOk) {
    DisposeStreams();
    SetStatus(Status);
    return false;
  }
  ResetAll();
  NewPending_ = false;
  SetStatus(stOk);
  SetOpened(true);
  return true;
}

bool TJamMessageBase::Open(const std::string& Path) {
  if (StreamsOpen()) Close();
  const std::string Base = JamBasePath(Path);
  SetBasePath(Base);
  auto Fail = [this](std::int32_t Status) {
    DisposeStreams();
    SetBasePath("");
    SetStatus(Status);
    return false;
  };

  TBaseFileNames Names;
  if (!FindBaseFiles(Base, JamExtensions, Names)) return Fail(stJamTwoNames);
  if (!Names.Present[jfHeader]) return Fail(stJamAbsentJhr);
  if (!Names.Present[jfIndex]) return Fail(stJamAbsentJdx);
  if (!Names.Present[jfText]) return Fail(stJamAbsentJdt);

  const std::array<TBaseFile, 3> Files{{
      {HeaderStream_, Names.Name[jfHeader], stJamCantOpenJhr, smRecordLock},
      {IndexStream_, Names.Name[jfIndex], stJamCantOpenJdx},
      {DataStream_, Names.Name[jfText], stJamCantOpenJdt},
  }};
  const bool ReadOnly = IsReadOnly();
  if (const std::int32_t Status =
          OpenBaseFiles(ReadOnly ? BaseFileReadMode : BaseFileOpenMode, Files);
      Status != stOk) {
    return Fail(Status);
  }
  FileNames_ = Names.Name;
  Inconsistencies_.clear();
  Change_ = TChange{};
  const std::string& LastReadName = Names.Name[jfLastRead];
  LastReadStream_ = CreateMessageBaseFileStream(LastReadName, ReadOnly ? smRead : smReadWrite);
  // A reader makes no lastread file: an empty one in memory reads the same.
  if (ReadOnly && (!LastReadStream_ || LastReadStream_->GetStatus() != stOk)) {
    LastReadStream_ = CreateMessageBaseMemoryStream(0);
  }
  if (!LastReadStream_ || LastReadStream_->GetStatus() != stOk) {
    // Only a missing lastread file is made; one that is there but would not
    // open (its permissions, a FIFO, a dangling link) is never replaced.
    if (Names.Present[jfLastRead]) return Fail(stJamCantOpenJlr);
    LastReadStream_ = CreateMessageBaseFileStream(LastReadName, smCreate | smNew);
    if (!LastReadStream_ || LastReadStream_->GetStatus() != stOk) {
      return Fail(stJamCantCreateJlr);
    }
    // It is as open to others as the base's other files.
    if (std::uint32_t Permissions = 0; GetFilePermissions(Names.Name[jfHeader], Permissions)) {
      LastReadStream_->SetPermissions(Permissions);
    }
  }

  // What a writer that died began is finished or undone before anything
  // else is read, under the locks just taken.
  if (!ReadOnly && !RecoverChange()) return Fail(stJamStreamProblems);

  // A header file too short for its base header, or one without the
  // signature, is no JAM base: Close would write a base header into it.
  std::array<std::uint8_t, TJamHeaderInfo::Size> Raw{};
  if (HeaderStream_->GetSize() < static_cast<std::int32_t>(Raw.size())) {
    return Fail(stJamDamagedBase);
  }
  HeaderStream_->Seek(0);
  HeaderStream_->ReadBuffer(Raw);
  TJamHeaderInfo Info;
  if (HeaderStream_->GetStatus() != stOk) return Fail(stJamCantOpenJhr);
  if (!DecodeJamHeaderInfo(Raw, Info) || Info.Signature != JamSignature) {
    return Fail(stJamDamagedBase);
  }
  const std::int32_t IndexSize = IndexStream_->GetSize();
  if (IndexSize < 0) return Fail(stJamCantOpenJdx);
  // Every message number, and one for a new message, must fit 32 signed bits.
  const std::int64_t Records = IndexSize / static_cast<std::int32_t>(TJamIndex::Size);
  if (static_cast<std::int64_t>(Info.BaseMsgNum) + Records + 1 > JamMaxNumber) {
    return Fail(stJamCantOpenJhr);
  }
  HeaderInfo_ = Info;
  StoredHeaderInfo_ = Raw;
  NewPending_ = false;
  const std::uint32_t Stored = HeaderInfo_.ActiveMsgs;
  if (ReadOnly) {
    // Nothing is repacked or recounted on disk, and the count is the stored
    // one (other software leaves deleted messages out of it); the numbers are
    // the ones an open for writing gives after dropping removed records.
    if (!MapKeptRecords()) return Fail(stJamCantOpenJdx);
    NoteInconsistencies(static_cast<std::int32_t>(
        std::min<std::uint32_t>(Stored, static_cast<std::uint32_t>(JamMaxNumber))));
    HeaderInfo_.ActiveMsgs = std::min(HeaderInfo_.ActiveMsgs, Records_);
  } else {
    // One change: records of removed messages go at once, lost records come
    // back from the headers, and ActiveMsgs is counted from the index
    // whatever the base header says; nothing is written when all is well.
    bool Started = false;
    StartChange(Started);
    bool Ok = RepackIndex();
    // More messages than the header counts: a writer died before it wrote
    // the count. Its messages were modifications all the same.
    if (Ok && HeaderInfo_.ActiveMsgs > Stored) {
      HeaderInfo_.ModCounter += HeaderInfo_.ActiveMsgs - Stored;
    }
    Ok = Ok && ReindexHeaders();
    if (!EndChange(Started, Ok)) return Fail(stJamStreamProblems);
  }
  SetStatus(stOk);
  SetOpened(true);
  return true;
}

void TJamMessageBase::Close() {
  FoundIndexFor_ = 0;
  if (!StreamsOpen()) return;
  (void)CloseMessage();  // false only means that no message was open
  ResetAll();
  // Close has no result: the status after it tells whether the header got out.
  // A header that did not change is not written: listing a base leaves its
  // files and their times alone.
  SetStatus(stOk);
  // A transaction still open leaves nothing; a count that changed outside
  // one (a message given back) is its own change.
  if (Change_.Open) {
    UndoChange();
  } else if (!IsReadOnly() && EncodeJamHeaderInfo(HeaderInfo_) != StoredHeaderInfo_) {
    bool Started = false;
    StartChange(Started);
    if (!EndChange(Started, true)) SetStatus(stJamStreamProblems);
  }
  if (!IsReadOnly() && !SyncAll()) SetStatus(stJamStreamProblems);
  DisposeStreams();
  SetOpened(false);
}

// --- Lastread ---

bool TJamMessageBase::ReadLastReadRecords(std::vector<std::uint8_t>& Records) {
  Records.clear();
  if (!LastReadStream_) return false;
  LastReadStream_->Reset();
  const std::int32_t Size = LastReadStream_->GetSize();
  if (Size < 0) return false;
  Records.resize(static_cast<std::size_t>(Size) -
                 static_cast<std::size_t>(Size) % TJamLastRead::Size);
  LastReadStream_->Seek(0);
  LastReadStream_->ReadBuffer(Records);
  return LastReadStream_->GetStatus() == stOk;
}

bool TJamMessageBase::AdjustLastRead(std::uint32_t Removed) {
  // The messages after the removed one moved down by one; so do the values
  // that pointed at them or at the removed message itself.
  std::vector<std::uint8_t> Records;
  if (!ReadLastReadRecords(Records)) return false;
  bool Changed = false;
  auto MoveDown = [&](std::uint32_t& Value) {
    if (Value >= Removed && Value > 0) {
      --Value;
      Changed = true;
    }
  };
  for (std::size_t At = 0; At < Records.size(); At += TJamLastRead::Size) {
    TJamLastRead Record;
    if (!DecodeJamLastRead(std::span(Records).subspan(At), Record)) break;
    MoveDown(Record.LastReadMsg);
    MoveDown(Record.HighReadMsg);
    const auto Raw = EncodeJamLastRead(Record);
    std::copy(Raw.begin(), Raw.end(), Records.begin() + static_cast<std::ptrdiff_t>(At));
  }
  return !Changed || WriteAt(*LastReadStream_, 0, Records);
}

std::int32_t TJamMessageBase::GetLastRead(std::int32_t UserNumber) {
  std::vector<std::uint8_t> Records;
  if (!ReadLastReadRecords(Records)) return 0;
  for (std::size_t At = 0; At < Records.size(); At += TJamLastRead::Size) {
    TJamLastRead Record;
    if (DecodeJamLastRead(std::span(Records).subspan(At), Record) &&
        Record.UserId == static_cast<std::uint32_t>(UserNumber)) {
      return static_cast<std::int32_t>(Record.LastReadMsg);
    }
  }
  return 0;
}

void TJamMessageBase::SetLastRead(std::int32_t UserNumber, std::int32_t Message) {
  if (RefuseChange(stJamReadOnly)) return;
  std::vector<std::uint8_t> Records;
  if (!ReadLastReadRecords(Records)) {
    SetStatus(stJamStreamProblems);
    return;
  }
  const auto User = static_cast<std::uint32_t>(UserNumber);
  const auto Value = static_cast<std::uint32_t>(Message);
  // A new record goes after the last whole one.
  std::size_t At = 0;
  TJamLastRead Record{User, User, Value, Value};
  for (; At < Records.size(); At += TJamLastRead::Size) {
    TJamLastRead Old;
    if (DecodeJamLastRead(std::span(Records).subspan(At), Old) && Old.UserId == User) {
      Record = Old;
      Record.LastReadMsg = Value;
      Record.HighReadMsg = Value;
      break;
    }
  }
  bool Started = false;
  StartChange(Started);
  if (!Protect(jfLastRead, static_cast<std::int64_t>(At), TJamLastRead::Size) ||
      !WriteAt(*LastReadStream_, static_cast<std::int32_t>(At), EncodeJamLastRead(Record))) {
    SetStatus(stJamStreamProblems);
    (void)EndChange(Started, false);
    return;
  }
  if (!EndChange(Started, true)) SetStatus(stJamStreamProblems);
}

// --- Header fields ---

std::string TJamMessageBase::GetFrom() {
  return From_;
}
std::string TJamMessageBase::GetTo() {
  return To_;
}
std::string TJamMessageBase::GetSubject() {
  return Subject_;
}
void TJamMessageBase::SetFrom(const std::string& S) {
  From_ = CutText(S);
}
void TJamMessageBase::SetTo(const std::string& S) {
  To_ = CutText(S);
}
void TJamMessageBase::SetSubject(const std::string& S) {
  Subject_ = CutText(S);
}

// The address subfields of a stored message are the starting point (a message
// need not carry a MSGID line); control lines of the text override them.
void TJamMessageBase::GetFromAddress(TAddress& Address) {
  Address = FromAddress_;
  TMessageBase::GetFromAddress(Address);
}

void TJamMessageBase::GetToAddress(TAddress& Address) {
  Address = ToAddress_;
  TMessageBase::GetToAddress(Address);
}

void TJamMessageBase::GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) {
  FromAddress = FromAddress_;
  ToAddress = ToAddress_;
  TMessageBase::GetFromAndToAddress(FromAddress, ToAddress);
}

bool TJamMessageBase::MapAttribute(std::int32_t& Attribute) {
  for (const TAttributeMap& Entry : AttributeMap) {
    if (Entry.Common == Attribute) {
      Attribute = static_cast<std::int32_t>(Entry.Jam);
      return true;
    }
  }
  return false;
}

bool TJamMessageBase::GetAttribute(std::int32_t Attribute) {
  if (!MapAttribute(Attribute)) return false;
  return (MessageHeader_.Attribute & static_cast<std::uint32_t>(Attribute)) != 0;
}

void TJamMessageBase::SetAttribute(std::int32_t Attribute, bool Enable) {
  if (!MapAttribute(Attribute)) return;
  const auto Bit = static_cast<std::uint32_t>(Attribute);
  MessageHeader_.Attribute =
      Enable ? (MessageHeader_.Attribute | Bit) : (MessageHeader_.Attribute & ~Bit);
}

void TJamMessageBase::GetWrittenDateTime(TMessageBaseDateTime& DateTime) {
  ClearMessageBaseDateTime(DateTime);
  UnixDateTimeToMessageBaseDateTime(static_cast<std::int32_t>(MessageHeader_.DateWritten),
                                    DateTime);
}

void TJamMessageBase::GetArrivedDateTime(TMessageBaseDateTime& DateTime) {
  ClearMessageBaseDateTime(DateTime);
  UnixDateTimeToMessageBaseDateTime(static_cast<std::int32_t>(MessageHeader_.DateProcessed),
                                    DateTime);
}

void TJamMessageBase::SetWrittenDateTime(const TMessageBaseDateTime& DateTime) {
  MessageHeader_.DateWritten =
      static_cast<std::uint32_t>(MessageBaseDateTimeToUnixDateTime(DateTime));
}

void TJamMessageBase::SetArrivedDateTime(const TMessageBaseDateTime& DateTime) {
  MessageHeader_.DateProcessed =
      static_cast<std::uint32_t>(MessageBaseDateTimeToUnixDateTime(DateTime));
}

bool TJamMessageBase::GetRead() {
  return MessageHeader_.TimesRead != 0;
}

void TJamMessageBase::SetRead(bool Read) {
  MessageHeader_.TimesRead = Read ? MessageHeader_.TimesRead + 1 : 0;
}

std::int32_t TJamMessageBase::GetReplyTo() const {
  return static_cast<std::int32_t>(MessageHeader_.ReplyTo);
}
std::int32_t TJamMessageBase::GetReplyFirst() const {
  return static_cast<std::int32_t>(MessageHeader_.ReplyFirst);
}
std::int32_t TJamMessageBase::GetReplyNext() const {
  return static_cast<std::int32_t>(MessageHeader_.ReplyNext);
}
void TJamMessageBase::SetReplyTo(std::int32_t Message) {
  MessageHeader_.ReplyTo = static_cast<std::uint32_t>(Message);
}
void TJamMessageBase::SetReplyFirst(std::int32_t Message) {
  MessageHeader_.ReplyFirst = static_cast<std::uint32_t>(Message);
}
void TJamMessageBase::SetReplyNext(std::int32_t Message) {
  MessageHeader_.ReplyNext = static_cast<std::uint32_t>(Message);
}

void TJamMessageBase::GetMessageHeader(TJamMessageHeaderFirst& Header) const {
  Header = MessageHeader_;
}

void TJamMessageBase::GetStreams(TMessageBaseStream*& Header, TMessageBaseStream*& Index,
                                 TMessageBaseStream*& Data) const {
  Header = HeaderStream_.get();
  Index = IndexStream_.get();
  Data = DataStream_.get();
}

std::uint32_t TJamMessageBase::StrCRC32(const std::string& S) {
  std::uint32_t Crc = JamNoCrc;
  for (const char Ch : S) Crc = UpdateCRC32(static_cast<std::uint8_t>(LoCase(Ch)), Crc);
  return Crc;
}

}  // namespace msgbase
