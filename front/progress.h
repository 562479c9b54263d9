// One line of progress on standard error while a posting runs, for an
// operator who watches it on a terminal: which section goes out and about how
// long the rest takes at the pace of the message serials (one message a
// hundredth of a second at best). The line is rewritten in place and erased
// when the posting ends. It is redrawn at most ten times a second: a posting
// of a thousand sections would otherwise send tens of kilobytes to the
// terminal, far more than anyone can read. When standard error is not a terminal (cron, a pipe,
// a log file) nothing at all is written, and standard output never carries
// any of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vellumar {

// "Posting section 12 of 1192, about 0:12 left": Index of Count sections
// goes out now; the time covers it and every one after it, rounded up to
// whole seconds at one section a hundredth of a second.
[[nodiscard]] std::string ProgressText(std::uint32_t Index, std::uint32_t Count);

// Milliseconds on a clock that never goes back; tests hand in their own.
using TProgressClock = std::int64_t (*)();
[[nodiscard]] std::int64_t MonotonicMilliseconds();

class TProgress {
 public:
  // Least time between two drawings of the line.
  static constexpr std::int64_t RedrawMilliseconds = 100;

  // Shows progress on the descriptor Fd only when Fd is a terminal.
  explicit TProgress(int Fd, TProgressClock Clock = MonotonicMilliseconds);
  // Erases the line.
  ~TProgress();
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;

  // Rewrites the line for section Index of Count, unless it was drawn less
  // than RedrawMilliseconds ago (the first call always draws).
  void Show(std::uint32_t Index, std::uint32_t Count);
  // Erases the line, so what follows on the terminal starts at a clean line.
  // Nothing happens when no line is shown.
  void Clear();
  [[nodiscard]] bool GetEnabled() const { return Enabled_; }

 private:
  // Writes Text whole; a terminal that refuses it only loses the progress.
  void Put(const std::string& Text);

  int Fd_ = -1;
  bool Enabled_ = false;
  TProgressClock Clock_ = nullptr;
  std::int64_t DrawnAt_ = 0;  // when the line was last drawn, while Shown_ > 0
  std::size_t Shown_ = 0;     // length of the line on the terminal
};

}  // namespace vellumar
