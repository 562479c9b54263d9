// The Squish base: creating and opening the files, closing them, the base
// header, the header fields of the open message and the lastread file. The
// rest of the class lives by role in squish_read.cpp, squish_write.cpp and
// squish_repair.cpp.
#include "msgbase/squish/squish_base.h"

#include <sys/stat.h>
#include <unistd.h>

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

const std::vector<std::string> SquishExtensions{"sqd", "sqi", "sql"};

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
  DataName_.clear();
  IndexName_.clear();
  DataStream_.reset();
  IndexStream_.reset();
  SetBasePath("");
  SetOpened(false);
}

namespace {

// The temporary name a file of a base is made under.
std::string CreationName(const std::string& Name) {
  return Name + ".tmp";
}

// Removes what a creation that stopped left under a temporary name, unless
// another creation holds it now; false when it stays.
bool ClearCreationLeftover(const std::string& Name) {
  struct stat Info {};
  if (::lstat(Name.c_str(), &Info) != 0) return true;
  PMessageBaseStream Held = CreateMessageBaseFileStream(Name, smReadWrite | smDenyWrite);
  return Held != nullptr && Held->GetStatus() == stOk && KillFile(Name);
}

}  // namespace

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
  DataName_ = Names.Name[sfData];
  IndexName_ = Names.Name[sfIndex];
  const std::string Folder = ExtractPathName(DataName_);
  const std::string NewData = CreationName(DataName_);
  const std::string NewIndex = CreationName(IndexName_);
  // A record of a change to a base that is gone speaks of nothing now.
  (void)::unlink(RecordName().c_str());

  // The data file first, then the index, both under names no reader takes
  // for the base; the header is written and both are synced with their
  // folder; then the index and, last, the data file get their names. A
  // creation stopped on the way leaves no base, only files the next one
  // removes.
  // Only the files this creation made are removed when it fails.
  bool MadeData = false;
  bool MadeIndex = false;
  const auto Fail = [&](std::int32_t Status) {
    DataStream_.reset();
    IndexStream_.reset();
    if (MadeData) (void)::unlink(NewData.c_str());
    if (MadeIndex) (void)::unlink(NewIndex.c_str());
    FailOpen(Status);
    return false;
  };
  if (!ClearCreationLeftover(NewData)) return Fail(stSquishCantCreateSqd);
  DataStream_ = CreateMessageBaseFileStream(NewData, smCreate | smNew | smDenyWrite | smRecordLock);
  if (DataStream_ == nullptr || DataStream_->GetStatus() != stOk) {
    return Fail(stSquishCantCreateSqd);
  }
  MadeData = true;
  if (!ClearCreationLeftover(NewIndex)) return Fail(stSquishCantCreateSqi);
  IndexStream_ = CreateMessageBaseFileStream(NewIndex, smCreate | smNew | smDenyWrite);
  if (IndexStream_ == nullptr || IndexStream_->GetStatus() != stOk) {
    return Fail(stSquishCantCreateSqi);
  }
  MadeIndex = true;

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
  if (!WriteBaseHeader(BaseHeader_)) return Fail(stSquishCantCreateSqd);
  DataStream_->Flush();
  IndexStream_->Flush();
  if (DataStream_->GetStatus() != stOk || IndexStream_->GetStatus() != stOk ||
      !SyncDirectory(Folder) || !RenameFile(NewIndex, IndexName_)) {
    return Fail(stSquishCantCreateSqd);
  }
  MadeIndex = false;
  // The index's name is on disk before the data file's name makes the base
  // exist: a power cut never leaves a base without its index.
  if (!SyncDirectory(Folder)) {
    (void)::unlink(IndexName_.c_str());
    return Fail(stSquishCantCreateSqd);
  }
  const bool Published = RenameFile(NewData, DataName_);
  if (!Published || !SyncDirectory(Folder)) {
    if (Published) (void)::unlink(DataName_.c_str());  // the base goes first
    (void)::unlink(IndexName_.c_str());
    return Fail(stSquishCantCreateSqd);
  }

  Inconsistencies_.clear();
  ResetMessageState();
  SetOpened(true);
  return true;
}

bool TSquishMessageBase::Open(const std::string& Path) {
  if (GetOpened()) Close();
  PreparePath(Path);
  Inconsistencies_.clear();
  Uncommitted_ = TIntent{};
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
  DataName_ = Names.Name[sfData];
  IndexName_ = Names.Name[sfIndex];
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
  // A change a writer left unfinished is finished or undone before anything
  // else is read; a reader only reports it.
  if (IsReadOnly()) {
    NoteRecord();
  } else if (!Recover()) {
    FailOpen(stSquishDataProblems);
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
  Tx_ = TTransaction{};
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
  // Close has no result: the status after it tells whether what was open
  // could be undone.
  SetStatus(stOk);
  if (Tx_.Open) RollbackTransaction();
  const std::int32_t Status = GetStatus();
  GiveBackNewMessage();
  if (!IsReadOnly()) {
    std::array<std::uint8_t, TSquishBaseHeader::Size> Header{};
    BaseHeader_.Encode(Header);
    if (Header != StoredBaseHeader_ && !SaveBaseHeader()) SetStatus(stSquishDataProblems);
  }
  if (Status != stOk) SetStatus(Status);
  SetOpened(false);
  DataStream_.reset();
  IndexStream_.reset();
  Tx_ = TTransaction{};
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

bool TSquishMessageBase::SaveBaseHeader() {
  if (RefuseChange(stSquishReadOnly)) return false;
  if (DataStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  // Inside a transaction its commit writes the header; outside, the header
  // is a change of its own.
  const bool Automatic = StartAutomatic();
  return EndAutomatic(Automatic, true, true);
}

bool TSquishMessageBase::WriteBaseHeader(const TSquishBaseHeader& Header) {
  DataStream_->Reset();
  DataStream_->Seek(0);
  WriteRecord(*DataStream_, Header);
  if (DataStream_->GetStatus() != stOk) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  Header.Encode(StoredBaseHeader_);
  return true;
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
  if (Uncommitted_.Files.size() > sfLastRead) {
    File = CreateCommittedView(std::move(File), Uncommitted_, sfLastRead);
  }
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
  const bool Make = (File == nullptr || File->GetStatus() != stOk) &&
                    GetFileOpenFailure() == stStreamOpenFailed && !FileExists(Name);
  if (!Make && (File == nullptr || File->GetStatus() != stOk)) return;
  const bool Automatic = StartAutomatic();
  if (!Protect(sfLastRead, Offset, SquishLastReadSize)) {
    (void)EndAutomatic(Automatic, false, false);  // failures are not reported
    return;
  }
  if (Make) {
    File = CreateMessageBaseFileStream(Name, smCreate | smNew | smDenyWrite);
    // It is as open to others as the base's other files.
    if (std::uint32_t Permissions = 0; File != nullptr && File->GetStatus() == stOk &&
                                       GetFilePermissions(DataName_, Permissions)) {
      File->SetPermissions(Permissions);
    }
  }
  bool Ok = File != nullptr && File->GetStatus() == stOk;
  if (Ok) {
    std::array<std::uint8_t, SquishLastReadSize> Entry{};
    PutLEInt32(Entry.data(), Message);
    File->Seek(Offset);
    File->WriteBuffer(Entry);
    File->Flush();
    Ok = File->GetStatus() == stOk;
  }
  (void)EndAutomatic(Automatic, Ok, false);  // failures are not reported
}

}  // namespace msgbase
