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

constexpr std::int64_t MaxNumber = std::numeric_limits<std::int32_t>::max();
// Subfield data handed out by GetSubfield and the reading passes.
constexpr std::size_t MaxSubfieldText = MaxTextLength;
// Subfield bytes read with a message's fixed header: enough for the
// subfields of most messages, so that one read takes the whole header.
constexpr std::size_t FirstSubfieldsRead = 1024;

// Header, index and text files are held with the deny-write request (shared
// by readers); the lastread file is shared. The header file also carries the
// record lock on its first byte that other JAM software takes.
constexpr std::int32_t BaseFileCreateMode = smDenyWrite | smCreate | smNew;
constexpr std::int32_t BaseFileOpenMode = smDenyWrite | smReadWrite;
constexpr std::int32_t BaseFileReadMode = smDenyWriteShared | smRead;

constexpr char KludgeChar = '\x01';
constexpr char CarriageReturn = '\r';
constexpr char LineFeed = '\n';

// How WriteMessage stores a line that begins with Prefix.
enum class TLineKind { Subfield, Dropped };
struct TLineRule {
  std::string_view Prefix;
  TLineKind Kind;
  std::uint16_t Id;
};
// The first rule whose prefix matches decides; a control line that matches none
// becomes an FTS kludge subfield, any other line stays in the text.
constexpr std::array<TLineRule, 10> LineRules{{
    {"\x01MSGID: ", TLineKind::Subfield, jsfMsgId},
    {"\x01REPLY: ", TLineKind::Subfield, jsfReplyId},
    {"\x01PID: ", TLineKind::Subfield, jsfPid},
    {"\x01"
     "FLAGS: ",
     TLineKind::Subfield, jsfFlags},
    {"\x01Via ", TLineKind::Subfield, jsfTrace},
    {"SEEN-BY: ", TLineKind::Subfield, jsfSeenBy2D},
    {"\x01PATH: ", TLineKind::Subfield, jsfPath2D},
    // The addressing lines live in the address subfields; reading restores them.
    {"\x01INTL", TLineKind::Dropped, 0},
    {"\x01"
     "FMPT",
     TLineKind::Dropped, 0},
    {"\x01TOPT", TLineKind::Dropped, 0},
}};

// Control lines rebuilt from subfields when a message is opened: the ones
// before the stored text, then the trace, SEEN-BY and PATH lines after it.
struct TRestoredLine {
  std::uint16_t Id;
  std::string_view Prefix;
};
constexpr std::array<TRestoredLine, 5> LinesBeforeText{{
    {jsfMsgId, "\x01MSGID: "},
    {jsfReplyId, "\x01REPLY: "},
    {jsfPid, "\x01PID: "},
    {jsfFtsKludge, "\x01"},
    {jsfFlags,
     "\x01"
     "FLAGS: "},
}};
constexpr std::array<TRestoredLine, 3> LinesAfterText{{
    {jsfTrace, "\x01Via "},
    {jsfSeenBy2D, "SEEN-BY: "},
    {jsfPath2D, "\x01PATH: "},
}};

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

bool StartsWith(std::string_view Line, std::string_view Prefix) {
  return Line.substr(0, Prefix.size()) == Prefix;
}

// The four files of a base, in this order.
enum TJamFile : std::size_t { jfHeader = 0, jfIndex = 1, jfText = 2, jfLastRead = 3 };
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

