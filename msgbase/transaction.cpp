#include "msgbase/transaction.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/status.h"

namespace msgbase {

namespace {

constexpr std::uint32_t IntentMagic = 0x31585456;  // "VTX1"
// Far above any record a format writes (a compaction keeps one index), far
// below what a damaged length could make a reader allocate.
constexpr std::uint32_t MaxPayload = 256U * 1024U * 1024U;

void PutU32(std::string& Out, std::uint32_t V) {
  for (int I = 0; I < 4; ++I) Out.push_back(static_cast<char>((V >> (8 * I)) & 0xFF));
}
void PutU64(std::string& Out, std::uint64_t V) {
  for (int I = 0; I < 8; ++I) Out.push_back(static_cast<char>((V >> (8 * I)) & 0xFF));
}

// A bounded reader over an entry's payload: every get fails once it would
// pass the end, and then every later one fails too.
class TReader {
 public:
  TReader(const std::string& S, std::size_t Pos, std::size_t End) : S_(S), Pos_(Pos), End_(End) {}
  bool U(std::uint64_t& V, std::size_t Bytes) {
    if (End_ - Pos_ < Bytes) return Ok_ = false;
    V = 0;
    for (std::size_t I = 0; I < Bytes; ++I) {
      V |= static_cast<std::uint64_t>(static_cast<unsigned char>(S_[Pos_ + I])) << (8 * I);
    }
    Pos_ += Bytes;
    return Ok_;
  }
  bool Bytes(std::string& Out, std::uint64_t Length) {
    if (End_ - Pos_ < Length) return Ok_ = false;
    Out.assign(S_, Pos_, Length);
    Pos_ += Length;
    return Ok_;
  }
  [[nodiscard]] bool AtEnd() const { return Ok_ && Pos_ == End_; }

 private:
  const std::string& S_;
  std::size_t Pos_;
  std::size_t End_;
  bool Ok_ = true;
};

bool DecodePayload(const std::string& S, std::size_t Pos, std::size_t End, TIntent& Out) {
  TReader R(S, Pos, End);
  std::uint64_t V = 0;
  TIntent I;
  if (!R.U(V, 4)) return false;
  I.Kind = static_cast<std::uint32_t>(V);
  if (!R.U(V, 4)) return false;
  I.Phase = static_cast<std::uint32_t>(V);
  if (!R.U(V, 4)) return false;
  I.Pid = static_cast<std::int32_t>(static_cast<std::uint32_t>(V));
  std::uint64_t Count = 0;
  if (!R.U(Count, 4)) return false;
  for (std::uint64_t N = 0; N < Count; ++N) {
    TIntentFile F;
    std::uint64_t Length = 0;
    if (!R.U(Length, 2) || !R.Bytes(F.Name, Length) || !R.U(V, 8)) return false;
    F.Size = static_cast<std::int64_t>(V);
    I.Files.push_back(std::move(F));
  }
  if (!R.U(Count, 4)) return false;
  for (std::uint64_t N = 0; N < Count; ++N) {
    TIntentImage Image;
    std::uint64_t Length = 0;
    if (!R.U(V, 4)) return false;
    Image.File = static_cast<std::uint32_t>(V);
    if (Image.File >= I.Files.size() || !R.U(V, 8)) return false;
    Image.Offset = static_cast<std::int64_t>(V);
    if (Image.Offset < 0 || !R.U(Length, 4) || !R.Bytes(Image.Bytes, Length)) return false;
    I.Images.push_back(std::move(Image));
  }
  std::uint64_t Length = 0;
  if (!R.U(Length, 4) || !R.Bytes(I.Extra, Length) || !R.AtEnd()) return false;
  Out = std::move(I);
  return true;
}

bool WriteAll(int Fd, const std::string& Data, std::int64_t Offset) {
  std::size_t Done = 0;
  while (Done < Data.size()) {
    const ssize_t N = ::pwrite(Fd, Data.data() + Done, Data.size() - Done,
                               static_cast<off_t>(Offset + static_cast<std::int64_t>(Done)));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Done += static_cast<std::size_t>(N);
  }
  return true;
}

std::string FolderOf(const std::string& Path) {
  const std::string Folder = ExtractPathName(Path);
  return Folder.empty() ? "." : Folder;
}

bool CloseKeepingErrno(int Fd, bool Ok) {
  const int Saved = errno;
  (void)::close(Fd);
  errno = Saved;
  return Ok;
}

// The file as it was before a change: what the file holds now, cut to the
// old size (bytes the change cut off read as zero until an image gives them),
// with the old bytes laid over it.
class TCommittedView : public TMessageBaseStream {
 public:
  TCommittedView(PMessageBaseStream File, std::int64_t Size, std::vector<TIntentImage> Images)
      : TMessageBaseStream(File->GetFileName(), File->GetMode()),
        File_(std::move(File)),
        Size_(std::max<std::int64_t>(Size, 0)),
        Images_(std::move(Images)) {
    File_->Reset();
    Present_ = std::max<std::int64_t>(File_->GetSize(), 0);
  }

