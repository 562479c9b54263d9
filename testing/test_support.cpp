#include "testing/test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testing_support {

TTempDir::TTempDir() {
  const char* Base = std::getenv("TMPDIR");
  std::string Root = (Base != nullptr && *Base != '\0') ? Base : "/tmp";
  if (Root.find_first_of("-+=") != std::string::npos) Root = "/tmp";
  std::string Pattern = Root + "/vellumartestXXXXXX";
  std::vector<char> Buf(Pattern.begin(), Pattern.end());
  Buf.push_back('\0');
  if (mkdtemp(Buf.data()) != nullptr) Path_ = Buf.data();
}

TTempDir::~TTempDir() {
  if (Path_.empty()) return;
  std::error_code Ec;
  std::filesystem::remove_all(Path_, Ec);
}

std::string TTempDir::File(const std::string& Name) const {
  return Path_ + "/" + Name;
}

TFileSnapshot SnapshotFiles(const std::string& Dir) {
  TFileSnapshot Result;
  std::error_code Ec;
  for (const auto& Entry : std::filesystem::recursive_directory_iterator(Dir, Ec)) {
    if (!Entry.is_regular_file()) continue;
    struct stat Info {};
    if (::stat(Entry.path().c_str(), &Info) != 0) continue;
    const std::int64_t Time =
        static_cast<std::int64_t>(Info.st_mtim.tv_sec) * 1000000000 + Info.st_mtim.tv_nsec;
    Result[std::filesystem::relative(Entry.path(), Dir, Ec).string()] = {
        Time, ReadFileBytes(Entry.path().string())};
  }
  return Result;
}

namespace {

// The whole file in large reads: the test code is compiled unoptimised, and
// byte by byte through a stream buffer a base of a few megabytes cost seconds
// under the sanitizers.
template <typename TBuffer>
TBuffer ReadWhole(const std::string& Path) {
  TBuffer Data;
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return Data;
  struct stat Info {};
  std::size_t Size = 0;
  Data.resize(::fstat(Fd, &Info) == 0 && Info.st_size > 0 ? static_cast<std::size_t>(Info.st_size)
                                                          : std::size_t{1} << 16);
  for (;;) {
    if (Size == Data.size()) Data.resize(Data.size() * 2);
    const ssize_t Got = ::read(Fd, Data.data() + Size, Data.size() - Size);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) break;
    Size += static_cast<std::size_t>(Got);
  }
  ::close(Fd);
  Data.resize(Size);
  return Data;
}

}  // namespace

TBytes ReadFileBytes(const std::string& Path) {
  return ReadWhole<TBytes>(Path);
}

std::string ReadFileText(const std::string& Path) {
  return ReadWhole<std::string>(Path);
}

TBytes SampleBytes(std::size_t Size, std::uint32_t Seed) {
  TBytes Data(Size);
  std::uint32_t X = Seed + static_cast<std::uint32_t>(Size);
  // Through a pointer: unoptimised iterator steps cost seconds a test.
  std::uint8_t* Out = Data.data();
  for (std::size_t I = 0; I < Size; ++I) {
    X = X * 1664525u + 1013904223u;
    Out[I] = static_cast<std::uint8_t>(X >> 24);
  }
  return Data;
}

bool WriteFileBytes(const std::string& Path, const TBytes& Data) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  if (!Out) return false;
  Out.write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Data.size()));
  return static_cast<bool>(Out);
}

bool WriteFileText(const std::string& Path, const std::string& Data) {
  return WriteFileBytes(Path, TBytes(Data.begin(), Data.end()));
}

bool PathExists(const std::string& Path) {
  std::error_code Ec;
  return std::filesystem::exists(Path, Ec);
}

std::string HexDump(const TBytes& Data) {
  std::ostringstream Out;
  char Line[32];
  for (std::size_t Row = 0; Row < Data.size(); Row += 16) {
    std::snprintf(Line, sizeof Line, "%06zx:", Row);
    Out << Line;
    for (std::size_t I = Row; I < Row + 16 && I < Data.size(); ++I) {
      std::snprintf(Line, sizeof Line, " %02x", Data[I]);
      Out << Line;
    }
    Out << "  |";
    for (std::size_t I = Row; I < Row + 16 && I < Data.size(); ++I)
      Out << ((Data[I] >= 0x20 && Data[I] < 0x7f) ? static_cast<char>(Data[I]) : '.');
    Out << "|\n";
  }
  return Out.str();
}

std::string DescribeMismatch(const TBytes& Expected, const TBytes& Actual) {
  if (Expected == Actual) return "";
  std::size_t First = 0;
  while (First < Expected.size() && First < Actual.size() && Expected[First] == Actual[First])
    ++First;
  std::ostringstream Out;
  Out << "sizes " << Expected.size() << " (expected) and " << Actual.size()
      << " (actual); first difference at offset " << First << "\nexpected:\n"
      << HexDump(Expected) << "actual:\n"
      << HexDump(Actual);
  return Out.str();
}

void PutLE16(TBytes& Out, std::uint16_t Value) {
  Out.push_back(static_cast<std::uint8_t>(Value & 0xFF));
  Out.push_back(static_cast<std::uint8_t>(Value >> 8));
}

void PutLE32(TBytes& Out, std::uint32_t Value) {
  for (int Shift = 0; Shift < 32; Shift += 8)
    Out.push_back(static_cast<std::uint8_t>((Value >> Shift) & 0xFF));
}

void PutText(TBytes& Out, const std::string& Text, std::size_t Width) {
  for (std::size_t I = 0; I < Width; ++I)
    Out.push_back(I < Text.size() ? static_cast<std::uint8_t>(Text[I]) : 0);
}

TFileSizeLimit::TFileSizeLimit(std::uint64_t Bytes) {
  OldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit Limit{};
  (void)getrlimit(RLIMIT_FSIZE, &Limit);
  OldLimit_ = Limit.rlim_cur;
  Limit.rlim_cur = static_cast<rlim_t>(Bytes);
  (void)setrlimit(RLIMIT_FSIZE, &Limit);
}

TFileSizeLimit::~TFileSizeLimit() {
  rlimit Limit{};
  (void)getrlimit(RLIMIT_FSIZE, &Limit);
  Limit.rlim_cur = static_cast<rlim_t>(OldLimit_);
  (void)setrlimit(RLIMIT_FSIZE, &Limit);
  (void)std::signal(SIGXFSZ, OldHandler_);
}

bool OpenPseudoTerminal(int& Controller, int& Terminal) {
  Controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (Controller < 0) return false;
  std::array<char, 128> Name{};
  if (::grantpt(Controller) == 0 && ::unlockpt(Controller) == 0 &&
      ::ptsname_r(Controller, Name.data(), Name.size()) == 0) {
    Terminal = ::open(Name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Terminal >= 0) return true;
  }
  ::close(Controller);
  Controller = -1;
  return false;
}

void RunUudecode(const std::string& Command) {
  const int Status = std::system(Command.c_str());
  (void)Status;  // not meaningful, see the header
}

std::uint32_t Le32(const TBytes& Bytes, std::size_t Offset) {
  if (Offset + 4 > Bytes.size()) return 0xDEADBEEF;
  return static_cast<std::uint32_t>(Bytes[Offset]) |
         (static_cast<std::uint32_t>(Bytes[Offset + 1]) << 8) |
         (static_cast<std::uint32_t>(Bytes[Offset + 2]) << 16) |
         (static_cast<std::uint32_t>(Bytes[Offset + 3]) << 24);
}

}  // namespace testing_support
