// The *.msg base, repair at open: what writers and removers that died left in
// the directory is removed or put back before anything else is done.
#include "msgbase/msg/msg_base.h"

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/msg/msg_names.h"

namespace msgbase {

using namespace msg_names;

namespace {

bool EndsWith(const std::string& Name, const std::string& Tail) {
  return Name.size() > Tail.size() &&
         Name.compare(Name.size() - Tail.size(), Tail.size(), Tail) == 0;
}

// The process id in Mark, "vellumar" followed by the id and, after a dot, an
// optional counter; 0 when Mark is none.
long WriterOfMark(const std::string& Mark) {
  const std::string Prefix = FidoTempPrefix;
  if (Mark.size() <= Prefix.size() || Mark.compare(0, Prefix.size(), Prefix) != 0) return 0;
  long Pid = 0;
  std::size_t I = Prefix.size();
  for (; I < Mark.size() && Mark[I] != '.'; ++I) {
    if (Mark[I] < '0' || Mark[I] > '9' || Pid > 100000000) return 0;
    Pid = Pid * 10 + (Mark[I] - '0');
  }
  if (I < Mark.size()) {
    const std::string Counter = Mark.substr(I + 1);
    if (Counter.empty() || Counter.size() > 3 ||
        Counter.find_first_not_of("0123456789") != std::string::npos) {
      return 0;
    }
  }
  return Pid;
}

bool IsDeadProcess(long Pid) {
  return Pid > 0 && ::kill(static_cast<pid_t>(Pid), 0) != 0 && errno == ESRCH;
}

// True when Name is the temporary file of a writer that is no longer running
// (or a rewrite's "N.msg.tmp" of an older version, which nobody finishes).
bool IsDeadWritersFile(const std::string& Name) {
  const std::string Ext = FidoTempExtension;
  if (!EndsWith(Name, Ext)) return false;
  const std::string Stem = Name.substr(0, Name.size() - Ext.size());
  std::int32_t Message = 0;
  if (EndsWith(Stem, FidoMessageExtension) && MessageNumberOfName(Stem, Message)) return true;
  return IsDeadProcess(WriterOfMark(Stem));
}

// The number of a message a remover that is no longer running set aside
// ("N.vellumar<pid>.kill"), or 0.
std::int32_t DeadRemoversMessage(const std::string& Name) {
  if (!EndsWith(Name, FidoAsideExtension)) return 0;
  const std::string Stem = Name.substr(0, Name.size() - std::string(FidoAsideExtension).size());
  const std::size_t Dot = Stem.find('.');
  std::int32_t Message = 0;
  if (Dot == std::string::npos || !MessageNumberOfName(Stem, Message) ||
      !IsDeadProcess(WriterOfMark(Stem.substr(Dot + 1)))) {
    return 0;
  }
  return Message;
}

}  // namespace

void TFidoMessageBase::RemoveDeadWritersFiles() {
  PMessageBaseFind Find = CreateMessageBaseFind();
  bool Changed = false;
  for (bool Found = Find->StartSearch(GetBasePath() + "*", faArchive | faReadOnly); Found;
       Found = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    // A file that cannot be removed stays; it never counts as a message.
    if (IsDeadWritersFile(Name)) {
      Changed = KillFile(GetBasePath() + Name) || Changed;
    } else if (const std::int32_t Message = DeadRemoversMessage(Name); Message > 0) {
      // A removal that died before it was sure of the file is undone: the
      // message goes back under its number, or stays aside if that is taken.
      Changed = RenameFile(GetBasePath() + Name,
                           GetBasePath() + LongToStr(Message) + FidoMessageExtension) ||
                Changed;
    }
  }
  Find->StopSearch();
  if (Changed) (void)SyncDirectory(GetBasePath());  // tidying only: nothing depends on it
}

}  // namespace msgbase
