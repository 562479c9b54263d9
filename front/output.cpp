#include "front/output.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace vellumar {

namespace {

// Writes all of Text to Fd, going on after short writes and interruptions.
bool WriteAll(int Fd, const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t Written = ::write(Fd, Text.data() + Done, Text.size() - Done);
    if (Written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (Written == 0) return false;
    Done += static_cast<std::size_t>(Written);
  }
  return true;
}

const char* RunErrorName(int Code) {
  switch (Code) {
    case reFileNotFound:
      return "file not found";
    case rePathNotFound:
      return "path not found";
    case reTooManyOpenFiles:
      return "too many open files";
    case reAccessDenied:
      return "access denied";
    case reDiskRead:
      return "disk read error";
    case reDiskWrite:
      return "disk write error";
    default:
      return "input/output error";
  }
}

}  // namespace

void IgnoreBrokenPipe() {
  (void)std::signal(SIGPIPE, SIG_IGN);
}

void WriteLn(const std::string& InStr) {
  if (WriteAll(STDOUT_FILENO, InStr + "\n")) return;
  // Standard output is gone; the report can only go to standard error, and if
  // that fails too there is nobody left to tell.
  (void)WriteAll(STDERR_FILENO, RunErrorText(reDiskWrite, "standard output") + "\n");
  std::_Exit(reDiskWrite);
}

void Error(const std::string& Message) {
  WriteLn(Message);
  std::exit(1);
}

void RunError(int Code, const std::string& Path) {
  WriteLn(RunErrorText(Code, Path));
  std::exit(Code);
}

int IOErrorCode(int ErrNo) {
  switch (ErrNo) {
    case ENOENT:
      return reFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return rePathNotFound;
    case EMFILE:
    case ENFILE:
      return reTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
      return reAccessDenied;
    default:
      return reDiskRead;
  }
}

std::string RunErrorText(int Code, const std::string& Path) {
  return "Runtime error " + std::to_string(Code) + ": " + RunErrorName(Code) + " (" + Path + ")";
}

}  // namespace vellumar