// Calls Visit(Line) for each line of Text: a line ends at a carriage return or
// a line feed, and a line feed directly after that end byte belongs to it. The
// last line needs no end byte.
template <typename TVisit>
void ForEachLine(std::string_view Text, TVisit Visit) {
  std::size_t Start = 0;
  while (Start < Text.size()) {
    std::size_t End = Text.find_first_of("\r\n", Start);
    if (End == std::string_view::npos) End = Text.size();
    Visit(Text.substr(Start, End - Start));
    Start = End + 1;
    if (Start < Text.size() && Text[Start] == LineFeed) ++Start;
  }
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

  const std::array<TBaseFile, 4> Files{{
      {HeaderStream_, Names.Name[jfHeader], stJamCantCreateJhr, smRecordLock},
      {IndexStream_, Names.Name[jfIndex], stJamCantCreateJdx},
      {DataStream_, Names.Name[jfText], stJamCantCreateJdt},
      {LastReadStream_, Names.Name[jfLastRead], stJamCantCreateJlr},
  }};
  if (const std::int32_t Status = OpenBaseFiles(BaseFileCreateMode, Files); Status != stOk) {
    DisposeStreams();
    SetStatus(Status);
    return false;
  }

  HeaderInfo_ = TJamHeaderInfo{};
  Records_ = 0;
  HeaderInfo_.Signature = JamSignature;
  HeaderInfo_.DateCreated = static_cast<std::uint32_t>(UnixNow());
  HeaderInfo_.PasswordCrc = JamNoCrc;
  HeaderInfo_.BaseMsgNum = 1;
  StoredHeaderInfo_ = EncodeJamHeaderInfo(HeaderInfo_);
  // The base exists once its header is written; the files and their names
  // reach the disk with it.
  if (!WriteAt(*HeaderStream_, 0, StoredHeaderInfo_) || !SyncAll() ||
      !SyncDirectory(ExtractPathName(Base + "JHR"))) {
    DisposeStreams();
    SetStatus(stJamCantCreateJhr);
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
  if (static_cast<std::int64_t>(Info.BaseMsgNum) + Records + 1 > MaxNumber) {
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
    HeaderInfo_.ActiveMsgs = std::min(HeaderInfo_.ActiveMsgs, Records_);
  } else {
    // Records of removed messages go at once, and ActiveMsgs is counted from
    // the index whatever the base header says; the index is rewritten only
    // when something is dropped.
    if (!RepackIndex()) return Fail(stJamStreamProblems);
    // More messages than the header counts: a writer died before its Close.
    // Its messages were modifications all the same.
    if (HeaderInfo_.ActiveMsgs > Stored) {
      HeaderInfo_.ModCounter += HeaderInfo_.ActiveMsgs - Stored;
    }
    if (!TrimUnreferencedTails()) return Fail(stJamStreamProblems);
  }
  SetStatus(stOk);
  SetOpened(true);
  return true;
}

bool TJamMessageBase::TrimUnreferencedTails() {
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  const std::int64_t DataSize = DataStream_->GetSize();
  const std::int64_t Records = Records_;
  constexpr auto FixedSize = static_cast<std::int64_t>(TJamMessageHeaderFirst::Size);
  // Where the message of index record N ends in the header and text files;
  // false when the record or its header cannot be read whole.
  const auto Ends = [&](std::int64_t N, std::int64_t& HeaderEnd, std::int64_t& TextEnd) {
    std::array<std::uint8_t, TJamIndex::Size> RawIndex{};
    IndexStream_->Seek(static_cast<std::int32_t>(N * static_cast<std::int64_t>(TJamIndex::Size)));
    IndexStream_->ReadBuffer(RawIndex);
    TJamIndex Index;
    if (IndexStream_->GetStatus() != stOk || !DecodeJamIndex(RawIndex, Index) ||
        Index.HdrOffset < TJamHeaderInfo::Size ||
        static_cast<std::int64_t>(Index.HdrOffset) + FixedSize > HeaderSize) {
      return false;
    }
    std::array<std::uint8_t, TJamMessageHeaderFirst::Size> RawHeader{};
    HeaderStream_->Seek(static_cast<std::int32_t>(Index.HdrOffset));
    HeaderStream_->ReadBuffer(RawHeader);
    TJamMessageHeaderFirst Header;
    if (HeaderStream_->GetStatus() != stOk || !DecodeJamMessageHeader(RawHeader, Header) ||
        Header.Signature != JamSignature) {
      return false;
    }
    HeaderEnd = static_cast<std::int64_t>(Index.HdrOffset) + FixedSize + Header.SubfieldLen;
    TextEnd = static_cast<std::int64_t>(Header.Offset) + Header.TxtLen;
    return HeaderEnd <= HeaderSize && TextEnd <= DataSize;
  };
  // Usually the last message ends both files and nothing is to be done.
  std::int64_t HeaderEnd = TJamHeaderInfo::Size;
  std::int64_t TextEnd = 0;
  if (Records > 0 && !Ends(Records - 1, HeaderEnd, TextEnd)) return ResetAll(), true;
  if (HeaderEnd == HeaderSize && TextEnd == DataSize) return true;
  // Bytes past the end of every message the index refers to were appended
  // by a writer that died before its index record: nothing refers to them,
  // and they go. A base whose records cannot all be read is left alone.
  for (std::int64_t N = 0; N + 1 < Records; ++N) {
    std::int64_t H = 0;
    std::int64_t T = 0;
    if (!Ends(N, H, T)) return ResetAll(), true;
    HeaderEnd = std::max(HeaderEnd, H);
    TextEnd = std::max(TextEnd, T);
  }
  for (const auto& [Stream, End] :
       {std::pair{HeaderStream_.get(), HeaderEnd}, std::pair{DataStream_.get(), TextEnd}}) {
    if (Stream->GetSize() > End) {
      Stream->Seek(static_cast<std::int32_t>(End));
      Stream->Truncate();
    }
  }
  return SyncAll();
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
  const auto Header = EncodeJamHeaderInfo(HeaderInfo_);
  // The header and every record written since the last sync reach the disk
  // before the base counts as closed.
  if (!IsReadOnly() &&
      ((Header != StoredHeaderInfo_ && !WriteAt(*HeaderStream_, 0, Header)) || !SyncAll())) {
    SetStatus(stJamStreamProblems);
  }
  DisposeStreams();
  SetOpened(false);
}

// --- Numbers ---

bool TJamMessageBase::ReadIndexRecord(std::int32_t Message, TJamIndex& Index) {
  if (!IndexStream_) return false;
  const std::int64_t Record = static_cast<std::int64_t>(Message) - HeaderInfo_.BaseMsgNum;
  if (Record < 0 || Record >= static_cast<std::int64_t>(Records_)) return false;
  const std::int64_t Slot =
      KeptRecords_.empty() ? Record : KeptRecords_[static_cast<std::size_t>(Record)];
  const std::int64_t Position = Slot * static_cast<std::int64_t>(TJamIndex::Size);
  IndexStream_->Reset();
  // A record cut off by the end of the file is a short read: no record, and
  // the stream is left without the failure.
  std::array<std::uint8_t, TJamIndex::Size> Raw{};
  IndexStream_->Seek(static_cast<std::int32_t>(Position));
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) {
    IndexStream_->Reset();
    return false;
  }
  return DecodeJamIndex(Raw, Index);
}