  void Read(void* Buf, std::uint16_t Count) override {
    auto* Bytes = static_cast<std::uint8_t*>(Buf);
    std::memset(Bytes, 0, Count);
    if (GetStatus() != stOk) return;
    if (Position_ + Count > Size_) {
      SetStatus(stStreamReadFailed);  // as a file read past its end
      return;
    }
    const std::int64_t Kept = std::clamp<std::int64_t>(Present_ - Position_, 0, Count);
    if (Kept > 0) {
      File_->Seek(static_cast<std::int32_t>(Position_));
      File_->Read(Bytes, static_cast<std::uint16_t>(Kept));
      if (File_->GetStatus() != stOk) {
        SetStatus(File_->GetStatus());
        std::memset(Bytes, 0, Count);
        return;
      }
    }
    for (const TIntentImage& Image : Images_) {
      const std::int64_t From = std::max(Position_, Image.Offset);
      const std::int64_t To = std::min<std::int64_t>(
          Position_ + Count, Image.Offset + static_cast<std::int64_t>(Image.Bytes.size()));
      if (From < To) {
        std::memcpy(Bytes + (From - Position_), Image.Bytes.data() + (From - Image.Offset),
                    static_cast<std::size_t>(To - From));
      }
    }
    Position_ += Count;
  }
  void Write(const void* /*Buf*/, std::uint16_t /*Count*/) override {
    SetStatus(stStreamWriteFailed);
  }
  void Seek(std::int32_t Pos) override { Position_ = std::max(Pos, 0); }
  [[nodiscard]] std::int32_t GetPos() override {
    return GetStatus() == stOk ? static_cast<std::int32_t>(Position_) : -1;
  }
  [[nodiscard]] std::int32_t GetSize() override {
    return GetStatus() == stOk ? static_cast<std::int32_t>(Size_) : -1;
  }
  void Flush() override {}
  void Truncate() override { SetStatus(stStreamTruncateFailed); }
  void Reset() override {
    SetStatus(stOk);
    File_->Reset();
  }
  [[nodiscard]] bool GetIdentity(TFileIdentity& Identity) override {
    return File_->GetIdentity(Identity);
  }

