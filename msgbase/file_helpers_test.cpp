#include "msgbase/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>

#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::PathExists;
using testing_support::ReadFileText;
using testing_support::TTempDir;
using testing_support::WriteFileText;

// Runs the body with Dir as the working directory, restoring the old one.
class TWorkingDirectory {
 public:
  explicit TWorkingDirectory(const std::string& Dir) {
    std::array<char, 4096> Buf{};
    Old_ = ::getcwd(Buf.data(), Buf.size()) != nullptr ? Buf.data() : "/";
    EXPECT_EQ(0, ::chdir(Dir.c_str()));
  }
  ~TWorkingDirectory() { EXPECT_EQ(0, ::chdir(Old_.c_str())); }

 private:
  std::string Old_;
};

TEST(FileHelpersTest, ExistenceOfFilesAndDirectories) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("a.msg"), "x"));
  EXPECT_TRUE(FileExists(Dir.File("a.msg")));
  EXPECT_TRUE(FileExists(Dir.File("*.msg")));  // wildcards act as wildcards
  EXPECT_FALSE(FileExists(Dir.File("b.msg")));
  EXPECT_TRUE(FileExists(Dir.Path()));  // a directory counts
  EXPECT_TRUE(DirectoryExists(Dir.Path()));
  EXPECT_TRUE(DirectoryExists(Dir.Path() + "/"));
  EXPECT_FALSE(DirectoryExists(Dir.File("missing")));
  EXPECT_TRUE(DirectoryExists(""));                  // means "/"
  EXPECT_FALSE(DirectoryExists(Dir.File("a.msg")));  // a file is no directory
  // An empty directory still lists its own entries.
  ASSERT_EQ(0, ::mkdir(Dir.File("empty").c_str(), 0777));
  EXPECT_TRUE(DirectoryExists(Dir.File("empty")));
  // A link to a directory is one, as a search through it finds.
  ASSERT_EQ(0, ::symlink(Dir.File("empty").c_str(), Dir.File("link").c_str()));
  EXPECT_TRUE(DirectoryExists(Dir.File("link")));
  EXPECT_TRUE(DirectoryExists(Dir.File("link") + "/"));
}

// What a stopped creation leaves (an empty file) holds nothing; anything
// else of that name does.
TEST(FileHelpersTest, FileHoldsBytesAndSyncDirectory) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("empty"), ""));
  ASSERT_TRUE(WriteFileText(Dir.File("one"), "x"));
  ASSERT_EQ(0, ::mkdir(Dir.File("dir").c_str(), 0777));
  EXPECT_FALSE(FileHoldsBytes(Dir.File("empty")));
  EXPECT_FALSE(FileHoldsBytes(Dir.File("missing")));
  EXPECT_TRUE(FileHoldsBytes(Dir.File("one")));
  EXPECT_TRUE(FileHoldsBytes(Dir.File("dir")));
  EXPECT_TRUE(SyncDirectory(Dir.Path()));
  EXPECT_FALSE(SyncDirectory(Dir.File("missing")));
  EXPECT_FALSE(SyncDirectory(Dir.File("one")));
}

TEST(FileHelpersTest, KillAndRename) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("old"), "old"));
  ASSERT_TRUE(WriteFileText(Dir.File("taken"), "taken"));
  EXPECT_TRUE(RenameFile(Dir.File("old"), Dir.File("new")));
  EXPECT_EQ("old", ReadFileText(Dir.File("new")));
  // A rename never replaces an existing file.
  EXPECT_FALSE(RenameFile(Dir.File("new"), Dir.File("taken")));
  EXPECT_EQ("taken", ReadFileText(Dir.File("taken")));
  EXPECT_TRUE(KillFile(Dir.File("new")));
  EXPECT_FALSE(PathExists(Dir.File("new")));
  EXPECT_FALSE(KillFile(Dir.File("new")));
  EXPECT_FALSE(RenameFile(Dir.File("new"), Dir.File("other")));
}

TEST(FileHelpersTest, CreateDirectoryMakesTheWholePath) {
  TTempDir Dir;
  EXPECT_TRUE(CreateDirectory(Dir.File("a/b/c/")));
  EXPECT_TRUE(DirectoryExists(Dir.File("a/b/c")));
  EXPECT_TRUE(CreateDirectory(Dir.File("a/b/c")));  // already there
  ASSERT_TRUE(WriteFileText(Dir.File("file"), "x"));
  EXPECT_TRUE(CreateDirectory(Dir.File("file/sub")));  // impossible, still true
  EXPECT_FALSE(DirectoryExists(Dir.File("file/sub")));
  TWorkingDirectory Here(Dir.Path());
  EXPECT_TRUE(CreateDirectory("rel/sub"));
  EXPECT_TRUE(DirectoryExists(Dir.File("rel/sub")));
}

