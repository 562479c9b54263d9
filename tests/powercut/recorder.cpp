// A module loaded into a program with LD_PRELOAD that records every call
// with which it changes a file or a folder, with the bytes it writes, into
// the log named by POWERCUT_LOG (trace_record.h), and hands each call on to
// the C library. With POWERCUT_NO_SYNC=1, fsync, fdatasync and syncfs do
// nothing and succeed (and are not recorded): what a program's durability
// rests on when its syncs are lost.
//
// The calls are the C library's entry points, the *64 and *at variants and
// the fortified opens included; the library's own calls into its internals
// (stdio's buffers, for instance) are not seen, and the programs under test
// write their files and their standard output with these calls only.
#undef _FORTIFY_SOURCE  // this file defines open() itself
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/powercut/trace_record.h"

namespace {

using powercut::TRecordHead;

template <typename T>
T Next(const char* Name) {
  return reinterpret_cast<T>(::dlsym(RTLD_NEXT, Name));
}

using TOpenAt = int (*)(int, const char*, int, ...);
using TWrite = ssize_t (*)(int, const void*, size_t);
using TPwrite = ssize_t (*)(int, const void*, size_t, off_t);
using TWritev = ssize_t (*)(int, const struct iovec*, int);
using TPwritev = ssize_t (*)(int, const struct iovec*, int, off_t);
using TFdCall = int (*)(int);
using TTruncate = int (*)(int, off_t);
using TPathTruncate = int (*)(const char*, off_t);
using TPathPair = int (*)(const char*, const char*);
using TPathOnly = int (*)(const char*);
using TMkdir = int (*)(const char*, mode_t);

int LogFd = -1;
bool NoSync = false;

TWrite RealWrite() {
  static const TWrite Real = Next<TWrite>("write");
  return Real;
}

void PutAll(const void* Data, std::size_t Size) {
  const auto* Bytes = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t Put = RealWrite()(LogFd, Bytes, Size);
    if (Put < 0 && errno == EINTR) continue;
    if (Put <= 0) return;
    Bytes += Put;
    Size -= static_cast<std::size_t>(Put);
  }
}

void Record(TRecordHead Head, const void* One = nullptr, const void* Two = nullptr) {
  if (LogFd < 0) return;
  const int Saved = errno;
  PutAll(&Head, sizeof Head);
  if (Head.Len1 > 0) PutAll(One, Head.Len1);
  if (Head.Len2 > 0) PutAll(Two, Head.Len2);
  errno = Saved;
}

// Path made absolute against the working directory or the folder of Dir.
struct TPath {
  char Text[2 * PATH_MAX + 2] = {};
  std::uint32_t Size = 0;
};

TPath Absolute(int Dir, const char* Path) {
  TPath Out;
  char Base[PATH_MAX + 1] = {};
  if (Path[0] != '/') {
    if (Dir == AT_FDCWD) {
      if (::getcwd(Base, sizeof Base) == nullptr) Base[0] = '\0';
    } else {
      char Link[64];
      std::snprintf(Link, sizeof Link, "/proc/self/fd/%d", Dir);
      const ssize_t N = ::readlink(Link, Base, PATH_MAX);
      Base[N > 0 ? N : 0] = '\0';
    }
  }
  const int N = std::snprintf(Out.Text, sizeof Out.Text, "%s%s%s", Base, Base[0] ? "/" : "", Path);
  Out.Size = static_cast<std::uint32_t>(
      N > 0 ? std::min<std::size_t>(static_cast<std::size_t>(N), sizeof Out.Text - 1) : 0);
  return Out;
}

void RecordPath(std::uint32_t Kind, int Dir, const char* Path, std::int64_t Offset = 0) {
  const TPath P = Absolute(Dir, Path);
  TRecordHead Head;
  Head.Kind = Kind;
  Head.Offset = Offset;
  Head.Len1 = P.Size;
  Record(Head, P.Text);
}

void RecordPair(std::uint32_t Kind, int Dir1, const char* Path1, int Dir2, const char* Path2) {
  const TPath P1 = Absolute(Dir1, Path1);
  const TPath P2 = Absolute(Dir2, Path2);
  TRecordHead Head;
  Head.Kind = Kind;
  Head.Len1 = P1.Size;
  Head.Len2 = P2.Size;
  Record(Head, P1.Text, P2.Text);
}

