#include "front/progress.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace vellumar {

namespace {

// The serials allow one message a hundredth of a second.
constexpr std::uint32_t MessagesPerSecond = 100;

}  // namespace

std::string ProgressText(std::uint32_t Index, std::uint32_t Count) {
  const std::uint32_t Left = Count >= Index ? Count - Index + 1 : 0;
  const std::uint32_t Seconds = (Left + MessagesPerSecond - 1) / MessagesPerSecond;
  const std::string Secs = std::to_string(Seconds % 60);
  return "Posting section " + std::to_string(Index) + " of " + std::to_string(Count) + ", about " +
         std::to_string(Seconds / 60) + ":" + (Secs.size() < 2 ? "0" : "") + Secs + " left";
}

std::int64_t MonotonicMilliseconds() {
  timespec Now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &Now);  // cannot fail for this clock
  return static_cast<std::int64_t>(Now.tv_sec) * 1000 + Now.tv_nsec / 1000000;
}

TProgress::TProgress(int Fd, TProgressClock Clock)
    : Fd_(Fd), Enabled_(::isatty(Fd) == 1), Clock_(Clock) {}

TProgress::~TProgress() {
  Clear();
}

void TProgress::Show(std::uint32_t Index, std::uint32_t Count) {
  if (!Enabled_) return;
  const std::int64_t Now = Clock_();
  if (Shown_ > 0 && Now - DrawnAt_ < RedrawMilliseconds) return;
  DrawnAt_ = Now;
  std::string Line = ProgressText(Index, Count);
  const std::size_t Length = Line.size();
  // Blanks over the tail of a longer line shown before.
  if (Shown_ > Length) Line.append(Shown_ - Length, ' ');
  Put("\r" + Line);
  Shown_ = Length;
}

void TProgress::Clear() {
  if (!Enabled_ || Shown_ == 0) return;
  std::string Blanks = "\r";
  Blanks.append(Shown_, ' ');
  Put(Blanks + '\r');
  Shown_ = 0;
}

void TProgress::Put(const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t Wrote = ::write(Fd_, Text.data() + Done, Text.size() - Done);
    if (Wrote < 0 && errno == EINTR) continue;
    if (Wrote <= 0) {
      // Progress is a courtesy: a terminal that went away does not stop a
      // posting, it only ends the progress.
      Enabled_ = false;
      return;
    }
    Done += static_cast<std::size_t>(Wrote);
  }
}

}  // namespace vellumar
