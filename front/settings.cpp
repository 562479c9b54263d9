#include "front/settings.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/short_string.h"
#include "front/banner.h"
#include "front/output.h"
#include "front/text_file.h"
#include "front/text_utils.h"

namespace vellumar {

std::string ParamStr;
std::string Config;
std::string FName;
std::string FAddr;
std::string TName;
std::string TAddr;
std::string Subject;
std::string TagLine;
std::string TearLine;
std::string Origin;
std::string HeadTpl;
std::string FootTpl;
std::string FileName;
std::string EchoPath;
TMailType MailType = TMailType::None;
std::uint16_t Lines = 50;
std::string Attrib;

bool aLocal = true;
bool aKillSnt = false;
bool aPvt = true;
bool aHold = false;
bool aCrash = false;
bool aFileF = false;
bool aFreq = false;
bool aRrq = false;
bool aArq = false;
bool aSnt = false;
bool aUrq = false;
bool aTransit = false;

namespace {

// The texts of the keyword table: keyword, cutter, target. The -m and -l
// keywords convert their values and are handled apart.
struct TTextKeyword {
  const char* Key;
  bool Quoted;  // PSCopy2 rather than PSCopy
  std::string* Target;
};

const TTextKeyword TextKeywords[] = {
    {"-c", true, &Config},   {"-o", false, &FAddr},   {"-f", true, &FName},
    {"-s", true, &Subject},  {"-d", false, &TAddr},   {"-t", true, &TName},
    {"=T", true, &TagLine},  {"+T", true, &TearLine}, {"+O", true, &Origin},
    {"+h", true, &HeadTpl},  {"+f", true, &FootTpl},  {"-F", true, &FileName},
    {"-e", true, &EchoPath},
};

// The attribute letters and their switches.
struct TAttribFlag {
  char Letter;
  bool* Target;
};

const TAttribFlag AttribFlags[] = {
    {'L', &aLocal}, {'K', &aKillSnt}, {'P', &aPvt}, {'H', &aHold}, {'C', &aCrash}, {'F', &aFileF},
    {'R', &aFreq},  {'Q', &aRrq},     {'A', &aArq}, {'S', &aSnt},  {'U', &aUrq},   {'T', &aTransit},
};

// A -l value: rounded half to even, 0 outside the signed 32-bit range, and
// kept modulo 65536.
std::uint16_t LinesValue(const std::string& Text) {
  const double Rounded = std::nearbyint(SVal(Text));
  if (!(Rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        Rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::max())))
    return 0;
  const auto Whole = static_cast<std::int32_t>(Rounded);
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(Whole) & 0xFFFFu);
}

// The keywords that lines of the configuration file set.
std::set<std::string> ConfigKeys;

// Whether ParseParamStr(Text) assigns the keyword Key.
bool SetsKeyword(const std::string& Text, const std::string& Key) {
  const std::size_t At = Text.find(Key);
  if (At == std::string::npos) return false;
  if (Key != "-m") return true;
  const std::string Value = UpStr(PSCopy2(Text, At));
  return Value == "E" || Value == "N";
}

// Every keyword ParseParamStr knows.
std::vector<std::string> AllKeys() {
  std::vector<std::string> Keys;
  for (const TTextKeyword& K : TextKeywords) Keys.emplace_back(K.Key);
  for (const char* Key : {"-m", "-l", "-a"}) Keys.emplace_back(Key);
  return Keys;
}

}  // namespace

TSettingSource GetSettingSource(const char* Key) {
  if (SetsKeyword(ParamStr, Key)) return TSettingSource::CommandLine;
  if (ConfigKeys.count(Key) > 0) return TSettingSource::ConfigFile;
  return TSettingSource::Default;
}

std::string AttributeLetters() {
  std::string Letters;
  for (const TAttribFlag& F : AttribFlags)
    if (*F.Target) Letters += F.Letter;
  return Letters;
}

void ResetSettings() {
  ConfigKeys.clear();
  for (const TTextKeyword& K : TextKeywords) K.Target->clear();
  ParamStr.clear();
  Attrib.clear();
  MailType = TMailType::None;
  Lines = 50;
  for (const TAttribFlag& F : AttribFlags) *F.Target = false;
  aLocal = true;
  aPvt = true;
}

std::string GetParamStr(int argc, const char* const* argv) {
  std::string Result;
  for (int I = 0; I < argc && Result.size() < MaxShortString; ++I) {
    const std::string_view Arg(argv[I] != nullptr ? argv[I] : "");
    if (Arg.find(' ', 1) != std::string_view::npos) {
      Result += KAV;
      Result += Arg;
      Result += KAV;
    } else {
      Result += Arg;
    }
    Result += ' ';
  }
  return ShortString(Result);
}

std::string PSCopy(const std::string& Text, std::size_t KeyPos) {
  const std::size_t From = KeyPos + 2;
  if (From >= Text.size()) return "";
  const std::size_t End = Text.find(' ', From);
  return Text.substr(From, End == std::string::npos ? std::string::npos : End - From);
}

