#include "front/banner.h"

#include <cstdlib>
#include <string_view>

#include "front/output.h"

#ifndef VELLUMAR_PROCESSOR
#define VELLUMAR_PROCESSOR "unknown processor"
#endif

namespace vellumar {

namespace {

#define VELLUMAR_STR2(X) #X
#define VELLUMAR_STR(X) VELLUMAR_STR2(X)
#if defined(__clang__)
constexpr const char* CompilerName = "Clang " VELLUMAR_STR(__clang_major__) "." VELLUMAR_STR(
    __clang_minor__) "." VELLUMAR_STR(__clang_patchlevel__);
#elif defined(__GNUC__)
constexpr const char* CompilerName = "GCC " VELLUMAR_STR(__GNUC__) "." VELLUMAR_STR(
    __GNUC_MINOR__) "." VELLUMAR_STR(__GNUC_PATCHLEVEL__);
#else
constexpr const char* CompilerName = "an unknown compiler";
#endif

constexpr const char* Usage[UsageLines] = {
    "Usage: vellumar <[keywords]>",
    " Where keywords is: ",
    "  [-c<config>] - config file          ",
    "  -o<FAddr>    - message from address ",
    "  -f<FName>    - message from name    ",
    "  -d<TAddr>    - message to address   ",
    "  -t<TName>    - message to name      ",
    "  -s[Subj]     - subject of message   ",
    "  =T[TAGLine]  - TAGLine              ",
    "  +T[TearLine] - TearLine             ",
    "  +O[Origin]   - Origin               ",
    "  +h<HeadTPL>  - header template      ",
    "  +f<FootTPL>  - footer template      ",
    "  -e<T><Echo>  - path to echo, where <T> ",
    "                 type of message base:   ",
    "                  F - Opus               ",
    "                  S - Squish             ",
    "                  J - Jam                ",
    "  -m<Type>     - type of mail, can be:   ",
    "                  E - echomail           ",
    "                  N - netmail            ",
    "  -F<filename> - filename                ",
    "  -l<Num>      - how many lines in msg   ",
    "  [-a<ATTRIB>] - message attributes:     ",
    "      L:Loc  , K:KillSNT, P:PVT    , H:HOLD  ",
    "      C:Crash, F:File   , R:FREQ   , Q:RRQ   ",
    "      A:ARQ  , S:Sent   , T:Transit          ",
    "  -v           - version of Vellumar         ",
    "",
};

void WriteUsage() {
  for (int I = 1; I <= UsageLines; ++I) WriteLn(UsageLine(I));
}

}  // namespace

std::string BuildDate(const std::string& CompilerDate) {
  // "Mmm dd yyyy", the day padded with a blank.
  static constexpr std::string_view Months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (CompilerDate.size() != 11) return CompilerDate;
  const std::size_t Month = Months.find(CompilerDate.substr(0, 3));
  if (Month == std::string_view::npos || Month % 3 != 0) return CompilerDate;
  const int MonthNumber = static_cast<int>(Month / 3) + 1;
  std::string Day = CompilerDate.substr(4, 2);
  if (Day[0] == ' ') Day[0] = '0';
  return CompilerDate.substr(7, 4) + "/" + (MonthNumber < 10 ? "0" : "") +
         std::to_string(MonthNumber) + "/" + Day;
}

std::string VersionText() {
  return std::string(ProgramNameVersion) + " was compiled " + __TIME__ + " " + BuildDate(__DATE__) +
         " with " + CompilerName + ", " + VELLUMAR_PROCESSOR;
}

const char* UsageLine(int Index) {
  if (Index < 1 || Index > UsageLines) return "";
  return Usage[Index - 1];
}

void ShowHelp() {
  WriteUsage();
  std::exit(1);
}

void ShowFullHelp() {
  WriteUsage();
  for (const char* Line : HelpExtra) WriteLn(Line);
  std::exit(0);
}

}  // namespace vellumar
