#include "tools/common/tool_output.h"

#include <unistd.h>

#include <cerrno>

namespace tools {

namespace {

// Queued output goes out in pieces of about this size.
constexpr std::size_t OutputChunk = 32768;

}  // namespace

bool TOutput::WriteLine(const std::string& Line) {
  if (Failed_) return false;
  Pending_ += Line;
  Pending_ += '\n';
  return Pending_.size() < OutputChunk || Flush();
}

bool TOutput::Flush() {
  if (!Failed_ && !Pending_.empty() && !Put(Pending_)) Failed_ = true;
  Pending_.clear();
  return !Failed_;
}

bool TFileOutput::Put(const std::string& Bytes) {
  std::size_t Done = 0;
  while (Done < Bytes.size()) {
    const ssize_t Written = ::write(Fd_, Bytes.data() + Done, Bytes.size() - Done);
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) return false;
    Done += static_cast<std::size_t>(Written);
  }
  return true;
}

bool TStringOutput::Put(const std::string& Bytes) {
  if (FailAfter_ > 0 && Text_.size() + Bytes.size() > FailAfter_) return false;
  Text_ += Bytes;
  return true;
}

}  // namespace tools
