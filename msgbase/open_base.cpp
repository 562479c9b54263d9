#include "msgbase/open_base.h"

#include <unistd.h>

#include <array>
#include <cstdlib>

#include "msgbase/file_helpers.h"
#include "msgbase/jam/jam_base.h"
#include "msgbase/msg/msg_base.h"
#include "msgbase/squish/squish_base.h"
#include "msgbase/status.h"
#include "msgbase/stream.h"

namespace msgbase {

namespace {

std::int32_t OpenStatus = stOpenUnrecognizedId;
std::string ProgramPath;

// The directory of the running executable, for a program found through PATH.
std::string ExecutableDir() {
  std::array<char, 4096> Buf{};
  const ssize_t Len = readlink("/proc/self/exe", Buf.data(), Buf.size() - 1);
  if (Len <= 0) return "";
  const std::string Exe(Buf.data(), static_cast<std::size_t>(Len));
  const std::size_t Slash = Exe.rfind('/');
  return Slash == std::string::npos ? std::string() : Exe.substr(0, Slash);
}

// Shared head of the openers: the object and the expanded path. An empty
// path is refused before anything is looked at or made: it would mean the
// root directory for a *.msg base and hidden files in the working directory
// for the others.
bool PrepareOpen(PMessageBase& Base, const std::string& Id, std::string& Path) {
  if (!InitMessageBase(Base, Id)) return false;
  TMessageBaseFormat Format = TMessageBaseFormat::mbfUnknown;
  SplitID(Id, Format, Path);
  if (Path.empty()) {
    OpenStatus = stOpenEmptyPath;
    (void)DoneMessageBase(Base);  // the object was just made
    return false;
  }
  Path = ParsePath(Path);
  ResetFileOpenFailure();
  return true;
}

// A base that reports one of its files missing although Exist found others,
// or a file too short for its header, is damaged, not held, and one with a
// file under two names is not for us to guess at: saying so beats reporting
// a sharing violation.
bool IsBaseRefusal(std::int32_t Status) {
  switch (Status) {
    case stSquishAbsentSqd:
    case stSquishAbsentSqi:
    case stSquishBaseHeaderProblems:
    case stJamAbsentJhr:
    case stJamAbsentJdx:
    case stJamAbsentJdt:
    case stJamDamagedBase:
    case stSquishTwoNames:
    case stJamTwoNames:
    case stMsgTwoNames:
      return true;
    default:
      return false;
  }
}

// Why a base whose files exist would not open: the base's own status when
// it reports a file missing or too short; a file the user may not open as
// needed, or one that is no regular file, said at once (waiting changes
// neither); else taken as held by another program.
std::int32_t HeldOrDamagedStatus(std::int32_t Why) {
  if (IsBaseRefusal(Why)) return Why;
  switch (GetFileOpenFailure()) {
    case stStreamAccessDenied:
      return stOpenAccessDenied;
    case stStreamNotRegular:
    case stStreamExists:  // a name taken by a link that leads nowhere
      return stOpenNotRegularFile;
    default:
      return stOpenSharingViolation;
  }
}

bool FailOpen(PMessageBase& Base, std::int32_t Status) {
  OpenStatus = Status;
  (void)DoneMessageBase(Base);  // the object is gone either way
  return false;
}

}  // namespace

std::int32_t GetOpenStatus() {
  return OpenStatus;
}
void SetOpenStatus(std::int32_t Status) {
  OpenStatus = Status;
}

void SplitID(const std::string& Id, TMessageBaseFormat& Format, std::string& Path) {
  if (Id.empty()) {
    Format = TMessageBaseFormat::mbfUnknown;
    return;
  }
  switch (Id[0]) {
    case 'J':
    case 'j':
      Format = TMessageBaseFormat::mbfJam;
      break;
    case 'F':
    case 'f':
    case 'M':
    case 'm':
    case '*':
      Format = TMessageBaseFormat::mbfFido;
      break;
    case 'S':
    case 's':
      Format = TMessageBaseFormat::mbfSquish;
      break;
    default:
      Format = TMessageBaseFormat::mbfUnknown;
      Path = Id;
      return;
  }
  Path = Id.substr(1);
}

bool InitMessageBase(PMessageBase& Base, const std::string& Id) {
  Base.reset();
  OpenStatus = stOpenUnrecognizedId;
  if (Id.empty()) return false;
  TMessageBaseFormat Format = TMessageBaseFormat::mbfUnknown;
  std::string Path;
  SplitID(Id, Format, Path);
  switch (Format) {
    case TMessageBaseFormat::mbfJam:
      Base = std::make_unique<TJamMessageBase>();
      return true;
    case TMessageBaseFormat::mbfFido:
      Base = std::make_unique<TFidoMessageBase>();
      return true;
    case TMessageBaseFormat::mbfSquish:
      Base = std::make_unique<TSquishMessageBase>();
      return true;
    case TMessageBaseFormat::mbfUnknown:
      break;
  }
  return false;
}

bool DoneMessageBase(PMessageBase& Base) {
  const bool Had = Base != nullptr;
  Base.reset();
  return Had;
}

bool OpenMessageBase(PMessageBase& Base, const std::string& Id) {
  std::string Path;
  if (!PrepareOpen(Base, Id, Path)) return false;
  if (Base->Open(Path)) return true;
  // A base that is there but would not open is held, damaged or forbidden,
  // as for the other openers, so that a writer waits for a holder too.
  if (Base->Exist(Path)) return FailOpen(Base, HeldOrDamagedStatus(Base->GetStatus()));
  return FailOpen(Base, Base->GetStatus());
}

bool OpenMessageBaseReadOnly(PMessageBase& Base, const std::string& Id) {
  std::string Path;
  if (!PrepareOpen(Base, Id, Path)) return false;
  Base->SetOpenMode(omReadOnly);
  if (Base->Open(Path)) return true;
  if (Base->Exist(Path)) return FailOpen(Base, HeldOrDamagedStatus(Base->GetStatus()));
  return FailOpen(Base, Base->GetStatus());
}

bool OpenOrCreateMessageBase(PMessageBase& Base, const std::string& Id) {
  std::string Path;
  if (!PrepareOpen(Base, Id, Path)) return false;
  if (Base->Open(Path)) return true;
  // The files are there but would not open: another program holds them, or
  // the base is damaged. Either way it is never created over, which would
  // empty the files that survive.
  if (Base->Exist(Path)) return FailOpen(Base, HeldOrDamagedStatus(Base->GetStatus()));
  if (Base->Create(Path)) return true;
  return FailOpen(Base, Base->GetStatus());
}

bool OpenMessageBaseEx(PMessageBase& Base, const std::string& Id, TMessageBaseOpenProcess Process,
                       std::int32_t Tries) {
  for (;;) {
    if (Process(Base, Id)) return true;
    if (OpenStatus != stOpenSharingViolation) return false;
    Delay(1000);
    if (--Tries < 1) {
      OpenStatus = stOpenAttemptsExpired;
      return false;
    }
  }
}

bool CloseMessageBase(PMessageBase& Base) {
  if (Base == nullptr) return false;
  Base->Close();
  return DoneMessageBase(Base);
}

bool CloseMessageBaseEx(PMessageBase& Base, std::int32_t& Status) {
  Status = stOk;
  if (Base == nullptr) return false;
  // A code left by an earlier call is no news of the close.
  Base->SetStatus(stOk);
  Base->Close();
  Status = Base->GetStatus();
  (void)DoneMessageBase(Base);  // Base is there, so it is released
  return Status == stOk;
}

bool ExistMessageBase(const std::string& Id) {
  PMessageBase Base;
  std::string Path;
  if (!PrepareOpen(Base, Id, Path)) return false;
  const bool Result = Base->Exist(Path);
  (void)DoneMessageBase(Base);  // a local object: releasing it cannot fail
  return Result;
}

void SetProgramPath(const std::string& Argv0) {
  ProgramPath = Argv0;
}

std::string GetCurrentDir() {
  const std::size_t Slash = ProgramPath.rfind('/');
  if (Slash == std::string::npos) return ExecutableDir();
  return ProgramPath.substr(0, Slash);
}

std::string ParsePath(const std::string& Path) {
  std::string Result = Path;
  if (Result.size() >= 2 && Result[0] == '~' && Result[1] == '/') {
    const char* Home = std::getenv("HOME");
    Result = std::string(Home != nullptr ? Home : "") + "/" + Result.substr(2);
  }
  if (Result.size() >= 2 && Result[0] == '.' && Result[1] == '/')
    Result = GetCurrentDir() + "/" + Result.substr(2);
  return CutText(Result);
}

}  // namespace msgbase