bool TJamMessageBase::MapKeptRecords() {
  KeptRecords_.clear();
  const std::int32_t Size = IndexStream_->GetSize();
  if (Size < 0) return false;
  std::vector<std::uint8_t> Raw(static_cast<std::size_t>(Size) -
                                static_cast<std::size_t>(Size) % TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) return false;
  std::vector<std::uint32_t> Kept;
  for (std::size_t At = 0; At < Raw.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    if (DecodeJamIndex(std::span(Raw).subspan(At), Index) && Index.HdrOffset != JamRemovedOffset) {
      Kept.push_back(static_cast<std::uint32_t>(At / TJamIndex::Size));
    }
  }
  Records_ = static_cast<std::uint32_t>(Kept.size());
  // Only a base with removed records needs the map.
  if (Kept.size() != Raw.size() / TJamIndex::Size) KeptRecords_ = std::move(Kept);
  return true;
}

bool TJamMessageBase::Exists(std::int32_t Message) {
  TJamIndex Index;
  return ReadIndexRecord(Message, Index) && Index.HdrOffset != JamRemovedOffset;
}

void TJamMessageBase::SeekNext() {
  const std::int32_t First =
      static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.BaseMsgNum, MaxNumber));
  const std::int32_t Highest = GetHighest();
  for (std::int32_t Message = Current(); Message < Highest;) {
    Message = std::max(Message + 1, First);
    if (Message < Highest && ReadIndexRecord(Message, FoundIndex_) &&
        FoundIndex_.HdrOffset != JamRemovedOffset) {
      SetCurrent(Message);
      // A reader's walk goes on to read the message: the record just read
      // serves it, as nothing in this process can change the index meanwhile.
      FoundIndexFor_ = IsReadOnly() ? Message : 0;
      return;
    }
  }
  SetCurrent(0);
}

void TJamMessageBase::SeekPrev() {
  const std::int32_t First =
      static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.BaseMsgNum, MaxNumber));
  for (std::int32_t Message = std::min(Current(), GetHighest()); Message > 1;) {
    --Message;
    if (Message < First) break;
    if (Exists(Message)) {
      SetCurrent(Message);
      return;
    }
  }
  SetCurrent(0);
}

std::int32_t TJamMessageBase::GetLocation() {
  return Current();
}

void TJamMessageBase::SetLocation(std::int32_t Location) {
  SetCurrent(Location);
}

std::int32_t TJamMessageBase::GetHighest() {
  // Open and CreateNewMessage keep the sum inside 32 signed bits.
  return static_cast<std::int32_t>(std::min<std::int64_t>(
      static_cast<std::int64_t>(HeaderInfo_.BaseMsgNum) + Records_, MaxNumber));
}

std::int32_t TJamMessageBase::GetCount() {
  return static_cast<std::int32_t>(std::min<std::int64_t>(HeaderInfo_.ActiveMsgs, MaxNumber));
}

// --- Subfields ---

bool TJamMessageBase::AppendSubfield(TSubfieldArea& Area, std::uint32_t& Length, std::uint16_t Id,
                                     std::string_view S) {
  if (Length > Area.size() || Area.size() - Length < TJamSubfield::Size + S.size()) return false;
  TJamSubfield Field;
  Field.LoId = Id;
  Field.DatLen = static_cast<std::uint32_t>(S.size());
  const auto Raw = EncodeJamSubfield(Field);
  auto Out = std::copy(Raw.begin(), Raw.end(), Area.begin() + Length);
  std::copy(S.begin(), S.end(), Out);
  Length += static_cast<std::uint32_t>(TJamSubfield::Size + S.size());
  return true;
}

