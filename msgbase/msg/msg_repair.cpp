// The *.msg base, repair at open: what writers and removers that died left in
// the directory is removed or put back before anything else is done.
#include "msgbase/msg/msg_base.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/msg/msg_names.h"
#include "msgbase/transaction.h"

namespace msgbase {

using namespace msg_names;

namespace {

// True when Name is the temporary file of a writer that is no longer running
// (or a rewrite's "N.msg.tmp" of an older version, which nobody finishes).
bool IsDeadWritersFile(const std::string& Name) {
  const std::string Ext = FidoTempExtension;
  if (!EndsWith(Name, Ext)) return false;
  const std::string Stem = Name.substr(0, Name.size() - Ext.size());
  std::int32_t Message = 0;
  if (EndsWith(Stem, FidoMessageExtension) && MessageNumberOfName(Stem, Message)) return true;
  return ProcessGone(WriterOfMark(Stem));
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
