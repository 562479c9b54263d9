// msgextract's entry point: wires the program (tools/msgextract/extract.h) to
// the command line and standard output.
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "msgbase/open_base.h"
#include "tools/msgextract/extract.h"

int main(int argc, char** argv) {
  // A closed pipe must show as a failed write, not kill the process unseen.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // An interrupted run leaves no temporary file and says what it wrote.
  msgextract::CleanUpOnSignals();
  // "./" base paths mean the program's own directory, as for vellumar's -e.
  msgbase::SetProgramPath(argc > 0 ? argv[0] : "");
  const std::vector<std::string> Args(argv + (argc > 0 ? 1 : 0), argv + argc);
  tools::TFileOutput Out(STDOUT_FILENO);
  const int Status = msgextract::RunMsgExtract(Args, Out);
  if (Out.Flush()) return Status;
  // Standard output is gone: standard error is the only place left to say so.
  static constexpr char Report[] = "msgextract: standard output could not be written\n";
  const ssize_t Wrote = ::write(STDERR_FILENO, Report, sizeof Report - 1);
  (void)Wrote;  // nowhere is left to report a failure of this one
  return msgextract::exOutputFailed;
}