bool TJamMessageBase::AddSubfield(std::int32_t Id, const std::string& S) {
  if (!AppendSubfield(Subfields_, MessageHeader_.SubfieldLen, static_cast<std::uint16_t>(Id), S)) {
    return false;
  }
  SubfieldsLoaded_ = std::max(SubfieldsLoaded_, MessageHeader_.SubfieldLen);
  SubfieldsTouched_ = std::max<std::size_t>(SubfieldsTouched_, MessageHeader_.SubfieldLen);
  return true;
}

void TJamMessageBase::ClearSubfieldsFrom(std::size_t Start) {
  // Bytes past what is held read as zero; only those written before need it.
  if (SubfieldsTouched_ > Start) {
    std::fill(Subfields_.begin() + static_cast<std::ptrdiff_t>(Start),
              Subfields_.begin() + static_cast<std::ptrdiff_t>(SubfieldsTouched_), std::uint8_t{0});
  }
  SubfieldsTouched_ = Start;
}

template <typename TVisit>
void TJamMessageBase::WalkSubfields(TVisit Visit) const {
  // Only whole subfields inside both the stored length and the bytes at hand
  // count; the first one that runs past them ends the walk.
  const std::size_t Limit =
      std::min<std::size_t>({MessageHeader_.SubfieldLen, SubfieldsLoaded_, Subfields_.size()});
  std::size_t Position = 0;
  while (Limit - Position >= TJamSubfield::Size) {
    TJamSubfield Field;
    if (!DecodeJamSubfield(std::span(Subfields_).subspan(Position, Limit - Position), Field)) {
      return;
    }
    Position += TJamSubfield::Size;
    if (Field.DatLen > Limit - Position) return;
    const std::string_view Data(reinterpret_cast<const char*>(Subfields_.data() + Position),
                                std::min<std::size_t>(Field.DatLen, MaxSubfieldText));
    Position += Field.DatLen;
    if (!Visit(Field.LoId, Data)) return;
  }
}

bool TJamMessageBase::GetSubfield(std::int32_t N, std::int32_t& Id, std::string& S) const {
  std::int32_t Count = 0;
  bool Found = false;
  WalkSubfields([&](std::uint16_t FieldId, std::string_view Data) {
    if (++Count != N) return true;
    Id = FieldId;
    S.assign(Data);
    Found = true;
    return false;
  });
  return Found;
}

// --- Reading a message ---