int OpenAndRecord(int Dir, const char* Path, int Flags, mode_t Mode) {
  static const TOpenAt Real = Next<TOpenAt>("openat");
  struct stat Before {};
  const bool Existed = ::fstatat(Dir, Path, &Before, AT_SYMLINK_NOFOLLOW) == 0;
  const int Fd = Real(Dir, Path, Flags, Mode);
  if (Fd < 0) return Fd;
  struct stat After {};
  const bool Folder = ::fstat(Fd, &After) == 0 && S_ISDIR(After.st_mode);
  const TPath P = Absolute(Dir, Path);
  TRecordHead Head;
  Head.Kind = powercut::ckOpen;
  Head.Result = Fd;
  Head.Flags = Flags;
  Head.Extra = (Existed ? 0 : powercut::cfCreated) | (Folder ? powercut::cfDirectory : 0);
  Head.Len1 = P.Size;
  Record(Head, P.Text);
  return Fd;
}

mode_t ModeOf(int Flags, va_list Args) {
  return (Flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(Args, int)) : 0;
}

void RecordWrite(int Fd, const void* Data, ssize_t Put, std::int64_t Offset) {
  if (Put <= 0) return;
  TRecordHead Head;
  Head.Kind = powercut::ckWrite;
  Head.Fd = Fd;
  Head.Offset = Offset;
  Head.Len1 = static_cast<std::uint32_t>(Put);
  Record(Head, Data);
}

// Where the bytes a write at the descriptor's position just put began.
std::int64_t StartOf(int Fd, ssize_t Put) {
  const off_t Now = ::lseek(Fd, 0, SEEK_CUR);
  return Now < 0 ? -1 : static_cast<std::int64_t>(Now) - Put;
}

// The bytes of an iovec array that a call of Put bytes wrote, joined.
char* Gather(const struct iovec* Vec, int Count, ssize_t Put) {
  if (Put <= 0) return nullptr;
  char* Joined = static_cast<char*>(std::malloc(static_cast<std::size_t>(Put)));
  if (Joined == nullptr) return nullptr;
  std::size_t Done = 0;
  for (int I = 0; I < Count && Done < static_cast<std::size_t>(Put); ++I) {
    const std::size_t Take = std::min(Vec[I].iov_len, static_cast<std::size_t>(Put) - Done);
    std::memcpy(Joined + Done, Vec[I].iov_base, Take);
    Done += Take;
  }
  return Joined;
}

void RecordFd(std::uint32_t Kind, int Fd, std::int64_t Offset = 0) {
  TRecordHead Head;
  Head.Kind = Kind;
  Head.Fd = Fd;
  Head.Offset = Offset;
  Record(Head);
}

int Sync(const char* Name, int Fd, std::uint32_t Kind) {
  if (NoSync) return 0;
  static const TFdCall RealFsync = Next<TFdCall>("fsync");
  static const TFdCall RealFdatasync = Next<TFdCall>("fdatasync");
  static const TFdCall RealSyncfs = Next<TFdCall>("syncfs");
  const TFdCall Real = std::strcmp(Name, "fsync") == 0       ? RealFsync
                       : std::strcmp(Name, "fdatasync") == 0 ? RealFdatasync
                                                             : RealSyncfs;
  const int Result = Real(Fd);
  if (Result == 0) RecordFd(Kind, Fd);
  return Result;
}

