// Shared helpers for the unit and end-to-end tests: a temporary directory that
// removes itself, whole-file reads and writes, and a hex dump that makes byte
// mismatches readable in test output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using TBytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp) whose path holds no '-', '+' or '='
// (the program scans its own invocation path for keywords). Removed with all
// its contents when the object goes out of scope.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return Path_; }
  // Path() + "/" + Name.
  std::string File(const std::string& Name) const;

 private:
  std::string Path_;
};

// Whole file as bytes; an empty vector when it cannot be read.
TBytes ReadFileBytes(const std::string& Path);
// Size bytes that look random, the same for the same Size and Seed.
TBytes SampleBytes(std::size_t Size, std::uint32_t Seed);
// The little-endian 32-bit value at Offset of Bytes; 0xDEADBEEF, which no
// test expects, when the four bytes are not all there.
std::uint32_t Le32(const TBytes& Bytes, std::size_t Offset);
std::string ReadFileText(const std::string& Path);
// Writes (creates or truncates) the file; returns false on failure.
bool WriteFileBytes(const std::string& Path, const TBytes& Data);
bool WriteFileText(const std::string& Path, const std::string& Data);
bool PathExists(const std::string& Path);

// Every regular file under Dir (recursively): its path relative to Dir mapped
// to its modification time in nanoseconds and its bytes, so that one
// comparison shows whether anything was written, even the same bytes again.
using TFileSnapshot = std::map<std::string, std::pair<std::int64_t, TBytes>>;
TFileSnapshot SnapshotFiles(const std::string& Dir);

// Offset-labelled hex dump, 16 bytes a row.
std::string HexDump(const TBytes& Data);
// Empty when equal; otherwise a description of the first difference and both dumps.
std::string DescribeMismatch(const TBytes& Expected, const TBytes& Actual);

// While it lives, files of this process may grow only to Bytes: a write that
// would pass that fails (EFBIG) as on a full disk instead of raising SIGXFSZ.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(std::uint64_t Bytes);
  ~TFileSizeLimit();
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  std::uint64_t OldLimit_ = 0;
  void (*OldHandler_)(int) = nullptr;
};

// Opens a pseudo-terminal pair, both ends close-on-exec and neither made the
// controlling terminal: Terminal is what a program under test writes to (the
// tests of terminal-only output), Controller is where the test reads it back.
// False, with nothing left open, when the system has none to give.
bool OpenPseudoTerminal(int& Controller, int& Terminal);

// Runs Command through the shell and ignores its exit status: sharutils'
// uudecode reports a missing end line (status 2) when a file's size is a
// multiple of 45, yet decodes completely, so callers judge the bytes.
void RunUudecode(const std::string& Command);

// Little-endian appends for building expected records by hand.
void PutLE16(TBytes& Out, std::uint16_t Value);
void PutLE32(TBytes& Out, std::uint32_t Value);
void PutText(TBytes& Out, const std::string& Text, std::size_t Width);  // zero-padded

}  // namespace testing_support

#define EXPECT_BYTES_EQ(expected, actual) \
  EXPECT_EQ("", ::testing_support::DescribeMismatch((expected), (actual)))
