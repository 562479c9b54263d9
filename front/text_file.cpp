#include "front/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "encode/short_string.h"
#include "front/output.h"

namespace vellumar {

bool FileExists(const std::string& Path) {
  struct stat Info {};
  return ::stat(Path.c_str(), &Info) == 0 && !S_ISDIR(Info.st_mode);
}

TTextReader::~TTextReader() {
  Close();
}

bool TTextReader::Open(const std::string& Path) {
  Close();
  IOResult_ = 0;
  Pos_ = Filled_ = 0;
  Fd_ = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd_ < 0) {
    IOResult_ = IOErrorCode(errno);
    return false;
  }
  return true;
}

void TTextReader::Close() {
  if (Fd_ >= 0) (void)::close(Fd_);  // read-only: nothing can be lost at close
  Fd_ = -1;
}

bool TTextReader::NextByte(char& C) {
  if (Pos_ == Filled_) {
    if (Fd_ < 0 || IOResult_ != 0) return false;
    ssize_t Got = 0;
    do {
      Got = ::read(Fd_, Buffer_, sizeof Buffer_);
    } while (Got < 0 && errno == EINTR);
    if (Got < 0) {
      IOResult_ = IOErrorCode(errno);
      return false;
    }
    Pos_ = 0;
    Filled_ = static_cast<std::size_t>(Got);
    if (Filled_ == 0) return false;
  }
  C = Buffer_[Pos_++];
  return true;
}

bool TTextReader::ReadLn(std::string& Line) {
  Line.clear();
  char C = 0;
  if (!NextByte(C)) return false;
  for (;;) {
    if (C == '\n') return true;
    if (C == '\r') {
      if (NextByte(C) && C != '\n') Unget();
      return IOResult_ == 0;
    }
    if (Line.size() < MaxShortString) Line += C;
    if (!NextByte(C)) return IOResult_ == 0;
  }
}

}  // namespace vellumar