bool TJamMessageBase::LoadMessage(bool WithText) {
  (void)CloseMessage();  // false only means that no message was open
  ResetAll();
  const bool Found = FoundIndexFor_ != 0 && FoundIndexFor_ == Current();
  FoundIndexFor_ = 0;
  if (Found) CurrentIndex_ = FoundIndex_;
  if (!StreamsOpen() || (!Found && !ReadIndexRecord(Current(), CurrentIndex_))) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  IndexPosition_ =
      static_cast<std::int32_t>((static_cast<std::int64_t>(Current()) - HeaderInfo_.BaseMsgNum) *
                                static_cast<std::int64_t>(TJamIndex::Size));

  // The header must lie whole inside the header file, after the base header.
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  const std::int64_t HeaderAt = CurrentIndex_.HdrOffset;
  if (CurrentIndex_.HdrOffset == JamRemovedOffset ||
      HeaderAt < static_cast<std::int64_t>(TJamHeaderInfo::Size) ||
      HeaderAt + static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) > HeaderSize) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  // The fixed part with the first subfields in one read, and the rest of the
  // subfields, as far as their stored length, the file and the area go, only
  // when they are longer.
  const std::int64_t Available = std::min<std::int64_t>(
      HeaderSize - HeaderAt,
      static_cast<std::int64_t>(TJamMessageHeaderFirst::Size + JamSubfieldsSize));
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size + FirstSubfieldsRead> First{};
  const auto FirstSize = static_cast<std::size_t>(
      std::min<std::int64_t>(Available, static_cast<std::int64_t>(First.size())));
  HeaderStream_->Seek(static_cast<std::int32_t>(HeaderAt));
  HeaderStream_->ReadBuffer(std::span(First).first(FirstSize));
  TJamMessageHeaderFirst Header;
  if (HeaderStream_->GetStatus() != stOk ||
      !DecodeJamMessageHeader(std::span(First).first(FirstSize), Header)) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::size_t SubfieldBytes =
      static_cast<std::size_t>(std::min<std::int64_t>(
          Available,
          static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen)) -
      TJamMessageHeaderFirst::Size;
  if (Header.Signature != JamSignature) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  // Some maintenance software damages the subfield length and the text offset
  // of the headers it marks deleted: such a message is still reported, as
  // deleted, without what no longer fits. Any other message that does not fit
  // is refused.
  const bool Deleted = (Header.Attribute & jaDeleted) != 0;
  // Subfields cut off by the end of the file: the header cannot be read whole.
  const bool SubfieldsFit =
      HeaderAt + static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen <=
      HeaderSize;
  if (!SubfieldsFit && !Deleted) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::int64_t DataSize = DataStream_->GetSize();
  const bool TextFits = static_cast<std::int64_t>(Header.Offset) + Header.TxtLen <= DataSize;
  if (!TextFits && !Deleted) {
    SetStatus(stJamWrongDataLocation);
    return false;
  }

  // Only the subfields a walk can reach are read; of a header whose subfields
  // do not fit, what the file holds is kept, unused, as it always was.
  const std::size_t Loaded = SubfieldsFit ? SubfieldBytes : 0;
  const std::size_t Held = SubfieldsFit
                               ? SubfieldBytes
                               : static_cast<std::size_t>(Available) - TJamMessageHeaderFirst::Size;
  const std::size_t InFirst = std::min(Held, FirstSize - TJamMessageHeaderFirst::Size);
  // Longer subfields: the rest, which the first read did not reach.
  std::vector<std::uint8_t> Rest(Held - InFirst);
  if (!Rest.empty()) {
    HeaderStream_->ReadBuffer(Rest);
    if (HeaderStream_->GetStatus() != stOk) {
      SetStatus(stJamStreamProblems);
      return false;
    }
  }
  const auto After =
      std::copy_n(First.begin() + TJamMessageHeaderFirst::Size, InFirst, Subfields_.begin());
  std::copy(Rest.begin(), Rest.end(), After);
  HeaderPosition_ = static_cast<std::int32_t>(HeaderAt);
  MessageHeader_ = Header;
  ClearSubfieldsFrom(Held);
  SubfieldsLoaded_ = static_cast<std::uint32_t>(Loaded);
  TextOffset_ = TextFits ? static_cast<std::int32_t>(Header.Offset) : 0;
  TextLength_ = TextFits ? static_cast<std::int32_t>(Header.TxtLen) : 0;

  ClearAddress(FromAddress_);
  ClearAddress(ToAddress_);
  From_.clear();
  To_.clear();
  Subject_.clear();
  const bool FileAttached = GetAttribute(maFileAttached);
  const bool FileRequest = GetAttribute(maFileRequest);
  WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
    const std::string S(Data);
    switch (Id) {
      case jsfOAddress:
        (void)StrToAddress(S, FromAddress_);  // what parses is kept, as in a control line
        break;
      case jsfDAddress:
        (void)StrToAddress(S, ToAddress_);
        break;
      case jsfSenderName:
        From_ = S;
        break;
      case jsfReceiverName:
        To_ = S;
        break;
      case jsfSubject:
        Subject_ = S;
        break;
      case jsfEnclosedFile:
        if (FileAttached) Subject_ = S;
        break;
      case jsfEnclosedFreq:
        if (FileRequest) Subject_ = S;
        break;
      default:
        break;
    }
    return true;
  });

  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  auto PutLines = [this](std::uint16_t Wanted, std::string_view Prefix) {
    WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
      if (Id == Wanted) PutString(CutText(std::string(Prefix) + std::string(Data)));
      return true;
    });
  };
  // Lines before the text keep the subfields' order among themselves.
  WalkSubfields([&](std::uint16_t Id, std::string_view Data) {
    for (const TRestoredLine& Line : LinesBeforeText) {
      if (Line.Id == Id) PutString(CutText(std::string(Line.Prefix) + std::string(Data)));
    }
    return true;
  });
  if (WithText) {
    DataStream_->Seek(TextOffset_);
    GetMessageTextStream()->CopyFrom(*DataStream_, TextLength_);
    if (DataStream_->GetStatus() != stOk) {
      SetMessageTextStream(nullptr);
      SetStatus(stJamStreamProblems);
      return false;
    }
    for (const TRestoredLine& Line : LinesAfterText) PutLines(Line.Id, Line.Prefix);
  }
  // Only what the subfields hold comes back: a message stored without a
  // MSGID is read without one (and no serial is drawn for it).
  PutAddressLines(FromAddress_, ToAddress_);
  SetTextPos(0);
  return true;
}

bool TJamMessageBase::OpenMessage() {
  return LoadMessage(true);
}

bool TJamMessageBase::OpenMessageHeader() {
  return LoadMessage(false);
}

void TJamMessageBase::DropPendingMessage() {
  if (!NewPending_) return;
  NewPending_ = false;
  if (Records_ > 0) --Records_;
  if (HeaderInfo_.ActiveMsgs > 0) --HeaderInfo_.ActiveMsgs;
}

bool TJamMessageBase::CloseMessage() {
  DropPendingMessage();
  if (GetMessageTextStream() == nullptr) return false;
  SetMessageTextStream(nullptr);
  return true;
}

// --- Writing a message ---