TEST(FileHelpersTest, PathNames) {
  TTempDir Dir;
  TWorkingDirectory Here(Dir.Path());
  const std::string Cwd = ExpandPath(".");
  EXPECT_EQ(Cwd + "/base", ExtractPathName("base/1.msg"));
  EXPECT_EQ("", ExtractPathName("/1.msg"));
  EXPECT_EQ("/var/spool", ExtractPathName("/var/spool/area"));
  EXPECT_EQ("/a/c", ExpandPath("/a/./b/../c"));
  EXPECT_EQ("/a/", ExpandPath("/a//"));
  EXPECT_EQ(Cwd + "/x", ExpandPath("x"));
  EXPECT_EQ("/", ExpandPath("/.."));
}

TEST(FileHelpersTest, DelayUsesTheLow16Bits) {
  const auto Start = std::chrono::steady_clock::now();
  Delay(65536 + 20);
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_GE(Elapsed, std::chrono::milliseconds(20));
  EXPECT_LT(Elapsed, std::chrono::seconds(30));
}

TEST(FileHelpersTest, DecimalNumbers) {
  EXPECT_EQ("-2147483648", LongToStr(INT32_MIN));
  EXPECT_EQ("0", LongToStr(0));
  EXPECT_TRUE(StrToNumber("-2147483648"));
  EXPECT_TRUE(StrToNumber("+12"));
  EXPECT_FALSE(StrToNumber("2147483648"));
  EXPECT_FALSE(StrToNumber(""));
  EXPECT_FALSE(StrToNumber("-"));
  EXPECT_FALSE(StrToNumber(" 1"));
  EXPECT_FALSE(StrToNumber("99999999999999999999999999"));

  std::int16_t I = 99;
  EXPECT_TRUE(StrToInteger("", I));
  EXPECT_EQ(0, I);
  I = 99;
  EXPECT_FALSE(StrToInteger("12a", I));
  EXPECT_EQ(0, I);
  EXPECT_TRUE(StrToInteger("70000", I));
  EXPECT_EQ(4464, I);
  EXPECT_TRUE(StrToInteger("-5", I));
  EXPECT_EQ(-5, I);

  std::uint16_t W = 99;
  StrToWord("65537", W);
  EXPECT_EQ(1, W);
  StrToWord("x", W);
  EXPECT_EQ(0, W);
  W = 99;
  StrToWord("-1", W);
  EXPECT_EQ(0, W);
}

TEST(FileHelpersTest, ExtractWordSkipsDelimiterRuns) {
  EXPECT_EQ("b", ExtractWord(2, "a..b", "."));
  EXPECT_EQ("", ExtractWord(3, "a.b", "."));
  EXPECT_EQ("a", ExtractWord(1, "..a.", "."));
  EXPECT_EQ("", ExtractWord(0, "a", "."));
  EXPECT_EQ("100", ExtractWord(3, "2:5020/100.7", ".:/"));
  EXPECT_EQ("", ExtractWord(1, "", " "));
}

TEST(FileHelpersTest, ZeroTerminatedBuffersStayInsideTheirLimit) {
  std::array<char, 8> Buf{};
  Buf.fill('#');
  ToASCIIZ("abcdefghij", Buf.data(), Buf.size());
  EXPECT_STREQ("abcdefg", Buf.data());
  EXPECT_EQ(7u, LenASCIIZ(Buf.data(), Buf.size()));

  ToASCIIZ("ab", Buf.data(), Buf.size());
  ConcatASCIIZ(Buf.data(), Buf.size(), "cdefghij", 9);
  EXPECT_STREQ("abcdefg", Buf.data());

  const std::string Long(300, 'y');
  EXPECT_EQ(std::string(255, 'y'), FromASCIIZ(Long.c_str(), Long.size() + 1));
  const std::array<char, 4> Unterminated{'a', 'b', 'c', 'd'};
  EXPECT_EQ("abcd", FromASCIIZ(Unterminated.data(), Unterminated.size()));
  EXPECT_EQ(4u, LenASCIIZ(Unterminated.data(), Unterminated.size()));

  const char Text[] = "hello world";
  EXPECT_EQ(Text + 6, PosASCIIZ("wor", 4, Text, sizeof(Text)));
  EXPECT_EQ(nullptr, PosASCIIZ("xyz", 4, Text, sizeof(Text)));
  EXPECT_EQ(nullptr, PosASCIIZ("world", 6, Text, 8));  // S cut by its limit

  EXPECT_EQ(0, CompLASCIIZ("abcX", "abcY", 3));
  EXPECT_LT(CompLASCIIZ("abc", "abd", 5), 0);
  EXPECT_GT(CompLASCIIZ("b", "a", 5), 0);
  EXPECT_EQ(0, CompLASCIIZ("ab", "ab", 10));
  EXPECT_LT(CompLASCIIZ("ab", "abc", 10), 0);
}

}  // namespace
}  // namespace msgbase
