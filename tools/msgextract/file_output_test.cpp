#include "tools/msgextract/file_output.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace msgextract {
namespace {

using testing_support::TTempDir;

// Names in the directory, temporary files included.
std::vector<std::string> Names(const std::string& Dir) {
  std::vector<std::string> Result;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir))
    Result.push_back(Entry.path().filename().string());
  return Result;
}

TEST(FileOutputTest, FileIsWrittenWithASafeModeAndNoLeftovers) {
  TTempDir Dir;
  const mode_t Old = ::umask(022);
  bool Exists = true;
  std::string Problem;
  EXPECT_TRUE(
      WriteFileSafely(Dir.Path(), "f", PartsSource({"data"}), 07777, false, true, Exists, Problem))
      << Problem;
  ::umask(Old);
  EXPECT_FALSE(Exists);
  EXPECT_EQ("data", testing_support::ReadFileText(Dir.File("f")));
  struct stat Info {};
  ASSERT_EQ(0, ::stat(Dir.File("f").c_str(), &Info));
  EXPECT_EQ(0644u, Info.st_mode & 07777u);
  EXPECT_EQ(std::vector<std::string>{"f"}, Names(Dir.Path()));
}

TEST(FileOutputTest, MorePartsThanOneWriteTakesArrive) {
  TTempDir Dir;
  const std::vector<std::string> Texts = {"ab", "", "cde"};
  std::vector<std::string_view> Parts;
  std::string Want;
  for (int I = 0; I < 3000; ++I) {
    Parts.emplace_back(Texts[static_cast<std::size_t>(I % 3)]);
    Want += Texts[static_cast<std::size_t>(I % 3)];
  }
  bool Exists = false;
  std::string Problem;
  EXPECT_TRUE(
      WriteFileSafely(Dir.Path(), "f", PartsSource(Parts), 0644, false, false, Exists, Problem));
  EXPECT_EQ(Want, testing_support::ReadFileText(Dir.File("f")));
}

TEST(FileOutputTest, ExistingFileIsKeptUnlessForced) {
  TTempDir Dir;
  ASSERT_TRUE(testing_support::WriteFileText(Dir.File("f"), "old"));
  bool Exists = false;
  std::string Problem;
  EXPECT_FALSE(
      WriteFileSafely(Dir.Path(), "f", PartsSource({"new"}), 0644, false, false, Exists, Problem));
  EXPECT_TRUE(Exists);
  EXPECT_EQ("old", testing_support::ReadFileText(Dir.File("f")));
  EXPECT_TRUE(
      WriteFileSafely(Dir.Path(), "f", PartsSource({"new"}), 0644, true, true, Exists, Problem));
  EXPECT_EQ("new", testing_support::ReadFileText(Dir.File("f")));
  // A dangling symbolic link counts as existing: nothing is written through it.
  ASSERT_EQ(0, ::symlink(Dir.File("target").c_str(), Dir.File("link").c_str()));
  EXPECT_FALSE(
      WriteFileSafely(Dir.Path(), "link", PartsSource({"x"}), 0644, false, false, Exists, Problem));
  EXPECT_TRUE(Exists);
  EXPECT_FALSE(testing_support::PathExists(Dir.File("target")));
  EXPECT_EQ(2u, Names(Dir.Path()).size());
}

TEST(FileOutputTest, UnwritableDirectoryFailsWithoutLeftovers) {
  TTempDir Dir;
  bool Exists = false;
  std::string Problem;
  EXPECT_FALSE(WriteFileSafely(Dir.File("none"), "f", PartsSource({"x"}), 0644, false, false,
                               Exists, Problem));
  EXPECT_FALSE(Exists);
  EXPECT_NE(std::string::npos, Problem.find("cannot create a file in")) << Problem;
  EXPECT_TRUE(Names(Dir.Path()).empty());
}

}  // namespace
}  // namespace msgextract
