#include "front/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/output.h"
#include "testing/test_support.h"

namespace vellumar {
namespace {

using testing_support::TTempDir;
using testing_support::WriteFileText;

std::vector<std::string> ReadAll(const std::string& Path, int& IOResult) {
  std::vector<std::string> Result;
  TTextReader Reader;
  if (Reader.Open(Path)) {
    std::string Line;
    while (Reader.ReadLn(Line)) Result.push_back(Line);
  }
  IOResult = Reader.GetIOResult();
  return Result;
}

TEST(TextFileTest, EveryLineEndFormEndsALine) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("t"), "a\nb\r\nc\rd\r\r\ne\n\nlast"));
  int IOResult = -1;
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "", "e", "", "last"}),
            ReadAll(Dir.File("t"), IOResult));
  EXPECT_EQ(0, IOResult);
}

TEST(TextFileTest, FinalLineEndAddsNoEmptyLine) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("t"), "one\r\n"));
  int IOResult = -1;
  EXPECT_EQ(std::vector<std::string>{"one"}, ReadAll(Dir.File("t"), IOResult));
  ASSERT_TRUE(WriteFileText(Dir.File("e"), ""));
  EXPECT_TRUE(ReadAll(Dir.File("e"), IOResult).empty());
}

TEST(TextFileTest, LongLinesKeepTheirFirst255Characters) {
  TTempDir Dir;
  const std::string Long = std::string(255, 'a') + std::string(5000, 'b');
  ASSERT_TRUE(WriteFileText(Dir.File("t"), Long + "\nnext\n"));
  int IOResult = -1;
  EXPECT_EQ((std::vector<std::string>{std::string(255, 'a'), "next"}),
            ReadAll(Dir.File("t"), IOResult));
}

TEST(TextFileTest, FailuresGiveClassicNumbers) {
  TTempDir Dir;
  int IOResult = 0;
  (void)ReadAll(Dir.File("missing"), IOResult);
  EXPECT_EQ(reFileNotFound, IOResult);
  (void)ReadAll(Dir.File("missing/x"), IOResult);
  EXPECT_EQ(reFileNotFound, IOResult);
  ASSERT_TRUE(WriteFileText(Dir.File("plain"), "x"));
  (void)ReadAll(Dir.File("plain/x"), IOResult);
  EXPECT_EQ(rePathNotFound, IOResult);
  (void)ReadAll(Dir.Path(), IOResult);
  EXPECT_EQ(reDiskRead, IOResult) << "reading a directory fails";
}

TEST(TextFileTest, FileExistsIsFalseForDirectories) {
  TTempDir Dir;
  ASSERT_TRUE(WriteFileText(Dir.File("f"), ""));
  EXPECT_TRUE(FileExists(Dir.File("f")));
  EXPECT_FALSE(FileExists(Dir.Path()));
  EXPECT_FALSE(FileExists(Dir.File("none")));
  EXPECT_FALSE(FileExists(Dir.File("f") + "/"));
}

}  // namespace
}  // namespace vellumar
