#include "front/progress.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "testing/test_support.h"

namespace vellumar {
namespace {

TEST(ProgressTest, TextCountsTheSectionsLeftAtTheSerialPace) {
  EXPECT_EQ("Posting section 1 of 1, about 0:01 left", ProgressText(1, 1));
  EXPECT_EQ("Posting section 1 of 1192, about 0:12 left", ProgressText(1, 1192));
  EXPECT_EQ("Posting section 1093 of 1192, about 0:01 left", ProgressText(1093, 1192));
  EXPECT_EQ("Posting section 1092 of 1192, about 0:02 left", ProgressText(1092, 1192));
  EXPECT_EQ("Posting section 1 of 65535, about 10:56 left", ProgressText(1, 65535));
}

// Everything the controller side holds now.
std::string Drain(int Controller) {
  std::string Got;
  pollfd P{Controller, POLLIN, 0};
  char Buffer[512];
  while (::poll(&P, 1, 100) > 0) {
    const ssize_t N = ::read(Controller, Buffer, sizeof Buffer);
    if (N <= 0) break;
    Got.append(Buffer, static_cast<std::size_t>(N));
  }
  return Got;
}

// A clock the test moves by hand.
std::int64_t FakeNow = 0;
std::int64_t FakeClock() {
  return FakeNow;
}

TEST(ProgressTest, OnATerminalTheLineIsRewrittenAtMostTenTimesASecondAndErased) {
  int Controller = -1;
  int Terminal = -1;
  if (!testing_support::OpenPseudoTerminal(Controller, Terminal))
    GTEST_SKIP() << "no pseudo-terminal on this system";
  {
    FakeNow = 5000;
    TProgress Progress(Terminal, FakeClock);
    ASSERT_TRUE(Progress.GetEnabled());
    Progress.Show(100, 100);
    FakeNow += TProgress::RedrawMilliseconds - 1;
    Progress.Show(2, 5);  // too soon: not drawn
    FakeNow += 1;
    Progress.Show(1, 5);  // shorter: blanks cover the old tail
  }                       // erased when it goes
  const std::string Long = "Posting section 100 of 100, about 0:01 left";
  const std::string Short = "Posting section 1 of 5, about 0:01 left";
  EXPECT_EQ("\r" + Long + "\r" + Short + "    " + "\r" + std::string(Short.size(), ' ') + "\r",
            Drain(Controller));
  ::close(Terminal);
  ::close(Controller);
}

TEST(ProgressTest, ElsewhereNothingIsWritten) {
  int Pipe[2];
  ASSERT_EQ(0, ::pipe(Pipe));
  {
    TProgress Progress(Pipe[1]);
    EXPECT_FALSE(Progress.GetEnabled());
    Progress.Show(1, 3);
    Progress.Clear();
  }
  ::close(Pipe[1]);
  char Byte = 0;
  EXPECT_EQ(0, ::read(Pipe[0], &Byte, 1));
  ::close(Pipe[0]);
}

}  // namespace
}  // namespace vellumar
