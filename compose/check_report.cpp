#include "compose/check_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "compose/compose.h"
#include "encode/section_cutter.h"
#include "front/output.h"
#include "front/settings.h"
#include "msgbase/open_base.h"

namespace vellumar {

namespace {

const char* SourceName(TSettingSource Source) {
  switch (Source) {
    case TSettingSource::CommandLine:
      return "command line";
    case TSettingSource::ConfigFile:
      return "configuration file";
    case TSettingSource::Default:
      break;
  }
  return "default";
}

// What each keyword sets, in the words of the report.
const char* KeywordLabel(const std::string& Key) {
  static const std::pair<const char*, const char*> Labels[] = {
      {"-c", "configuration file"},
      {"-o", "sender address"},
      {"-f", "sender name"},
      {"-d", "recipient address"},
      {"-t", "recipient name"},
      {"-s", "subject"},
      {"=T", "tagline"},
      {"+T", "tearline"},
      {"+O", "origin"},
      {"+h", "header template"},
      {"+f", "footer template"},
      {"-e", "message base"},
      {"-m", "mail type"},
      {"-F", "file"},
      {"-l", "lines per message"},
      {"-a", "attributes"},
  };
  for (const auto& [K, Label] : Labels)
    if (Key == K) return Label;
  return "";
}

// "  -f  sender name          "inal.txt"  (command line)": the keyword, what it
// sets, the value as the posting uses it, and where that came from.
void WriteSetting(const char* Key, const std::string& Value) {
  std::string Line = std::string("  ") + Key + "  " + KeywordLabel(Key);
  if (Line.size() < 26) Line.append(26 - Line.size(), ' ');
  WriteLn(Line + Value + "  (" + SourceName(GetSettingSource(Key)) + ")");
}

// The absolute path of an existing file, for templates and the file, which
// are opened from the working directory (cron's is "/").
std::string Resolved(const std::string& Path) {
  const std::unique_ptr<char, decltype(&std::free)> Real(::realpath(Path.c_str(), nullptr),
                                                         &std::free);
  return Real != nullptr ? std::string(Real.get()) : Path;
}

// A base path as the posting would find it from the working directory.
std::string Absolute(const std::string& Path) {
  if (!Path.empty() && Path.front() == '/') return Path;
  const std::unique_ptr<char, decltype(&std::free)> Cwd(::getcwd(nullptr, 0), &std::free);
  return Cwd != nullptr ? std::string(Cwd.get()) + "/" + Path : Path;
}

const char* FormatName(msgbase::TMessageBaseFormat Format) {
  switch (Format) {
    case msgbase::TMessageBaseFormat::mbfJam:
      return "JAM";
    case msgbase::TMessageBaseFormat::mbfSquish:
      return "Squish";
    case msgbase::TMessageBaseFormat::mbfFido:
      return "*.msg directory";
    case msgbase::TMessageBaseFormat::mbfUnknown:
      break;
  }
  return "unknown";
}

}  // namespace

void CheckRun() {
  CheckParams();
  TComposition Work;
  PrepareComposition(Work);
  msgbase::TMessageBaseFormat Format = msgbase::TMessageBaseFormat::mbfUnknown;
  std::string BasePath;
  if (!msgbase::ResolveMessageBaseId(EchoPath, Format, BasePath))
    Error(OpenBaseFailure(msgbase::GetOpenStatus()));
  const bool Exists = msgbase::ExistMessageBase(EchoPath);
  struct stat Info {};
  if (::stat(FileName.c_str(), &Info) != 0) RunError(IOErrorCode(errno), FileName);

  WriteLn("Settings, as a posting would use them (nothing was posted):");
  const std::pair<const char*, const std::string*> Texts[] = {
      {"-c", &Config}, {"-o", &FAddr},   {"-f", &FName},   {"-d", &TAddr},
      {"-t", &TName},  {"-s", &Subject}, {"=T", &TagLine}, {"+T", &TearLine},
      {"+O", &Origin}, {"+h", &HeadTpl}, {"+f", &FootTpl}, {"-e", &EchoPath},
  };
  for (const auto& [Key, Value] : Texts) WriteSetting(Key, KAV + *Value + KAV);
  WriteSetting("-m", MailType == TMailType::NetMail ? "netmail" : "echomail");
  WriteSetting("-F", KAV + FileName + KAV);
  WriteSetting("-l", std::to_string(Lines));
  WriteSetting("-a", KAV + Attrib + KAV + ", set: " + AttributeLetters());
  WriteLn("Base: " + std::string(FormatName(Format)) + " at " + Absolute(BasePath) +
          (Exists ? ", exists" : ", does not exist yet (a posting creates it)"));
  WriteLn("Header template: " + Resolved(HeadTpl));
  WriteLn("Footer template: " + Resolved(FootTpl));
  WriteLn("File: " + Resolved(FileName) + ", " + std::to_string(Info.st_size) + " bytes, " +
          std::to_string(Work.Parts) + (Work.Parts == 1 ? " section" : " sections") +
          " of at most " + std::to_string(Lines) + " lines; at most " +
          std::to_string(MaxUUEFileSize(Lines)) + " bytes with " + std::to_string(Lines) +
          " lines per message");
}

}  // namespace vellumar
