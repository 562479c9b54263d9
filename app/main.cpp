// The entry point: banner, version text or usage text, then the three phases of
// a run (keyword parse, checks and defaults, message generation).
#include <string_view>

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
  }
  if (argc <= 1) ShowHelp();
  ParamStr = GetParamStr(argc, argv);
  ParseParamStr(ParamStr);
  CheckParams();
  WriteMsg();
  return 0;
}