bool TJamMessageBase::CreateNewMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!StreamsOpen()) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  DropPendingMessage();
  ResetAll();
  // The new number, the one after it (the current number) and the index
  // position must all fit 32 signed bits.
  const std::int64_t Count = static_cast<std::int64_t>(Records_) + 1;
  if (static_cast<std::int64_t>(HeaderInfo_.BaseMsgNum) + Count > MaxNumber ||
      Count * static_cast<std::int64_t>(TJamIndex::Size) > MaxNumber) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  Records_ = static_cast<std::uint32_t>(Count);
  ++HeaderInfo_.ActiveMsgs;
  SetCurrent(static_cast<std::int32_t>(HeaderInfo_.BaseMsgNum + Records_));

  MessageHeader_ = TJamMessageHeaderFirst{};
  ClearSubfieldsFrom(0);
  SubfieldsLoaded_ = 0;
  ClearAddress(FromAddress_);
  ClearAddress(ToAddress_);
  From_.clear();
  To_.clear();
  Subject_.clear();
  CurrentIndex_ = TJamIndex{JamNoCrc, 0};
  MessageHeader_.Signature = JamSignature;
  MessageHeader_.Revision = JamRevision;
  MessageHeader_.MsgIdCrc = JamNoCrc;
  MessageHeader_.ReplyCrc = JamNoCrc;
  MessageHeader_.PasswordCrc = JamNoCrc;
  MessageHeader_.MessageNumber = HeaderInfo_.BaseMsgNum + Records_ - 1;
  // Positional, so a message is always found where its number says.
  IndexPosition_ =
      static_cast<std::int32_t>((Count - 1) * static_cast<std::int64_t>(TJamIndex::Size));
  HeaderPosition_ = 0;
  TextOffset_ = 0;
  TextLength_ = 0;
  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  ResetDateTime();
  NewPending_ = true;
  return true;
}

bool TJamMessageBase::BuildMessage(TJamMessageHeaderFirst& Header, TSubfieldArea& Area,
                                   std::string& Text) {
  Header.SubfieldLen = 0;
  Header.MsgIdCrc = JamNoCrc;
  Header.ReplyCrc = JamNoCrc;
  bool Fits = true;
  auto Add = [&](std::uint16_t Id, std::string_view S) {
    Fits = Fits && AppendSubfield(Area, Header.SubfieldLen, Id, S);
  };

  GetFromAndToAddress(FromAddress_, ToAddress_);
  const TAddress& Destination = IsCleanAddress(ToAddress_) ? FromAddress_ : ToAddress_;
  Add(jsfSenderName, From_);
  Add(jsfOAddress, AddressToStr(FromAddress_));
  Add(jsfReceiverName, To_);
  Add(jsfDAddress, AddressToStr(Destination));
  if (!Subject_.empty()) Add(jsfSubject, Subject_);
  if ((Header.Attribute & jaFileAttach) != 0) Add(jsfEnclosedFile, Subject_);
  if ((Header.Attribute & jaFileRequest) != 0) Add(jsfEnclosedFreq, Subject_);

  // The whole text at once: ordinary lines are kept whole, however long.
  TMessageBaseStream& Source = *GetMessageTextStream();
  std::string Raw(static_cast<std::size_t>(std::max(Source.GetSize(), 0)), '\0');
  Source.Seek(0);
  Source.ReadBuffer(std::span(reinterpret_cast<std::uint8_t*>(Raw.data()), Raw.size()));
  Text.clear();
  ForEachLine(Raw, [&](std::string_view Line) {
    const std::string_view S = Line.substr(0, MaxTextLength);
    for (const TLineRule& Rule : LineRules) {
      if (!StartsWith(S, Rule.Prefix)) continue;
      if (Rule.Kind == TLineKind::Subfield) {
        const std::string_view Rest = S.substr(Rule.Prefix.size());
        Add(Rule.Id, Rest);
        if (Rule.Id == jsfMsgId) Header.MsgIdCrc = StrCRC32(std::string(Rest));
        if (Rule.Id == jsfReplyId) Header.ReplyCrc = StrCRC32(std::string(Rest));
      }
      return;
    }
    if (!S.empty() && S[0] == KludgeChar) {
      Add(jsfFtsKludge, S.substr(1));
      return;
    }
    Text.append(Line);
    Text.push_back(CarriageReturn);
  });

  // Exactly the type bit of the base type ends up set.
  auto SetBit = [&Header](std::uint32_t Bit, bool Enable) {
    Header.Attribute = Enable ? (Header.Attribute | Bit) : (Header.Attribute & ~Bit);
  };
  SetBit(jaTypeEcho, GetFlag(bfEchomail));
  SetBit(jaTypeNet, GetFlag(bfNetmail));
  SetBit(jaTypeLocal, GetFlag(bfLocal));
  return Fits;
}

bool TJamMessageBase::WriteAt(TMessageBaseStream& Stream, std::int32_t Position,
                              std::span<const std::uint8_t> Bytes) {
  Stream.Seek(Position);
  Stream.WriteBuffer(Bytes);
  return Stream.GetStatus() == stOk;
}

