#include "msgbase/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "msgbase/date_time.h"
#include "msgbase/status.h"
#include "msgbase/text_limit.h"

namespace msgbase {

namespace {

// Large enough that a whole message text of the usual size goes to a file in
// one write, small enough for the stack.
constexpr std::int32_t CopyPieceSize = 16384;

// The largest count one Read or Write call moves.
constexpr std::size_t MaxTransfer = std::numeric_limits<std::uint16_t>::max();

std::int32_t ClampToInt32(off_t Value) {
  return Value > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                          : static_cast<std::int32_t>(Value);
}

// DOS-style wildcards: '*' any run of characters (a leading dot included),
// '?' exactly one character.
bool WildcardMatch(const std::string& Pattern, const std::string& Name) {
  std::size_t P = 0;
  std::size_t N = 0;
  std::size_t StarP = std::string::npos;
  std::size_t StarN = 0;
  while (N < Name.size()) {
    if (P < Pattern.size() && (Pattern[P] == '?' || Pattern[P] == Name[N])) {
      ++P;
      ++N;
    } else if (P < Pattern.size() && Pattern[P] == '*') {
      StarP = P++;
      StarN = N;
    } else if (StarP != std::string::npos) {
      P = StarP + 1;
      N = ++StarN;
    } else {
      return false;
    }
  }
  while (P < Pattern.size() && Pattern[P] == '*') ++P;
  return P == Pattern.size();
}

std::int32_t PackedModificationTime(time_t Seconds) {
  tm Local{};
  if (::localtime_r(&Seconds, &Local) == nullptr) return 0;
  TMessageBaseDateTime D;
  D.Year = static_cast<std::uint16_t>(Local.tm_year + 1900);
  D.Month = static_cast<std::uint16_t>(Local.tm_mon + 1);
  D.Day = static_cast<std::uint16_t>(Local.tm_mday);
  D.Hour = static_cast<std::uint16_t>(Local.tm_hour);
  D.Minute = static_cast<std::uint16_t>(Local.tm_min);
  D.Second = static_cast<std::uint16_t>(Local.tm_sec);
  return static_cast<std::int32_t>(MessageBaseDateTimeToDosDateTime(D));
}

// Takes the record lock on byte 0 without waiting: a read lock for a reader,
// a write lock otherwise.
bool LockFirstByte(int Fd, bool ForReading) {
  struct flock Lock {};
  Lock.l_type = static_cast<short>(ForReading ? F_RDLCK : F_WRLCK);
  Lock.l_whence = SEEK_SET;
  Lock.l_start = 0;
  Lock.l_len = 1;
  int Result = -1;
  do {
    Result = ::fcntl(Fd, F_OFD_SETLK, &Lock);
  } while (Result < 0 && errno == EINTR);
  return Result == 0;
}

TFileIdentity IdentityOf(const struct stat& Info) {
  TFileIdentity Identity;
  Identity.Device = static_cast<std::uint64_t>(Info.st_dev);
  Identity.Inode = static_cast<std::uint64_t>(Info.st_ino);
  Identity.Size = static_cast<std::int64_t>(Info.st_size);
  Identity.ModifiedSeconds = static_cast<std::int64_t>(Info.st_mtim.tv_sec);
  Identity.ModifiedNanoseconds = static_cast<std::int64_t>(Info.st_mtim.tv_nsec);
  return Identity;
}

std::int32_t FileOpenFailure = stOk;

// A file just made takes the group of its folder, and under root the owner
// too. Best effort: a user who may not give the file away keeps it.
void TakeFolderOwnership(int Fd, const std::string& FileName) {
  const std::size_t Slash = FileName.rfind('/');
  const std::string Folder =
      Slash == std::string::npos ? "." : (Slash == 0 ? "/" : FileName.substr(0, Slash));
  struct stat Info {};
  if (::stat(Folder.c_str(), &Info) != 0) return;
  const uid_t Owner = ::geteuid() == 0 ? Info.st_uid : static_cast<uid_t>(-1);
  if (::fchown(Fd, Owner, Info.st_gid) != 0) return;  // see above: kept as made
}

// The reason of a failed open(2), as GetFileOpenFailure tells it.
std::int32_t OpenFailureOf(int Error) {
  switch (Error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return stStreamAccessDenied;
    case EEXIST:
      return stStreamExists;
    case ENXIO:  // a FIFO without a reader, opened for writing
    case EISDIR:
    case ELOOP:  // a link where none may be followed
      return stStreamNotRegular;
    default:
      return stStreamOpenFailed;
  }
}

}  // namespace

bool GetFileIdentity(const std::string& Name, TFileIdentity& Identity) {
  struct stat Info {};
  if (::stat(Name.c_str(), &Info) != 0) return false;
  Identity = IdentityOf(Info);
  return true;
}

bool GetFilePermissions(const std::string& Name, std::uint32_t& Mode) {
  struct stat Info {};
  if (::stat(Name.c_str(), &Info) != 0) return false;
  Mode = static_cast<std::uint32_t>(Info.st_mode & 07777);
  return true;
}

std::int32_t GetFileOpenFailure() {
  return FileOpenFailure;
}

void ResetFileOpenFailure() {
  FileOpenFailure = stOk;
}

void Abstract() {
  // Whatever the program has written so far goes out before the report line.
  (void)std::fflush(stdout);
  (void)std::fputs("Runtime error 217\n", stdout);
  (void)std::fflush(stdout);
  std::_Exit(217);
}

void DefaultRegisterFileOpen(const std::string& /*FileName*/, std::int32_t /*Mode*/,
                             TMessageBaseStream& /*Stream*/) {}

void DefaultRegisterFileClose(TMessageBaseStream& /*Stream*/) {}

// --- TMessageBaseStream ---

TMessageBaseStream::TMessageBaseStream(const std::string& FileName, std::int32_t Mode)
    : Mode_(Mode), FileName_(CutText(FileName)) {
  RegisterFileOpen(FileName_, Mode_, *this);
}

TMessageBaseStream::~TMessageBaseStream() {
  RegisterFileClose(*this);
}

void TMessageBaseStream::CopyFrom(TMessageBaseStream& Source, std::int32_t Count) {
  std::uint8_t Buf[CopyPieceSize];
  while (Count > 0) {
    const auto Piece = static_cast<std::uint16_t>(std::min(Count, CopyPieceSize));
    Source.Read(Buf, Piece);
    Write(Buf, Piece);
    Count -= Piece;
  }
}

void TMessageBaseStream::Read(void* /*Buf*/, std::uint16_t /*Count*/) {
  Abstract();
}
void TMessageBaseStream::Write(const void* /*Buf*/, std::uint16_t /*Count*/) {
  Abstract();
}
void TMessageBaseStream::Seek(std::int32_t /*Pos*/) {
  Abstract();
}
std::int32_t TMessageBaseStream::GetPos() {
  Abstract();
}
std::int32_t TMessageBaseStream::GetSize() {
  Abstract();
}
void TMessageBaseStream::Flush() {
  Abstract();
}
void TMessageBaseStream::Truncate() {
  Abstract();
}
void TMessageBaseStream::Reset() {
  Abstract();
}

bool TMessageBaseStream::GetIdentity(TFileIdentity& /*Identity*/) {
  return false;
}

void TMessageBaseStream::SetPermissions(std::uint32_t /*Mode*/) {}

void TMessageBaseStream::ReadBuffer(std::span<std::uint8_t> Buf) {
  while (!Buf.empty()) {
    const std::size_t Piece = std::min(Buf.size(), MaxTransfer);
    Read(Buf.data(), static_cast<std::uint16_t>(Piece));
    Buf = Buf.subspan(Piece);
  }
}

std::int32_t TMessageBaseStream::ReadAtMost(std::span<std::uint8_t> Buf) {
  const std::int32_t Size = GetSize();
  const std::int32_t Pos = GetPos();
  if (GetStatus() != stOk || Size < 0 || Pos < 0) return -1;
  const std::size_t Count = std::min(Buf.size(), static_cast<std::size_t>(std::max(Size - Pos, 0)));
  ReadBuffer(Buf.first(Count));
  return GetStatus() == stOk ? static_cast<std::int32_t>(Count) : -1;
}

void TMessageBaseStream::WriteBuffer(std::span<const std::uint8_t> Buf) {
  while (!Buf.empty()) {
    const std::size_t Piece = std::min(Buf.size(), MaxTransfer);
    Write(Buf.data(), static_cast<std::uint16_t>(Piece));
    Buf = Buf.subspan(Piece);
  }
}

// --- TMessageBaseFileStream ---

TMessageBaseFileStream::TMessageBaseFileStream(const std::string& FileName, std::int32_t Mode)
    : TMessageBaseStream(FileName, Mode) {
  const bool DenyWrite = (Mode & smDenyWrite) != 0;
  // O_NONBLOCK: a FIFO or a device would otherwise hold the open (and every
  // reader) forever; it is refused below, before anything waits on it.
  int Flags = O_CLOEXEC | O_NONBLOCK;
  switch (Mode & 0xFF) {
    case smCreate:
      // With the deny-write request the file is emptied only once the lock is
      // held: truncating first would destroy a file another program holds.
      // A file is never made or emptied through a link, and a new one never
      // takes a name that anything stands at.
      Flags |= O_RDWR | O_CREAT | O_NOFOLLOW | (DenyWrite ? 0 : O_TRUNC) |
               ((Mode & smNew) != 0 ? O_EXCL : 0);
      break;
    case smReadWrite:
      Flags |= O_RDWR;
      break;
    case smRead:
      Flags |= O_RDONLY | ((Mode & smKnownRegular) != 0 ? O_NOFOLLOW : 0);
      break;
    case smWrite:
      Flags |= O_WRONLY;
      break;
    default:
      UpdateStatus(stStreamOpenFailed);
      return;
  }
  const auto Refuse = [this](std::int32_t Why) {
    FileOpenFailure = Why;
    UpdateStatus(stStreamOpenFailed);
  };
  int Fd = -1;
  do {
    Fd = ::open(FileName.c_str(), Flags, 0666);
  } while (Fd < 0 && errno == EINTR);
  if (Fd < 0) {
    Refuse(OpenFailureOf(errno));
    return;
  }
  if ((Mode & 0xFF) == smRead && (Mode & smKnownRegular) != 0 &&
      (Mode & ~(0xFF | smKnownRegular)) == 0) {
    // Listed as a regular file a moment ago: the reads find out the rest.
    Fd_ = Fd;
    return;
  }
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
    (void)::close(Fd);  // never used: nothing to lose
    Refuse(stStreamNotRegular);
    return;
  }
  // O_NONBLOCK stays set: reads and writes of a regular file ignore it.
  const bool Locked = (!DenyWrite || ::flock(Fd, LOCK_EX | LOCK_NB) == 0) &&
                      ((Mode & smDenyWriteShared) == 0 || ::flock(Fd, LOCK_SH | LOCK_NB) == 0) &&
                      ((Mode & smRecordLock) == 0 || LockFirstByte(Fd, (Mode & 0xFF) == smRead));
  if (!Locked || (DenyWrite && (Mode & 0xFF) == smCreate && ::ftruncate(Fd, 0) != 0)) {
    (void)::close(Fd);  // never opened as far as the caller can tell
    Refuse(Locked ? stStreamOpenFailed : stStreamLocked);
    return;
  }
  if ((Flags & O_EXCL) != 0) TakeFolderOwnership(Fd, FileName);
  Fd_ = Fd;
  SizeAtOpen_ =
      (DenyWrite && (Mode & 0xFF) == smCreate) ? 0 : static_cast<std::int64_t>(Info.st_size);
  IdentityAtOpen_ = IdentityOf(Info);
  HasIdentityAtOpen_ = !(DenyWrite && (Mode & 0xFF) == smCreate);
  // Only read, under a lock that keeps every writer out: the size cannot
  // change while the stream is open.
  SizeHeld_ = (Mode & 0xFF) == smRead && (Mode & smDenyWriteShared) != 0;
  // A file made or emptied here has changed before anything is written.
  Dirty_ = (Mode & 0xFF) == smCreate;
}

