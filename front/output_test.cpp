#include "front/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace vellumar {
namespace {

void WriteIntoFullDisk() {
  const int Full = ::open("/dev/full", O_WRONLY);
  if (Full < 0 || ::dup2(Full, STDOUT_FILENO) < 0) ::_exit(99);
  WriteLn("lost");
  ::_exit(0);
}

TEST(OutputDeathTest, FailedWriteEndsWithDiskWriteError) {
  EXPECT_EXIT(WriteIntoFullDisk(), ::testing::ExitedWithCode(reDiskWrite),
              "Runtime error 101: disk write error \\(standard output\\)");
}

TEST(OutputDeathTest, ErrorEndsWithStatusOne) {
  EXPECT_EXIT(Error("refused"), ::testing::ExitedWithCode(1), "");
}

TEST(OutputDeathTest, RunErrorEndsWithItsNumber) {
  EXPECT_EXIT(RunError(reAccessDenied, "/x"), ::testing::ExitedWithCode(reAccessDenied), "");
}

TEST(OutputTest, ErrnoMapsToClassicNumbers) {
  EXPECT_EQ(reFileNotFound, IOErrorCode(ENOENT));
  EXPECT_EQ(rePathNotFound, IOErrorCode(ENOTDIR));
  EXPECT_EQ(reAccessDenied, IOErrorCode(EACCES));
  EXPECT_EQ(reDiskRead, IOErrorCode(EIO));
  EXPECT_EQ("Runtime error 5: access denied (/etc/x)", RunErrorText(reAccessDenied, "/etc/x"));
}

}  // namespace
}  // namespace vellumar
