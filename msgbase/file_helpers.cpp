#include "msgbase/file_helpers.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "msgbase/stream.h"

namespace msgbase {

namespace {

bool IsDigit(char Ch) {
  return Ch >= '0' && Ch <= '9';
}

// Reads an optional sign and at least one digit, nothing else, into a value
// that must fit Min..Max. Value is left alone on failure.
bool ParseDecimal(const std::string& S, bool AllowMinus, std::int64_t Min, std::int64_t Max,
                  std::int64_t& Value) {
  std::size_t I = 0;
  bool Negative = false;
  if (I < S.size() && (S[I] == '+' || (AllowMinus && S[I] == '-'))) {
    Negative = S[I] == '-';
    ++I;
  }
  if (I == S.size()) return false;
  std::int64_t Result = 0;
  for (; I < S.size(); ++I) {
    if (!IsDigit(S[I])) return false;
    Result = Result * 10 + (S[I] - '0');
    // Stop before the 64-bit accumulator can overflow on absurdly long texts.
    if (Result > Max - Min) return false;
  }
  if (Negative) Result = -Result;
  if (Result < Min || Result > Max) return false;
  Value = Result;
  return true;
}

bool IsDelimiter(char Ch, std::string_view Delims) {
  return Delims.find(Ch) != std::string_view::npos;
}

}  // namespace

bool FileExists(const std::string& Name) {
  PMessageBaseFind Find = CreateMessageBaseFind();
  const bool Found = Find->StartSearch(Name, faAnyFile);
  Find->StopSearch();
  return Found;
}

bool FileHoldsBytes(const std::string& Name) {
  struct stat Info {};
  return ::stat(Name.c_str(), &Info) == 0 && (!S_ISREG(Info.st_mode) || Info.st_size > 0);
}

bool SameFile(const std::string& A, const std::string& B) {
  struct stat InfoA {};
  struct stat InfoB {};
  return ::stat(A.c_str(), &InfoA) == 0 && ::stat(B.c_str(), &InfoB) == 0 &&
         InfoA.st_dev == InfoB.st_dev && InfoA.st_ino == InfoB.st_ino;
}

std::string PreferredName(const std::string& Directory, const std::string& A, const std::string& B,
                          const std::string& Given) {
  const auto Rank = [&](const std::string& Name) {
    struct stat Info {};
    const bool Link = ::lstat((Directory + Name).c_str(), &Info) == 0 && S_ISLNK(Info.st_mode);
    return std::tuple(Link, Name != Given, Name);
  };
  return Rank(B) < Rank(A) ? B : A;
}

std::vector<std::string> FindNamesAnyCase(const std::string& Path) {
  const std::size_t Slash = Path.rfind('/');
  const std::string Directory = Slash == std::string::npos ? "" : Path.substr(0, Slash + 1);
  const std::string Wanted = Path.substr(Directory.size());
  std::vector<std::string> Names;
  if (Wanted.empty()) return Names;
  const auto Fold = [](char Ch) {
    return (Ch >= 'A' && Ch <= 'Z') ? static_cast<char>(Ch + 32) : Ch;
  };
  PMessageBaseFind Find = CreateMessageBaseFind();
  for (bool More = Find->StartSearch(Directory + "*", faAnyFile); More; More = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    if (Name.size() == Wanted.size() &&
        std::equal(Name.begin(), Name.end(), Wanted.begin(),
                   [&Fold](char A, char B) { return Fold(A) == Fold(B); })) {
      Names.push_back(Directory + Name);
    }
  }
  Find->StopSearch();
  return Names;
}

std::int32_t FindFileAnyCase(const std::string& Path, std::string& Found) {
  Found = Path;
  const std::string Directory = Path.substr(0, Path.rfind('/') + 1);
  const std::string Wanted = Path.substr(Directory.size());
  // One name for each file that matches; names are compared as files only
  // when there is more than one, which is rare.
  std::vector<std::string> Files;
  for (const std::string& Name : FindNamesAnyCase(Path)) {
    const auto Same = std::find_if(Files.begin(), Files.end(),
                                   [&](const std::string& Kept) { return SameFile(Kept, Name); });
    if (Same == Files.end()) {
      Files.push_back(Name);
    } else {
      *Same = Directory + PreferredName(Directory, Same->substr(Directory.size()),
                                        Name.substr(Directory.size()), Wanted);
    }
  }
  if (Files.size() == 1) Found = Files[0];
  return static_cast<std::int32_t>(Files.size());
}

bool FindBaseFiles(const std::string& Base, const std::vector<std::string>& Extensions,
                   TBaseFileNames& Files) {
  Files.Name.assign(Extensions.size(), "");
  Files.Present.assign(Extensions.size(), false);
  bool Unique = true;
  for (std::size_t I = 0; I < Extensions.size(); ++I) {
    const std::int32_t Matches = FindFileAnyCase(Base + Extensions[I], Files.Name[I]);
    Files.Present[I] = Matches == 1;
    if (Matches > 1) Unique = false;
  }
  if (Extensions.empty() || !Files.Present[0]) return Unique;
  const std::string Found = Files.Name[0].substr(Files.Name[0].size() - Extensions[0].size());
  const bool Lower =
      std::none_of(Found.begin(), Found.end(), [](char Ch) { return Ch >= 'A' && Ch <= 'Z'; });
  const bool Upper =
      std::none_of(Found.begin(), Found.end(), [](char Ch) { return Ch >= 'a' && Ch <= 'z'; });
  for (std::size_t I = 1; I < Extensions.size(); ++I) {
    if (Files.Present[I]) continue;
    std::string Extension = Extensions[I];
    for (char& Ch : Extension) {
      if (Lower && Ch >= 'A' && Ch <= 'Z') Ch = static_cast<char>(Ch + ('a' - 'A'));
      if (Upper && !Lower && Ch >= 'a' && Ch <= 'z') Ch = static_cast<char>(Ch - ('a' - 'A'));
    }
    Files.Name[I] = Base + Extension;
  }
  return Unique;
}

bool ClearStoppedCreation(const TBaseFileNames& Files, std::size_t& Blocking) {
  for (std::size_t I = 0; I < Files.Name.size(); ++I) {
    struct stat Info {};
    if (!Files.Present[I]) continue;
    if (::lstat(Files.Name[I].c_str(), &Info) != 0 || !S_ISREG(Info.st_mode) || Info.st_size != 0) {
      Blocking = I;
      return false;
    }
  }
  for (std::size_t I = 0; I < Files.Name.size(); ++I) {
    if (Files.Present[I]) (void)KillFile(Files.Name[I]);  // one left over shows when it is made
  }
  return true;
}

bool DirectoryExists(const std::string& Path) {
  // What a search of Path + "/*" needs, without reading a single entry: a
  // directory that opens for reading (which always lists its own ".").
  const int Fd = ::open(Path.empty() ? "/" : Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return false;
  (void)::close(Fd);  // only opened to read: nothing to lose
  return true;
}

bool KillFile(const std::string& Name) {
  return ::unlink(Name.c_str()) == 0;
}

bool RenameFile(const std::string& OldName, const std::string& NewName) {
  // A rename never replaces an existing file: losing the target silently
  // would turn a naming clash into data loss.
  if (::renameat2(AT_FDCWD, OldName.c_str(), AT_FDCWD, NewName.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the no-replace flag: test first, then rename.
  struct stat Info {};
  if (::lstat(NewName.c_str(), &Info) == 0) {
    errno = EEXIST;  // as the no-replace rename would say
    return false;
  }
  return ::rename(OldName.c_str(), NewName.c_str()) == 0;
}

bool SyncDirectory(const std::string& Path) {
  const int Fd = ::open(Path.empty() ? "." : Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return false;
  int Result = 0;
  do {
    Result = ::fsync(Fd);
  } while (Result != 0 && errno == EINTR);
  (void)::close(Fd);  // read-only: closing it loses nothing
  return Result == 0;
}

bool CreateDirectory(const std::string& Path) {
  std::string Full = ExpandPath(Path);
  if (Full == "/") return true;
  if (Full.size() > 1 && Full.back() == '/') Full.pop_back();
  // Make each ancestor in turn; failures (existing or impossible directories)
  // are ignored, the last mkdir tells the caller nothing either.
  // A directory made here reaches the disk with its entry in its parent, so
  // that a power cut cannot lose it with the files that go into it.
  const auto Make = [](const std::string& Dir) {
    if (::mkdir(Dir.c_str(), 0777) != 0) return;
    const std::string Parent = ExtractPathName(Dir);
    (void)SyncDirectory(Parent.empty() ? "/"
                                       : Parent);  // made all the same: a sync failure is no news
  };
  for (std::size_t I = 1; I < Full.size(); ++I) {
    if (Full[I] == '/') Make(Full.substr(0, I));
  }
  Make(Full);
  return true;
}

std::string ExpandPath(const std::string& Path) {
  std::string Joined;
  if (!Path.empty() && Path[0] == '/') {
    Joined = Path;
  } else {
    std::vector<char> Buf(4096);
    if (::getcwd(Buf.data(), Buf.size()) != nullptr) Joined = Buf.data();
    Joined += "/";
    Joined += Path;
  }
  // Resolve "." and ".." textually; the path need not exist.
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  while (Start <= Joined.size()) {
    std::size_t End = Joined.find('/', Start);
    if (End == std::string::npos) End = Joined.size();
    const std::string Part = Joined.substr(Start, End - Start);
    if (Part == "..") {
      if (!Parts.empty()) Parts.pop_back();
    } else if (!Part.empty() && Part != ".") {
      Parts.push_back(Part);
    }
    Start = End + 1;
  }
  std::string Result;
  for (const std::string& Part : Parts) Result += "/" + Part;
  if (Result.empty()) return "/";
  if (Path.size() > 1 && Path.back() == '/') Result += "/";
  return Result;
}

std::string ExtractPathName(const std::string& FileName) {
  const std::string Full = ExpandPath(FileName);
  const std::size_t Slash = Full.rfind('/');
  if (Slash == std::string::npos || Slash == 0) return "";
  return Full.substr(0, Slash);
}

void Delay(std::int32_t Ms) {
  const auto Low = static_cast<std::uint16_t>(Ms);
  timespec Wait{};
  Wait.tv_sec = Low / 1000;
  Wait.tv_nsec = static_cast<long>(Low % 1000) * 1000000L;
  // Sleep the remaining time again when a signal interrupts the pause.
  while (::nanosleep(&Wait, &Wait) != 0 && errno == EINTR) {
  }
}

std::string LongToStr(std::int32_t Value) {
  return std::to_string(Value);
}

bool StrToNumber(const std::string& S) {
  std::int64_t Value = 0;
  return ParseDecimal(S, true, std::numeric_limits<std::int32_t>::min(),
                      std::numeric_limits<std::int32_t>::max(), Value);
}

bool StrToInteger(const std::string& S, std::int16_t& Value) {
  if (S.empty()) {
    Value = 0;
    return true;
  }
  std::int64_t Parsed = 0;
  if (!ParseDecimal(S, true, std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max(), Parsed)) {
    Value = 0;
    return false;
  }
  // Keep the low 16 bits: 70000 becomes 4464, 40000 becomes -25536.
  Value = static_cast<std::int16_t>(static_cast<std::uint16_t>(Parsed & 0xFFFF));
  return true;
}

void StrToWord(const std::string& S, std::uint16_t& Value) {
  std::int64_t Parsed = 0;
  if (!ParseDecimal(S, false, 0, std::numeric_limits<std::uint32_t>::max(), Parsed)) {
    Value = 0;
    return;
  }
  Value = static_cast<std::uint16_t>(Parsed & 0xFFFF);
}

std::string ExtractWord(std::uint8_t N, const std::string& S, std::string_view Delims) {
  if (N == 0) return "";
  std::size_t I = 0;
  unsigned Count = 0;
  while (I < S.size()) {
    while (I < S.size() && IsDelimiter(S[I], Delims)) ++I;
    if (I == S.size()) break;
    const std::size_t Start = I;
    while (I < S.size() && !IsDelimiter(S[I], Delims)) ++I;
    if (++Count == N) return S.substr(Start, I - Start);
  }
  return "";
}

void ToASCIIZ(const std::string& S, char* P, std::size_t Limit) {
  if (Limit == 0) return;
  const std::size_t Length = std::min(S.size(), Limit - 1);
  std::memcpy(P, S.data(), Length);
  P[Length] = '\0';
}

std::string FromASCIIZ(const char* P, std::size_t Limit) {
  return std::string(P, std::min(LenASCIIZ(P, Limit), MaxTextLength));
}

void ConcatASCIIZ(char* Dest, std::size_t Limit, const char* Src, std::size_t SrcLimit) {
  if (Limit == 0) return;
  std::size_t DestLength = LenASCIIZ(Dest, Limit);
  // An unterminated Dest is cut so that the result is terminated again.
  if (DestLength == Limit) DestLength = Limit - 1;
  const std::size_t Length = std::min(LenASCIIZ(Src, SrcLimit), Limit - 1 - DestLength);
  std::memmove(Dest + DestLength, Src, Length);
  Dest[DestLength + Length] = '\0';
}

std::size_t LenASCIIZ(const char* P, std::size_t Limit) {
  const void* Zero = std::memchr(P, 0, Limit);
  return Zero == nullptr ? Limit : static_cast<std::size_t>(static_cast<const char*>(Zero) - P);
}

const char* PosASCIIZ(const char* Sub, std::size_t SubLimit, const char* S, std::size_t Limit) {
  const std::string_view Needle(Sub, LenASCIIZ(Sub, SubLimit));
  const std::string_view Hay(S, LenASCIIZ(S, Limit));
  const std::size_t Place = Hay.find(Needle);
  return Place == std::string_view::npos ? nullptr : S + Place;
}

int CompLASCIIZ(const char* A, const char* B, std::size_t N) {
  for (std::size_t I = 0; I < N; ++I) {
    const auto Ca = static_cast<unsigned char>(A[I]);
    const auto Cb = static_cast<unsigned char>(B[I]);
    if (Ca != Cb) return Ca < Cb ? -1 : 1;
    if (Ca == 0) return 0;
  }
  return 0;
}

}  // namespace msgbase