TMessageBaseFileStream::~TMessageBaseFileStream() {
  // Closing the descriptor also drops the advisory lock.
  if (Fd_ >= 0) (void)::close(Fd_);
}

void TMessageBaseFileStream::UpdateStatus(std::int32_t Code) {
  if (GetStatus() == stOk) SetStatus(Code);
}

void TMessageBaseFileStream::Read(void* Buf, std::uint16_t Count) {
  if (!SizeHeld_) SizeAtOpen_ = -1;
  auto* Bytes = static_cast<std::uint8_t*>(Buf);
  if (GetStatus() != stOk) {
    std::memset(Bytes, 0, Count);
    return;
  }
  if (SizeHeld_ && ReadAhead(Bytes, Count)) return;
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t Got = ::pread(Fd_, Bytes + Done, Count - Done,
                                static_cast<off_t>(Position_) + static_cast<off_t>(Done));
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) break;
    Done += static_cast<std::size_t>(Got);
  }
  Position_ += static_cast<std::int64_t>(Done);
  if (Done < Count) {
    // A short read is a failure, and the caller gets zero bytes, not a mix of
    // file data and whatever the buffer held.
    std::memset(Bytes, 0, Count);
    UpdateStatus(stStreamReadFailed);
  }
}

std::int32_t TMessageBaseFileStream::ReadAtMost(std::span<std::uint8_t> Buf) {
  if (!SizeHeld_) SizeAtOpen_ = -1;
  if (GetStatus() != stOk) return -1;
  Buf = Buf.first(std::min<std::size_t>(Buf.size(), std::numeric_limits<std::int32_t>::max()));
  // One read: a regular file gives fewer bytes than asked only at its end.
  ssize_t Got = 0;
  do {
    Got = ::pread(Fd_, Buf.data(), Buf.size(), static_cast<off_t>(Position_));
  } while (Got < 0 && errno == EINTR);
  if (Got < 0) {
    UpdateStatus(stStreamReadFailed);
    return -1;
  }
  Position_ += static_cast<std::int64_t>(Got);
  return static_cast<std::int32_t>(Got);
}

