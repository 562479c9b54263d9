// What the power-cut test does to a base where no tool of the project does
// it, through the library as a program would:
//   powercut_driver open <base id>             open for writing (creating it
//                                              when absent), then close
//   powercut_driver rewrite <base id> <number> give a stored message a new
//                                              subject and a longer text, and
//                                              write it back
// "done" on standard output after the base is closed; otherwise the reason,
// exit status 1.
#include <unistd.h>

#include <string>

#include "msgbase/open_base.h"
#include "msgbase/status.h"

namespace {

int Fail(const std::string& Why) {
  const std::string Line = Why + "\n";
  (void)!::write(1, Line.data(), Line.size());  // the exit status says it too
  return 1;
}

}  // namespace

int main(int Argc, char** Argv) {
  const std::string Action = Argc > 2 ? Argv[1] : "";
  if (Action != "open" && !(Action == "rewrite" && Argc > 3)) {
    return Fail("usage: powercut_driver open|rewrite <base id> [<number>]");
  }
  msgbase::PMessageBase Base;
  if (!msgbase::OpenOrCreateMessageBase(Base, Argv[2])) {
    return Fail("open: " + msgbase::ExplainStatus(msgbase::GetOpenStatus()));
  }
  if (Action == "rewrite") {
    const std::int32_t Number = std::stoi(Argv[3]);
    Base->Seek(Number);
    if (!Base->SeekFound() || Base->Current() != Number || !Base->OpenMessage()) {
      return Fail("no message " + std::to_string(Number));
    }
    // A longer text: the message no longer fits where it was stored.
    Base->SetSubject(Base->GetSubject() + " (rewritten)");
    Base->SetTextPos(Base->GetTextSize());
    Base->PutString(std::string(200, 'r'));
    if (!Base->WriteMessage()) return Fail("rewrite: " + msgbase::ExplainStatus(Base->GetStatus()));
    (void)Base->CloseMessage();  // written: closing the message loses nothing
  }
  std::int32_t Status = 0;
  if (!msgbase::CloseMessageBaseEx(Base, Status)) {
    return Fail("close: " + msgbase::ExplainStatus(Status));
  }
  const std::string Done = "done\n";
  return ::write(1, Done.data(), Done.size()) == static_cast<ssize_t>(Done.size()) ? 0 : 1;
}