 private:
  PMessageBaseStream File_;
  std::int64_t Size_ = 0;
  std::int64_t Present_ = 0;
  std::int64_t Position_ = 0;
  std::vector<TIntentImage> Images_;
};

}  // namespace

PMessageBaseStream CreateCommittedView(PMessageBaseStream File, const TIntent& Intent,
                                       std::uint32_t Index) {
  std::vector<TIntentImage> Images;
  for (const TIntentImage& Image : Intent.Images) {
    if (Image.File == Index) Images.push_back(Image);
  }
  const std::int64_t Size = Index < Intent.Files.size() ? Intent.Files[Index].Size : 0;
  return std::make_unique<TCommittedView>(std::move(File), Size, std::move(Images));
}

std::uint32_t TIntent::AddFile(const std::string& Name, std::int64_t Size) {
  Files.push_back({Name, Size});
  return static_cast<std::uint32_t>(Files.size() - 1);
}

bool TIntent::SaveBefore(std::uint32_t Index, std::int64_t Offset, std::uint32_t Length) {
  if (Index >= Files.size() || Offset < 0) return false;
  const std::int64_t Size = Files[Index].Size;
  if (Offset >= Size) return true;  // past the old end: cutting the file undoes it
  if (Offset + Length > Size) Length = static_cast<std::uint32_t>(Size - Offset);
  const int Fd = ::open(Files[Index].Name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return false;
  std::string Bytes(Length, '\0');
  std::size_t Done = 0;
  while (Done < Length) {
    const ssize_t N = ::pread(Fd, Bytes.data() + Done, Length - Done,
                              static_cast<off_t>(Offset + static_cast<std::int64_t>(Done)));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return CloseKeepingErrno(Fd, false);
    Done += static_cast<std::size_t>(N);
  }
  (void)::close(Fd);
  Images.push_back({Index, Offset, std::move(Bytes)});
  return true;
}

std::string EncodeIntent(const TIntent& Intent) {
  std::string P;
  PutU32(P, Intent.Kind);
  PutU32(P, Intent.Phase);
  PutU32(P, static_cast<std::uint32_t>(Intent.Pid));
  PutU32(P, static_cast<std::uint32_t>(Intent.Files.size()));
  for (const TIntentFile& F : Intent.Files) {
    const std::size_t Length = F.Name.size() > 0xFFFF ? 0xFFFF : F.Name.size();
    P.push_back(static_cast<char>(Length & 0xFF));
    P.push_back(static_cast<char>(Length >> 8));
    P.append(F.Name, 0, Length);
    PutU64(P, static_cast<std::uint64_t>(F.Size));
  }
  PutU32(P, static_cast<std::uint32_t>(Intent.Images.size()));
  for (const TIntentImage& Image : Intent.Images) {
    PutU32(P, Image.File);
    PutU64(P, static_cast<std::uint64_t>(Image.Offset));
    PutU32(P, static_cast<std::uint32_t>(Image.Bytes.size()));
    P += Image.Bytes;
  }
  PutU32(P, static_cast<std::uint32_t>(Intent.Extra.size()));
  P += Intent.Extra;
  std::string Entry;
  PutU32(Entry, IntentMagic);
  PutU32(Entry, static_cast<std::uint32_t>(P.size()));
  PutU32(Entry, StringCRC32(P, 0xFFFFFFFFU) ^ 0xFFFFFFFFU);
  return Entry + P;
}

TIntentState DecodeIntent(const std::string& Record, TIntent& Intent) {
  std::size_t Pos = 0;
  bool Any = false;
  while (Record.size() - Pos >= 12) {
    TReader Head(Record, Pos, Pos + 12);
    std::uint64_t Magic = 0;
    std::uint64_t Length = 0;
    std::uint64_t Crc = 0;
    (void)Head.U(Magic, 4);
    (void)Head.U(Length, 4);
    (void)Head.U(Crc, 4);
    if (Magic != IntentMagic || Length > MaxPayload || Record.size() - Pos - 12 < Length) break;
    const std::string Payload = Record.substr(Pos + 12, Length);
    if ((StringCRC32(Payload, 0xFFFFFFFFU) ^ 0xFFFFFFFFU) != Crc) break;
    TIntent Decoded;
    if (!DecodePayload(Record, Pos + 12, Pos + 12 + Length, Decoded)) break;
    Intent = std::move(Decoded);
    Any = true;
    Pos += 12 + Length;
  }
  return Any ? TIntentState::Whole : TIntentState::Torn;
}

bool SyncDescriptor(int Fd) {
  int Result = 0;
  do {
    Result = ::fdatasync(Fd);
  } while (Result != 0 && errno == EINTR);
  return Result == 0;
}

bool BeginIntent(const std::string& Path, const TIntent& Intent) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (Fd < 0) return false;
  const bool Ok = WriteAll(Fd, EncodeIntent(Intent), 0) && SyncDescriptor(Fd);
  (void)CloseKeepingErrno(Fd, Ok);
  if (!Ok || !SyncDirectory(FolderOf(Path))) {
    const int Saved = errno;
    (void)::unlink(Path.c_str());
    errno = Saved;
    return false;
  }
  return true;
}

bool AppendIntent(const std::string& Path, const TIntent& Intent) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return false;
  struct stat Info {};
  const bool Ok = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) &&
                  WriteAll(Fd, EncodeIntent(Intent), Info.st_size) && SyncDescriptor(Fd);
  return CloseKeepingErrno(Fd, Ok);
}