bool TMessageBaseFileStream::ReadAhead(std::uint8_t* Bytes, std::uint16_t Count) {
  const auto Inside = [&] {
    return Position_ >= AheadAt_ &&
           Position_ + Count <= AheadAt_ + static_cast<std::int64_t>(Ahead_.size());
  };
  if (!Inside()) {
    if (Count > SmallRead) return false;
    // A failed or short fetch only leaves less ahead: the read itself then
    // goes to the file and fails there as it always did.
    Ahead_.resize(AheadSize);
    ssize_t Got = 0;
    do {
      Got = ::pread(Fd_, Ahead_.data(), Ahead_.size(), static_cast<off_t>(Position_));
    } while (Got < 0 && errno == EINTR);
    Ahead_.resize(Got > 0 ? static_cast<std::size_t>(Got) : 0);
    AheadAt_ = Position_;
    if (!Inside()) return false;
  }
  std::memcpy(Bytes, Ahead_.data() + (Position_ - AheadAt_), Count);
  Position_ += Count;
  return true;
}

void TMessageBaseFileStream::Write(const void* Buf, std::uint16_t Count) {
  Ahead_.clear();
  SizeAtOpen_ = -1;
  HasIdentityAtOpen_ = false;
  if (GetStatus() != stOk) return;
  Dirty_ = true;
  const auto* Bytes = static_cast<const std::uint8_t*>(Buf);
  std::size_t Done = 0;
  while (Done < Count) {
    const ssize_t Put = ::pwrite(Fd_, Bytes + Done, Count - Done, static_cast<off_t>(Position_));
    if (Put < 0 && errno == EINTR) continue;
    if (Put <= 0) {
      UpdateStatus(stStreamWriteFailed);
      return;
    }
    Done += static_cast<std::size_t>(Put);
    Position_ += static_cast<std::int64_t>(Put);
  }
}