std::string PSCopy2(const std::string& Text, std::size_t KeyPos) {
  const std::size_t From = KeyPos + 2;
  if (From >= Text.size() || Text[From] != KAV) return PSCopy(Text, KeyPos);
  const std::size_t Close = Text.find(KAV, From + 1);
  if (Close == std::string::npos) return "";
  return Text.substr(From + 1, Close - From - 1);
}

void ParseParamStr(const std::string& Text) {
  // Keywords are found anywhere in the text, not only at word starts; this
  // is how the program has always read its command line.
  for (const TTextKeyword& K : TextKeywords) {
    const std::size_t At = Text.find(K.Key);
    if (At != std::string::npos)
      *K.Target = ShortString(K.Quoted ? PSCopy2(Text, At) : PSCopy(Text, At));
  }
  if (const std::size_t At = Text.find("-m"); At != std::string::npos) {
    const std::string Value = UpStr(PSCopy2(Text, At));
    if (Value == "E") MailType = TMailType::EchoMail;
    if (Value == "N") MailType = TMailType::NetMail;
  }
  if (const std::size_t At = Text.find("-l"); At != std::string::npos)
    Lines = LinesValue(PSCopy(Text, At));
  if (const std::size_t At = Text.find("-a"); At != std::string::npos)
    Attrib = ShortString(PSCopy(Text, At));
}

bool Flag(char Letter) {
  return UpStr(Attrib).find(Letter) != std::string::npos;
}

std::string OpenFailure(const std::string& Path) {
  return ShortString(std::string("Can't open ") + KAV + Path + KAV + " !");
}

int ReadConfigFile(const std::string& Path) {
  TTextReader Reader;
  if (!Reader.Open(Path)) return Reader.GetIOResult();
  std::string Line;
  while (Reader.ReadLn(Line)) {
    if (Line.empty() || Line.front() == CSym) continue;
    ParseParamStr(Line);
    for (const std::string& Key : AllKeys())
      if (SetsKeyword(Line, Key)) ConfigKeys.insert(Key);
  }
  return Reader.GetIOResult();
}

std::string CheckSettings() {
  if (FAddr.empty()) return "You must define orig. fido address!";
  if (!IsFidoAddr(FAddr)) return "Orig. fido address is not correct!";
  if (FName.empty()) FName = "Vellumar";
  if (MailType == TMailType::None) return "You must switch type of mail!";
  if (TAddr.empty() && MailType == TMailType::NetMail) return "You must define dest. address!";
  if (!IsFidoAddr(TAddr)) return "Dest. fido address is not correct!";
  if (TName.empty()) TName = MailType == TMailType::NetMail ? "SysOp" : "All";
  if (TearLine.empty()) TearLine = ProgramId;
  if (Origin.empty()) Origin = ProgramNameVersion;
  if (HeadTpl.empty()) return "You must define header template!";
  if (FootTpl.empty()) return "You must define footer template!";
  if (!FileExists(HeadTpl)) return OpenFailure(HeadTpl);
  if (!FileExists(FootTpl)) return OpenFailure(FootTpl);
  if (EchoPath.empty()) return "You must define path to echo!";
  if (Lines == 0) return "Uncorrect num of lines!";
  if (FileName.empty()) return "FileName must be defined!";
  if (!FileExists(FileName)) return OpenFailure(FileName);
  if (!Attrib.empty())
    for (const TAttribFlag& F : AttribFlags) *F.Target = Flag(F.Letter);
  return "";
}

void CheckParams() {
  if (!Config.empty()) {
    if (!FileExists(Config)) Error(OpenFailure(Config));
    const int IOResult = ReadConfigFile(Config);
    if (IOResult != 0) RunError(IOResult, Config);
  }
  ParseParamStr(ParamStr);
  const std::string Message = CheckSettings();
  if (!Message.empty()) Error(Message);
}

void ParseStr(std::string& InStr) {
  const std::pair<const char*, const std::string*> Table[] = {
      {"@FName", &FName}, {"@TName", &TName},     {"@FAddr", &FAddr},
      {"@TAddr", &TAddr}, {"@Subject", &Subject}, {"@FileName", &FileName},
  };
  static const std::string ControlMark(1, '\x01');
  static const std::string Fixed[][2] = {
      {"@K", ControlMark},
      {"@PName", ProgramName},
      {"@PVer", ProgramVersion},
      {"@POSS", OperatingSystemShort},
      {"@POSF", OperatingSystemFull},
      {"@PID", ProgramId},
  };
  for (const auto& [Macro, Value] : Table) InStr = MacroReplace(InStr, Macro, *Value);
  for (const auto& Row : Fixed) InStr = MacroReplace(InStr, Row[0], Row[1]);
}

}  // namespace vellumar