bool EndIntent(const std::string& Path) {
  if (::unlink(Path.c_str()) != 0 && errno != ENOENT) return false;
  return SyncDirectory(FolderOf(Path));
}

TIntentState ReadIntent(const std::string& Path, TIntent& Intent) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return errno == ENOENT ? TIntentState::None : TIntentState::Unreadable;
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode) ||
      Info.st_size > static_cast<off_t>(MaxPayload) + 64) {
    (void)::close(Fd);
    return TIntentState::Unreadable;
  }
  std::string Record(static_cast<std::size_t>(Info.st_size), '\0');
  std::size_t Done = 0;
  while (Done < Record.size()) {
    const ssize_t N =
        ::pread(Fd, Record.data() + Done, Record.size() - Done, static_cast<off_t>(Done));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Done += static_cast<std::size_t>(N);
  }
  (void)::close(Fd);
  Record.resize(Done);
  return DecodeIntent(Record, Intent);
}

bool TakeIntent(const std::string& Path, TIntent& Intent, bool& Found) {
  Found = false;
  switch (ReadIntent(Path, Intent)) {
    case TIntentState::None:
      return true;
    case TIntentState::Torn:
      return EndIntent(Path);
    case TIntentState::Unreadable:
      return false;
    case TIntentState::Whole:
      break;
  }
  Found = true;
  return true;
}

bool RollBack(const TIntent& Intent) {
  bool Ok = true;
  std::vector<std::string> Folders;
  for (std::uint32_t Index = 0; Index < Intent.Files.size(); ++Index) {
    const TIntentFile& F = Intent.Files[Index];
    const std::string Folder = FolderOf(F.Name);
    bool Known = false;
    for (const std::string& Seen : Folders) Known = Known || Seen == Folder;
    if (!Known) Folders.push_back(Folder);
    if (F.Size < 0) {
      if (::unlink(F.Name.c_str()) != 0 && errno != ENOENT) Ok = false;
      continue;
    }
    const int Fd = ::open(F.Name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0) {
      Ok = false;
      continue;
    }
    struct stat Info {};
    bool FileOk = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode);
    // Old bytes first (they may lie past the present end, where a change cut
    // the file), then the old size, then one sync.
    for (const TIntentImage& Image : Intent.Images) {
      if (FileOk && Image.File == Index) FileOk = WriteAll(Fd, Image.Bytes, Image.Offset);
    }
    FileOk = FileOk && ::ftruncate(Fd, static_cast<off_t>(F.Size)) == 0 && SyncDescriptor(Fd);
    (void)::close(Fd);
    Ok = Ok && FileOk;
  }
  for (const std::string& Folder : Folders) Ok = SyncDirectory(Folder) && Ok;
  return Ok;
}

bool ProcessGone(std::int32_t Pid) {
  if (Pid <= 0 || Pid == static_cast<std::int32_t>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(Pid), 0) != 0 && errno == ESRCH;
}

}  // namespace msgbase