void TMessageBaseFileStream::Seek(std::int32_t Pos) {
  if (GetStatus() != stOk) return;
  Position_ = std::max(Pos, 0);
}

std::int32_t TMessageBaseFileStream::GetPos() {
  if (GetStatus() != stOk) return -1;
  return ClampToInt32(static_cast<off_t>(Position_));
}

std::int32_t TMessageBaseFileStream::GetSize() {
  if (GetStatus() != stOk) return -1;
  // Asked first thing after opening: the size the open saw is the answer.
  if (SizeAtOpen_ >= 0) {
    const std::int64_t Size = SizeHeld_ ? SizeAtOpen_ : std::exchange(SizeAtOpen_, -1);
    return ClampToInt32(static_cast<off_t>(Size));
  }
  struct stat Info {};
  if (::fstat(Fd_, &Info) != 0) {
    UpdateStatus(stStreamSeekFailed);
    return -1;
  }
  return ClampToInt32(Info.st_size);
}

void TMessageBaseFileStream::Flush() {
  if (!SizeHeld_) SizeAtOpen_ = -1;
  // Only what was changed since the last flush needs to reach the disk; a
  // flush of an unchanged file costs nothing.
  if (GetStatus() != stOk || !Dirty_) return;
  int Result = 0;
  do {
    Result = ::fdatasync(Fd_);
  } while (Result != 0 && errno == EINTR);
  if (Result != 0) {
    UpdateStatus(stStreamWriteFailed);
    return;
  }
  Dirty_ = false;
}