__attribute__((constructor)) void Start() {
  const char* Log = std::getenv(powercut::LogVariable);
  const char* Off = std::getenv(powercut::NoSyncVariable);
  NoSync = Off != nullptr && std::strcmp(Off, "1") == 0;
  if (Log == nullptr || Log[0] == '\0') return;
  static const TOpenAt Real = Next<TOpenAt>("openat");
  LogFd = Real(AT_FDCWD, Log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

}  // namespace

extern "C" {

int open(const char* Path, int Flags, ...) {
  va_list Args;
  va_start(Args, Flags);
  const mode_t Mode = ModeOf(Flags, Args);
  va_end(Args);
  return OpenAndRecord(AT_FDCWD, Path, Flags, Mode);
}
int openat(int Dir, const char* Path, int Flags, ...) {
  va_list Args;
  va_start(Args, Flags);
  const mode_t Mode = ModeOf(Flags, Args);
  va_end(Args);
  return OpenAndRecord(Dir, Path, Flags, Mode);
}
int __open_2(const char* Path, int Flags) {
  return OpenAndRecord(AT_FDCWD, Path, Flags, 0);
}
int __openat_2(int Dir, const char* Path, int Flags) {
  return OpenAndRecord(Dir, Path, Flags, 0);
}
int creat(const char* Path, mode_t Mode) {
  return OpenAndRecord(AT_FDCWD, Path, O_WRONLY | O_CREAT | O_TRUNC, Mode);
}

ssize_t write(int Fd, const void* Data, size_t Size) {
  const ssize_t Put = RealWrite()(Fd, Data, Size);
  RecordWrite(Fd, Data, Put, StartOf(Fd, Put));
  return Put;
}
ssize_t pwrite(int Fd, const void* Data, size_t Size, off_t Offset) {
  static const TPwrite Real = Next<TPwrite>("pwrite");
  const ssize_t Put = Real(Fd, Data, Size, Offset);
  RecordWrite(Fd, Data, Put, Offset);
  return Put;
}
ssize_t writev(int Fd, const struct iovec* Vec, int Count) {
  static const TWritev Real = Next<TWritev>("writev");
  const ssize_t Put = Real(Fd, Vec, Count);
  char* Joined = Gather(Vec, Count, Put);
  if (Joined != nullptr) RecordWrite(Fd, Joined, Put, StartOf(Fd, Put));
  std::free(Joined);
  return Put;
}
ssize_t pwritev(int Fd, const struct iovec* Vec, int Count, off_t Offset) {
  static const TPwritev Real = Next<TPwritev>("pwritev");
  const ssize_t Put = Real(Fd, Vec, Count, Offset);
  char* Joined = Gather(Vec, Count, Put);
  if (Joined != nullptr) RecordWrite(Fd, Joined, Put, Offset);
  std::free(Joined);
  return Put;
}

int ftruncate(int Fd, off_t Size) {
  static const TTruncate Real = Next<TTruncate>("ftruncate");
  const int Result = Real(Fd, Size);
  if (Result == 0) RecordFd(powercut::ckTruncate, Fd, Size);
  return Result;
}
int truncate(const char* Path, off_t Size) {
  static const TPathTruncate Real = Next<TPathTruncate>("truncate");
  const int Result = Real(Path, Size);
  if (Result == 0) RecordPath(powercut::ckTruncatePath, AT_FDCWD, Path, Size);
  return Result;
}

int fsync(int Fd) {
  return Sync("fsync", Fd, powercut::ckSync);
}
int fdatasync(int Fd) {
  return Sync("fdatasync", Fd, powercut::ckSync);
}
int syncfs(int Fd) {
  return Sync("syncfs", Fd, powercut::ckSyncAll);
}
void sync() {
  using TSync = void (*)();
  static const TSync Real = Next<TSync>("sync");
  if (NoSync) return;
  Real();
  RecordFd(powercut::ckSyncAll, -1);
}
int sync_file_range(int Fd, off_t Offset, off_t Size, unsigned int Flags) {
  using TRange = int (*)(int, off_t, off_t, unsigned int);
  static const TRange Real = Next<TRange>("sync_file_range");
  const int Result = Real(Fd, Offset, Size, Flags);
  if (Result == 0) RecordFd(powercut::ckSyncRange, Fd, Offset);
  return Result;
}

int rename(const char* From, const char* To) {
  static const TPathPair Real = Next<TPathPair>("rename");
  const int Result = Real(From, To);
  if (Result == 0) RecordPair(powercut::ckRename, AT_FDCWD, From, AT_FDCWD, To);
  return Result;
}
int renameat(int FromDir, const char* From, int ToDir, const char* To) {
  using TRenameAt = int (*)(int, const char*, int, const char*);
  static const TRenameAt Real = Next<TRenameAt>("renameat");
  const int Result = Real(FromDir, From, ToDir, To);
  if (Result == 0) RecordPair(powercut::ckRename, FromDir, From, ToDir, To);
  return Result;
}
int renameat2(int FromDir, const char* From, int ToDir, const char* To, unsigned int Flags) {
  using TRenameAt2 = int (*)(int, const char*, int, const char*, unsigned int);
  static const TRenameAt2 Real = Next<TRenameAt2>("renameat2");
  const int Result = Real(FromDir, From, ToDir, To, Flags);
  if (Result == 0) RecordPair(powercut::ckRename, FromDir, From, ToDir, To);
  return Result;
}
int link(const char* From, const char* To) {
  static const TPathPair Real = Next<TPathPair>("link");
  const int Result = Real(From, To);
  if (Result == 0) RecordPair(powercut::ckLink, AT_FDCWD, From, AT_FDCWD, To);
  return Result;
}
int linkat(int FromDir, const char* From, int ToDir, const char* To, int Flags) {
  using TLinkAt = int (*)(int, const char*, int, const char*, int);
  static const TLinkAt Real = Next<TLinkAt>("linkat");
  const int Result = Real(FromDir, From, ToDir, To, Flags);
  if (Result == 0) RecordPair(powercut::ckLink, FromDir, From, ToDir, To);
  return Result;
}
int unlink(const char* Path) {
  static const TPathOnly Real = Next<TPathOnly>("unlink");
  const int Result = Real(Path);
  if (Result == 0) RecordPath(powercut::ckUnlink, AT_FDCWD, Path);
  return Result;
}
int unlinkat(int Dir, const char* Path, int Flags) {
  using TUnlinkAt = int (*)(int, const char*, int);
  static const TUnlinkAt Real = Next<TUnlinkAt>("unlinkat");
  const int Result = Real(Dir, Path, Flags);
  if (Result == 0) RecordPath(powercut::ckUnlink, Dir, Path);
  return Result;
}
int rmdir(const char* Path) {
  static const TPathOnly Real = Next<TPathOnly>("rmdir");
  const int Result = Real(Path);
  if (Result == 0) RecordPath(powercut::ckUnlink, AT_FDCWD, Path);
  return Result;
}
int mkdir(const char* Path, mode_t Mode) {
  static const TMkdir Real = Next<TMkdir>("mkdir");
  const int Result = Real(Path, Mode);
  if (Result == 0) RecordPath(powercut::ckMkdir, AT_FDCWD, Path);
  return Result;
}
int mkdirat(int Dir, const char* Path, mode_t Mode) {
  using TMkdirAt = int (*)(int, const char*, mode_t);
  static const TMkdirAt Real = Next<TMkdirAt>("mkdirat");
  const int Result = Real(Dir, Path, Mode);
  if (Result == 0) RecordPath(powercut::ckMkdir, Dir, Path);
  return Result;
}
int close(int Fd) {
  static const TFdCall Real = Next<TFdCall>("close");
  if (Fd == LogFd) {
    errno = EBADF;  // the log stays open to the end
    return -1;
  }
  const int Result = Real(Fd);
  if (Result == 0) RecordFd(powercut::ckClose, Fd);
  return Result;
}

// The *64 names are the same calls where files have 64-bit offsets.
int open64(const char* Path, int Flags, ...) __attribute__((alias("open")));
int openat64(int Dir, const char* Path, int Flags, ...) __attribute__((alias("openat")));
int __open64_2(const char* Path, int Flags) __attribute__((alias("__open_2")));
int __openat64_2(int Dir, const char* Path, int Flags) __attribute__((alias("__openat_2")));
int creat64(const char* Path, mode_t Mode) __attribute__((alias("creat")));
ssize_t pwrite64(int Fd, const void* Data, size_t Size, off_t Offset)
    __attribute__((alias("pwrite")));
ssize_t pwritev64(int Fd, const struct iovec* Vec, int Count, off_t Offset)
    __attribute__((alias("pwritev")));
int ftruncate64(int Fd, off_t Size) __attribute__((alias("ftruncate")));

}  // extern "C"
