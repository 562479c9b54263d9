#include "tools/msgextract/file_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "msgbase/file_helpers.h"

namespace msgextract {

namespace {

// The mode bits a rebuilt file may get: never executable, never set-id.
constexpr std::uint32_t FileModeMask = 0666;

std::string ErrnoText(int Error) {
  return std::strerror(Error);
}

// What a signal handler may touch: the temporary file being written (its
// path, a zero byte first when there is none) and the files written so far.
char TempPathForSignal[PATH_MAX + 1] = {};
volatile std::sig_atomic_t FilesWrittenForSignal = 0;

void NoteTempPath(const std::string& Path) {
  TempPathForSignal[0] = '\0';
  const std::size_t Size = std::min(Path.size(), sizeof TempPathForSignal - 1);
  if (Size == 0) return;
  std::memcpy(TempPathForSignal + 1, Path.data() + 1, Size - 1);
  TempPathForSignal[Size] = '\0';
  TempPathForSignal[0] = Path[0];  // last: a handler sees the whole path or none
}

// Only async-signal-safe calls: unlink, write, signal, raise.
extern "C" void StopOnSignal(int Signal) {
  if (TempPathForSignal[0] != '\0') (void)::unlink(TempPathForSignal);  // best effort
  char Line[128] = "Stopped by signal ";
  std::size_t At = std::strlen(Line);
  const auto PutNumber = [&](long Value) {
    char Digits[24];
    std::size_t N = 0;
    do {
      Digits[N++] = static_cast<char>('0' + Value % 10);
      Value /= 10;
    } while (Value > 0 && N < sizeof Digits);
    while (N > 0) Line[At++] = Digits[--N];
  };
  PutNumber(Signal);
  for (const char* Text = "; files written before it: "; *Text != '\0'; ++Text) Line[At++] = *Text;
  PutNumber(FilesWrittenForSignal);
  for (const char* Text = "; no temporary file left\n"; *Text != '\0'; ++Text) Line[At++] = *Text;
  const ssize_t Wrote = ::write(STDOUT_FILENO, Line, At);
  (void)Wrote;  // nowhere is left to report a failure of this one
  (void)std::signal(Signal, SIG_DFL);
  (void)std::raise(Signal);
}

// Closes the descriptor and removes the temporary file unless Keep is set.
class TTempFile {
 public:
  TTempFile() = default;
  ~TTempFile() {
    if (Fd >= 0) (void)::close(Fd);                            // a failed write is reported already
    if (!Keep && !Path.empty()) (void)::unlink(Path.c_str());  // best effort clean-up
    NoteTempPath("");
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  int Fd = -1;
  std::string Path;
  bool Keep = false;
};

// Writes all of Bytes; false with errno set on failure.
bool WriteAll(int Fd, std::string_view Bytes) {
  while (!Bytes.empty()) {
    const ssize_t Written = ::write(Fd, Bytes.data(), Bytes.size());
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) {
      if (Written == 0) errno = EIO;
      return false;
    }
    Bytes.remove_prefix(static_cast<std::size_t>(Written));
  }
  return true;
}

// Reads Bytes.size() bytes into Bytes; false at the end of the file or on failure.
bool ReadAll(int Fd, char* Bytes, std::size_t Size) {
  while (Size > 0) {
    const ssize_t Got = ::read(Fd, Bytes, Size);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) return false;
    Bytes += Got;
    Size -= static_cast<std::size_t>(Got);
  }
  return true;
}

// The umask, which can only be read by setting it.
mode_t CurrentUmask() {
  const mode_t Mask = ::umask(0);
  (void)::umask(Mask);  // put back at once; the program has one thread
  return Mask;
}

// Renames From to To unless To exists; false with errno EEXIST when it does.
bool RenameNoReplace(const std::string& From, const std::string& To) {
  if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails on an existing name too.
  if (::link(From.c_str(), To.c_str()) != 0) return false;
  (void)::unlink(From.c_str());  // the file is in place under its name already
  return true;
}

}  // namespace

TPartSource PartsSource(std::vector<std::string_view> Parts) {
  return [Parts = std::move(Parts)](const TPut& Put, std::string& Problem) {
    (void)Problem;  // bytes in memory are always there
    return std::all_of(Parts.begin(), Parts.end(), Put);
  };
}