void TMessageBaseFileStream::Truncate() {
  Ahead_.clear();
  SizeAtOpen_ = -1;
  HasIdentityAtOpen_ = false;
  if (GetStatus() != stOk) return;
  Dirty_ = true;
  if (::ftruncate(Fd_, static_cast<off_t>(Position_)) != 0) UpdateStatus(stStreamTruncateFailed);
}

void TMessageBaseFileStream::Reset() {
  SetStatus(stOk);
}

void TMessageBaseFileStream::SetPermissions(std::uint32_t Mode) {
  if (Fd_ >= 0) (void)::fchmod(Fd_, static_cast<mode_t>(Mode & 07777));  // see the contract
}

bool TMessageBaseFileStream::GetIdentity(TFileIdentity& Identity) {
  if (HasIdentityAtOpen_ && Fd_ >= 0) {
    Identity = IdentityAtOpen_;
    return true;
  }
  struct stat Info {};
  if (Fd_ < 0 || ::fstat(Fd_, &Info) != 0) return false;
  Identity = IdentityOf(Info);
  return true;
}

// --- TMessageBaseRamStream ---

TMessageBaseRamStream::TMessageBaseRamStream() : TMessageBaseStream("", 0) {}

TMessageBaseRamStream::~TMessageBaseRamStream() = default;

std::int32_t TMessageBaseRamStream::GetCapacity() const {
  return static_cast<std::int32_t>(Blocks_.size()) * BlockSize;
}

void TMessageBaseRamStream::SetSize(std::int32_t NewSize) {
  NewSize = std::clamp(NewSize, Size_, MaxRamStreamSize);
  const std::size_t Target = static_cast<std::size_t>(NewSize / BlockSize + 1);
  // Whole blocks are added or dropped at the tail; bytes already written never
  // move. New blocks are not cleared: only bytes below the size are ever
  // copied out, the rest read as zero (FillGap clears a gap a write leaves).
  while (Blocks_.size() < Target) {
    Blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(BlockSize));
  }
  Blocks_.resize(Target);
}