bool TJamMessageBase::SyncAll() {
  bool Ok = true;
  for (auto* Stream :
       {DataStream_.get(), HeaderStream_.get(), IndexStream_.get(), LastReadStream_.get()}) {
    if (Stream == nullptr) continue;
    Stream->Flush();
    // The lastread file is shared with readers and only tidied here.
    if (Stream != LastReadStream_.get()) Ok = Ok && Stream->GetStatus() == stOk;
  }
  return Ok;
}

bool TJamMessageBase::WriteMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!StreamsOpen() || GetMessageTextStream() == nullptr) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  ResetAll();
  // Built aside, so that a refused or failed write leaves the message in
  // memory as it was.
  TJamMessageHeaderFirst Header = MessageHeader_;
  auto Area = std::make_unique<TSubfieldArea>();
  std::string Text;
  if (!BuildMessage(Header, *Area, Text)) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  const std::int64_t HeaderAt = HeaderStream_->GetSize();
  const std::int64_t TextAt = DataStream_->GetSize();
  const std::int64_t HeaderBytes = TJamMessageHeaderFirst::Size + Header.SubfieldLen;
  if (HeaderAt < static_cast<std::int64_t>(TJamHeaderInfo::Size) || TextAt < 0 ||
      HeaderAt + HeaderBytes > MaxNumber ||
      TextAt + static_cast<std::int64_t>(Text.size()) > MaxNumber) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  Header.Offset = static_cast<std::uint32_t>(TextAt);
  Header.TxtLen = static_cast<std::uint32_t>(Text.size());
  const TJamIndex Index{StrCRC32(To_), static_cast<std::uint32_t>(HeaderAt)};

  std::vector<std::uint8_t> HeaderRaw(static_cast<std::size_t>(HeaderBytes));
  const auto Fixed = EncodeJamMessageHeader(Header);
  std::copy(Area->begin(), Area->begin() + Header.SubfieldLen,
            std::copy(Fixed.begin(), Fixed.end(), HeaderRaw.begin()));

  const bool WasDeleted = !NewPending_ && IsDeletedAt(static_cast<std::uint32_t>(HeaderPosition_));

  // The index record goes last: until it is written the message does not
  // exist, so a failure on the way leaves only bytes that nothing refers to,
  // and those are cut off again (or, after a crash, at the next Open). Text
  // and header reach the disk before the record that points to them.
  const bool Written =
      WriteAt(*DataStream_, static_cast<std::int32_t>(TextAt),
              std::span(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size())) &&
      WriteAt(*HeaderStream_, static_cast<std::int32_t>(HeaderAt), HeaderRaw) &&
      (DataStream_->Flush(), HeaderStream_->Flush(),
       DataStream_->GetStatus() == stOk && HeaderStream_->GetStatus() == stOk) &&
      WriteAt(*IndexStream_, IndexPosition_, EncodeJamIndex(Index));
  if (!Written) {
    ResetAll();
    DataStream_->Seek(static_cast<std::int32_t>(TextAt));
    DataStream_->Truncate();
    HeaderStream_->Seek(static_cast<std::int32_t>(HeaderAt));
    HeaderStream_->Truncate();
    if (NewPending_) {
      IndexStream_->Seek(IndexPosition_);
      IndexStream_->Truncate();
    }
    ResetAll();
    SetStatus(stJamStreamProblems);
    return false;
  }

  MessageHeader_ = Header;
  Subfields_ = *Area;
  SubfieldsTouched_ = Subfields_.size();
  SubfieldsLoaded_ = Header.SubfieldLen;
  CurrentIndex_ = Index;
  HeaderPosition_ = static_cast<std::int32_t>(HeaderAt);
  TextOffset_ = static_cast<std::int32_t>(TextAt);
  TextLength_ = static_cast<std::int32_t>(Text.size());
  ++HeaderInfo_.ModCounter;
  NewPending_ = false;
  CountDeletedChange(WasDeleted);
  return true;
}

bool TJamMessageBase::WriteMessageHeader() {
  if (RefuseChange(stJamReadOnly)) return false;
  // Position 0 holds the base header: the message has not been stored.
  if (!StreamsOpen() || HeaderPosition_ < static_cast<std::int32_t>(TJamHeaderInfo::Size)) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  ResetAll();
  const bool WasDeleted = IsDeletedAt(static_cast<std::uint32_t>(HeaderPosition_));
  if (!WriteAt(*HeaderStream_, HeaderPosition_, EncodeJamMessageHeader(MessageHeader_))) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  CountDeletedChange(WasDeleted);
  return true;
}

// --- Removal ---

void TJamMessageBase::CountDeletedChange(bool WasDeleted) {
  const bool Deleted = (MessageHeader_.Attribute & jaDeleted) != 0;
  if (Deleted && !WasDeleted && HeaderInfo_.ActiveMsgs > 0) --HeaderInfo_.ActiveMsgs;
  if (!Deleted && WasDeleted) ++HeaderInfo_.ActiveMsgs;
}