void CleanUpOnSignals() {
  for (const int Signal : {SIGINT, SIGTERM}) (void)std::signal(Signal, StopOnSignal);
}

bool HoldsSameBytes(const std::string& Path, std::uint64_t Size, const TPartSource& Source) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return false;
  struct stat Info {};
  bool Same = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) &&
              static_cast<std::uint64_t>(Info.st_size) == Size;
  std::string Buffer;
  std::string Problem;
  Same = Same && Source(
                     [&](std::string_view Part) {
                       Buffer.resize(Part.size());
                       return ReadAll(Fd, Buffer.data(), Part.size()) && Buffer == Part;
                     },
                     Problem);
  (void)::close(Fd);  // only read
  return Same;
}

bool FlushFile(const std::string& Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return false;
  const bool Synced = ::fsync(Fd) == 0;
  (void)::close(Fd);  // only read: the flush is what counts
  return Synced && msgbase::SyncDirectory(Path.substr(0, Path.rfind('/')));
}

void NoteFilesWritten(std::uint64_t Count) {
  FilesWrittenForSignal = static_cast<std::sig_atomic_t>(Count);
}

bool WriteFileSafely(const std::string& Directory, const std::string& FileName,
                     const TPartSource& Source, std::uint32_t Mode, bool Force, bool Flush,
                     bool& Exists, std::string& Problem) {
  Exists = false;
  const std::string Target = Directory + "/" + FileName;
  struct stat Info {};
  if (!Force && ::lstat(Target.c_str(), &Info) == 0) {
    Exists = true;
    return false;
  }
  TTempFile Temp;
  const auto Fail = [&](const std::string& What) {
    Problem = What + ": " + ErrnoText(errno);
    return false;
  };
  // A name of our own in the target directory, so the rename stays on one
  // file system; O_EXCL makes sure it is a new file.
  static unsigned Serial = 0;
  for (int Try = 0; Try < 100 && Temp.Fd < 0; ++Try) {
    Temp.Path = Directory + "/.msgextract." + std::to_string(::getpid()) + "." +
                std::to_string(++Serial) + ".tmp";
    NoteTempPath(Temp.Path);
    Temp.Fd = ::open(Temp.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(OwnerReadWrite));
    if (Temp.Fd < 0 && errno != EEXIST) {
      Temp.Path.clear();
      return Fail("cannot create a file in " + Directory);
    }
  }
  if (Temp.Fd < 0) {
    Temp.Path.clear();
    return Fail("cannot create a file in " + Directory);
  }
  // The mode as the begin line asks, less the umask; the owner can always
  // read and write it (a "begin 0000" file would be of no use otherwise).
  const auto FileMode = static_cast<mode_t>(
      ((Mode & FileModeMask) & ~static_cast<std::uint32_t>(CurrentUmask())) | OwnerReadWrite);
  if (::fchmod(Temp.Fd, FileMode) != 0) return Fail("cannot set the mode of " + Target);
  std::string Buffer;
  Buffer.reserve(WriteChunk);
  bool Wrote = true;
  const auto Put = [&](std::string_view Part) {
    if (Buffer.size() + Part.size() > WriteChunk) {
      Wrote = WriteAll(Temp.Fd, Buffer) && WriteAll(Temp.Fd, Part);
      Buffer.clear();
    } else {
      Buffer += Part;
    }
    return Wrote;
  };
  std::string Missing;
  if (!Source(Put, Missing)) {
    if (!Wrote) return Fail("cannot write " + Target);
    Problem = Missing;
    return false;
  }
  if (!WriteAll(Temp.Fd, Buffer) || (Flush && ::fsync(Temp.Fd) != 0))
    return Fail("cannot write " + Target);
  const int Fd = Temp.Fd;
  Temp.Fd = -1;
  if (::close(Fd) != 0) return Fail("cannot write " + Target);
  if (Force ? ::rename(Temp.Path.c_str(), Target.c_str()) != 0
            : !RenameNoReplace(Temp.Path, Target)) {
    if (errno == EEXIST) {
      Exists = true;
      return false;
    }
    return Fail("cannot rename the file into place as " + Target);
  }
  Temp.Keep = true;
  if (!Flush) return true;
  // The name reaches the disk with the directory.
  if (!msgbase::SyncDirectory(Directory)) return Fail("cannot flush the directory " + Directory);
  return true;
}

}  // namespace msgextract