void TMessageBaseRamStream::FillGap() {
  for (std::int32_t Pos = Size_; Pos < Position_;) {
    const std::int32_t Offset = Pos % BlockSize;
    const std::int32_t Piece = std::min(Position_ - Pos, BlockSize - Offset);
    std::memset(Blocks_[static_cast<std::size_t>(Pos / BlockSize)].get() + Offset, 0,
                static_cast<std::size_t>(Piece));
    Pos += Piece;
  }
}

void TMessageBaseRamStream::CopyFrom(TMessageBaseStream& Source, std::int32_t Count) {
  if (Count <= 0) return;
  if (Count > MaxRamStreamSize - Position_) return;
  const std::int32_t End = Position_ + Count;
  if (End >= GetCapacity()) SetSize(End);  // keeps the capacity above the size
  FillGap();
  if (End > Size_) Size_ = End;
  // The source reads straight into the blocks, one read per block touched;
  // a failing source delivers zero bytes there, as with any copy.
  while (Count > 0) {
    const std::int32_t Offset = Position_ % BlockSize;
    const std::int32_t Piece = std::min(Count, BlockSize - Offset);
    Source.Read(Blocks_[static_cast<std::size_t>(Position_ / BlockSize)].get() + Offset,
                static_cast<std::uint16_t>(Piece));
    Position_ += Piece;
    Count -= Piece;
  }
}

void TMessageBaseRamStream::Read(void* Buf, std::uint16_t Count) {
  auto* Bytes = static_cast<std::uint8_t*>(Buf);
  const std::int32_t Available = std::max(GetCapacity() - Position_, 0);
  const std::int32_t Copy = std::min<std::int32_t>(Count, Available);
  // Data comes from below the size; from there to the capacity it is zero.
  const std::int32_t Data = std::clamp(Size_ - Position_, 0, Copy);
  std::int32_t Done = 0;
  while (Done < Data) {
    const std::int32_t Offset = Position_ % BlockSize;
    const std::int32_t Piece = std::min(Data - Done, BlockSize - Offset);
    std::memcpy(Bytes + Done,
                Blocks_[static_cast<std::size_t>(Position_ / BlockSize)].get() + Offset,
                static_cast<std::size_t>(Piece));
    Done += Piece;
    Position_ += Piece;
  }
  Position_ += Copy - Data;
  std::memset(Bytes + Done, 0, static_cast<std::size_t>(Count - Done));
}

void TMessageBaseRamStream::Write(const void* Buf, std::uint16_t Count) {
  if (Count > MaxRamStreamSize - Position_) return;
  const std::int32_t End = Position_ + Count;
  if (End >= GetCapacity()) SetSize(End);  // keeps the capacity above the size
  FillGap();
  if (End > Size_) Size_ = End;
  const auto* Bytes = static_cast<const std::uint8_t*>(Buf);
  std::int32_t Done = 0;
  while (Done < Count) {
    const std::int32_t Offset = Position_ % BlockSize;
    const std::int32_t Piece = std::min(Count - Done, BlockSize - Offset);
    std::memcpy(Blocks_[static_cast<std::size_t>(Position_ / BlockSize)].get() + Offset,
                Bytes + Done, static_cast<std::size_t>(Piece));
    Done += Piece;
    Position_ += Piece;
  }
}

void TMessageBaseRamStream::Seek(std::int32_t Pos) {
  Position_ = std::max(Pos, 0);
}

std::int32_t TMessageBaseRamStream::GetPos() {
  return Position_;
}

std::int32_t TMessageBaseRamStream::GetSize() {
  return Size_;
}

void TMessageBaseRamStream::Flush() {}