bool TJamMessageBase::IsDeletedAt(std::uint32_t HeaderOffset) {
  const std::int64_t Size = HeaderStream_->GetSize();
  if (HeaderOffset < TJamHeaderInfo::Size ||
      static_cast<std::int64_t>(HeaderOffset) +
              static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) >
          Size) {
    return false;
  }
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size> Raw{};
  HeaderStream_->Seek(static_cast<std::int32_t>(HeaderOffset));
  HeaderStream_->ReadBuffer(Raw);
  TJamMessageHeaderFirst Header;
  const bool Deleted = HeaderStream_->GetStatus() == stOk && DecodeJamMessageHeader(Raw, Header) &&
                       Header.Signature == JamSignature && (Header.Attribute & jaDeleted) != 0;
  HeaderStream_->Reset();
  return Deleted;
}

bool TJamMessageBase::RepackIndex() {
  if (RefuseChange(stJamReadOnly)) return false;
  if (!IndexStream_) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  IndexStream_->Reset();
  const std::int32_t Size = IndexStream_->GetSize();
  if (Size < 0) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  // A partial record at the end belongs to no message and goes too.
  std::vector<std::uint8_t> Records(static_cast<std::size_t>(Size) -
                                    static_cast<std::size_t>(Size) % TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Records);
  if (IndexStream_->GetStatus() != stOk) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  std::size_t Kept = 0;
  // A second record of one header is no second message. Compacting moves
  // records towards the start, so a compaction that was stopped part way
  // leaves exactly such copies of the records it had moved: dropping them
  // finishes it.
  std::unordered_set<std::uint32_t> Headers;
  for (std::size_t At = 0; At < Records.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    if (!DecodeJamIndex(std::span(Records).subspan(At), Index) ||
        Index.HdrOffset == JamRemovedOffset || !Headers.insert(Index.HdrOffset).second) {
      continue;
    }
    std::copy_n(Records.begin() + static_cast<std::ptrdiff_t>(At), TJamIndex::Size,
                Records.begin() + static_cast<std::ptrdiff_t>(Kept));
    Kept += TJamIndex::Size;
  }
  if (Kept != static_cast<std::size_t>(Size)) {
    IndexStream_->Seek(0);
    IndexStream_->WriteBuffer(std::span(Records).first(Kept));
    IndexStream_->Truncate();
    if (IndexStream_->GetStatus() != stOk) {
      SetStatus(stJamStreamProblems);
      return false;
    }
  }
  Records_ = static_cast<std::uint32_t>(Kept / TJamIndex::Size);
  // ActiveMsgs leaves out the messages marked deleted. When it disagrees with
  // the records, the headers are looked at to count it anew; a header that
  // cannot be read counts as a message.
  if (HeaderInfo_.ActiveMsgs != Records_) {
    std::uint32_t Live = 0;
    for (std::size_t At = 0; At < Kept; At += TJamIndex::Size) {
      TJamIndex Index;
      if (DecodeJamIndex(std::span(Records).subspan(At), Index) && !IsDeletedAt(Index.HdrOffset)) {
        ++Live;
      }
    }
    HeaderInfo_.ActiveMsgs = Live;
  }
  if (NewPending_) {
    // The message being built keeps its place right after the last record.
    ++Records_;
    ++HeaderInfo_.ActiveMsgs;
    IndexPosition_ = static_cast<std::int32_t>(Kept);
    MessageHeader_.MessageNumber = HeaderInfo_.BaseMsgNum + Records_ - 1;
  }
  return true;
}

bool TJamMessageBase::KillMessage() {
  if (RefuseChange(stJamReadOnly)) return false;
  const std::int32_t Removed = Current();
  if (!StreamsOpen() || NewPending_ || !Exists(Removed)) {
    SetStatus(stJamWrongHeaderLocation);
    return false;
  }
  ResetAll();
  IndexPosition_ =
      static_cast<std::int32_t>((static_cast<std::int64_t>(Removed) - HeaderInfo_.BaseMsgNum) *
                                static_cast<std::int64_t>(TJamIndex::Size));
  CurrentIndex_ = TJamIndex{JamRemovedOffset, JamRemovedOffset};
  if (!WriteAt(*IndexStream_, IndexPosition_, EncodeJamIndex(CurrentIndex_))) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  --HeaderInfo_.ActiveMsgs;
  if (!RepackIndex()) return false;
  SetCurrent(Removed - 1);
  if (!AdjustLastRead(static_cast<std::uint32_t>(Removed))) {
    SetStatus(stJamStreamProblems);
    return false;
  }
  return true;
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
  if (!WriteAt(*LastReadStream_, static_cast<std::int32_t>(At), EncodeJamLastRead(Record))) {
    SetStatus(stJamStreamProblems);
  }
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
