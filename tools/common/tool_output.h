// The checked output of the tools: every line a tool prints goes through one
// TOutput, which queues lines, writes them in large pieces and keeps the first
// failed write, so that a run can go on to its end and then report that its
// standard output failed.
#pragma once

#include <cstddef>
#include <string>

namespace tools {

// The one way out: lines with a line feed each. After the first failed write
// nothing more is written and GetFailed stays true.
class TOutput {
 public:
  TOutput() = default;
  virtual ~TOutput() = default;
  TOutput(const TOutput&) = delete;
  TOutput& operator=(const TOutput&) = delete;

  // Queues Line and a line feed; false once any write has failed. Callers
  // may go on regardless: the failure sticks and Flush reports it at the end.
  bool WriteLine(const std::string& Line);
  // Writes out whatever is queued; false once any write has failed.
  [[nodiscard]] bool Flush();
  [[nodiscard]] bool GetFailed() const { return Failed_; }

 protected:
  // Writes all of Bytes or answers false.
  [[nodiscard]] virtual bool Put(const std::string& Bytes) = 0;

 private:
  std::string Pending_;
  bool Failed_ = false;
};

// Writes to a file descriptor (not owned), going on after short writes and
// interruptions.
class TFileOutput : public TOutput {
 public:
  explicit TFileOutput(int Fd) : Fd_(Fd) {}

 protected:
  [[nodiscard]] bool Put(const std::string& Bytes) override;

 private:
  int Fd_ = -1;
};

// Collects the output in memory (for tests); FailAfter > 0 makes every write
// after that many bytes fail.
class TStringOutput : public TOutput {
 public:
  [[nodiscard]] const std::string& GetText() const { return Text_; }
  void SetFailAfter(std::size_t Bytes) { FailAfter_ = Bytes; }

 protected:
  [[nodiscard]] bool Put(const std::string& Bytes) override;

 private:
  std::string Text_;
  std::size_t FailAfter_ = 0;
};

}  // namespace tools