void TMessageBaseRamStream::Truncate() {
  Size_ = std::min(Position_, MaxRamStreamSize);
  // Bytes past the new end read as zero, as they did before they were
  // written: reads take nothing from beyond the size.
  SetSize(Size_);
}

void TMessageBaseRamStream::Reset() {}

// --- TMessageBaseFileFind ---

TMessageBaseFileFind::~TMessageBaseFileFind() {
  StopSearch();
}

bool TMessageBaseFind::StartSearch(const std::string& /*Mask*/, std::int32_t /*Attr*/) {
  Abstract();
}
bool TMessageBaseFind::NextSearch() {
  Abstract();
}
void TMessageBaseFind::StopSearch() {
  Abstract();
}

bool TMessageBaseFileFind::StartSearch(const std::string& Mask, std::int32_t Attr) {
  StopSearch();
  // A mask without a directory searches the working directory.
  const std::string Path = Mask.find('/') == std::string::npos ? "./" + Mask : Mask;
  const std::size_t Slash = Path.rfind('/');
  Directory_ = Path.substr(0, Slash == 0 ? 1 : Slash);
  Pattern_ = Path.substr(Slash + 1);
  SearchAttr_ = Attr;
  Dir_ = ::opendir(Directory_.c_str());
  if (Dir_ == nullptr) return false;
  return NextSearch();
}

bool TMessageBaseFileFind::NextSearch() {
  if (Dir_ == nullptr) return false;
  auto* Dir = static_cast<DIR*>(Dir_);
  while (const dirent* Entry = ::readdir(Dir)) {
    const std::string Name = Entry->d_name;
    if (!WildcardMatch(Pattern_, Name)) continue;
    PlainFile_ = Entry->d_type == DT_REG;
    if ((SearchAttr_ & faNamesOnly) != 0 && (Entry->d_type == DT_REG || Entry->d_type == DT_DIR)) {
      const std::int32_t KindAttr = Entry->d_type == DT_DIR ? faDirectory : faArchive;
      if ((KindAttr & ~SearchAttr_) != 0) continue;
      Name_ = CutText(Name);
      Attr_ = KindAttr;
      Time_ = 0;
      Size_ = 0;
      return true;
    }
    // Looked up from the open directory: one name to resolve, not the path.
    struct stat Info {};
    if (::fstatat(::dirfd(Dir), Entry->d_name, &Info, 0) != 0)
      continue;  // a dangling link lists nothing
    const bool IsDirectory = S_ISDIR(Info.st_mode);
    std::int32_t EntryAttr = IsDirectory ? faDirectory : faArchive;
    if ((Info.st_mode & S_IWUSR) == 0) EntryAttr |= faReadOnly;
    if ((EntryAttr & ~SearchAttr_) != 0) continue;
    Name_ = CutText(Name);
    Attr_ = EntryAttr;
    Time_ = PackedModificationTime(Info.st_mtime);
    Size_ = IsDirectory ? 0 : ClampToInt32(Info.st_size);
    return true;
  }
  return false;
}

void TMessageBaseFileFind::StopSearch() {
  if (Dir_ != nullptr) (void)::closedir(static_cast<DIR*>(Dir_));
  Dir_ = nullptr;
}

// --- Factories ---

PMessageBaseStream CreateMessageBaseFileStream(const std::string& FileName, std::int32_t Mode) {
  switch (Mode & 0xFF) {
    case smCreate:
    case smReadWrite:
    case smRead:
    case smWrite:
      return std::make_unique<TMessageBaseFileStream>(FileName, Mode);
    default:
      return nullptr;
  }
}

PMessageBaseStream CreateMessageBaseMemoryStream(std::int32_t /*SizeHint*/) {
  return std::make_unique<TMessageBaseRamStream>();
}

PMessageBaseFind CreateMessageBaseFind() {
  return std::make_unique<TMessageBaseFileFind>();
}

}  // namespace msgbase
