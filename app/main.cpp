// The entry point: banner, version text, usage text or the dry run, then the
// three phases of a run (keyword parse, checks and defaults, message
// generation).
#include <string_view>
#include <vector>

#include "compose/check_report.h"

#include "compose/compose.h"
#include "front/banner.h"
#include "front/output.h"
#include "front/settings.h"
#include "msgbase/open_base.h"

int main(int argc, char** argv) {
  using namespace vellumar;
  IgnoreBrokenPipe();
  // "./" base paths mean the program's own directory.
  msgbase::SetProgramPath(argc > 0 ? argv[0] : "");
  WriteLn(ProgramId);
  if (argc > 1) {
    const std::string_view First(argv[1]);
    if (First == "-v" || First == "--version") Error(VersionText());
    if (First == "-h" || First == "--help") ShowFullHelp();
    if (First == "--check") {
      // Without the word itself, whose "-c" would be read as a keyword.
      std::vector<const char*> Args(argv, argv + argc);
      Args.erase(Args.begin() + 1);
      ParamStr = GetParamStr(static_cast<int>(Args.size()), Args.data());
      ParseParamStr(ParamStr);
      CheckRun();
      return 0;
    }
  }
  if (argc <= 1) ShowHelp();
  ParamStr = GetParamStr(argc, argv);
  ParseParamStr(ParamStr);
  CheckParams();
  WriteMsg();
  return 0;
}
