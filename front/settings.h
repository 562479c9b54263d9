// The settings of a run and the keywords that fill them. A keyword is two fixed
// characters directly followed by its value; keywords come from the command
// line and from an optional configuration file. The entry point calls, in this
// order: ParamStr = GetParamStr(...); ParseParamStr(ParamStr); CheckParams().
// After CheckParams returns, the settings are read-only for the rest of the run.
#pragma once

#include <cstdint>
#include <string>

namespace vellumar {

enum class TMailType : std::int32_t { None = 0, NetMail = 1, EchoMail = 2 };

// Opens and closes a quoted value.
inline constexpr char KAV = '"';

// Every text holds at most 255 characters.
extern std::string ParamStr;  // the command line as one text, for the second parse
extern std::string Config;    // -c
extern std::string FName;     // -f
extern std::string FAddr;     // -o
extern std::string TName;     // -t
extern std::string TAddr;     // -d
extern std::string Subject;   // -s
extern std::string TagLine;   // =T
extern std::string TearLine;  // +T
extern std::string Origin;    // +O
extern std::string HeadTpl;   // +h
extern std::string FootTpl;   // +f
extern std::string FileName;  // -F
extern std::string EchoPath;  // -e
extern TMailType MailType;    // -m
extern std::uint16_t Lines;   // -l, lines of encoded text per message
extern std::string Attrib;    // -a

// Attribute switches, set from Attrib by CheckParams.
extern bool aLocal, aKillSnt, aPvt, aHold, aCrash, aFileF, aFreq, aRrq, aArq, aSnt, aUrq, aTransit;

// Where a setting's value came from.
enum class TSettingSource : std::int32_t { Default = 0, ConfigFile = 1, CommandLine = 2 };

// The source of the keyword Key ("-o", "+h", "-m", ...) after CheckParams: the
// command line when ParamStr sets it (the command line is parsed last and
// wins), else the configuration file when one of its lines set it, else the
// default. A -m whose value is neither E nor N sets nothing.
[[nodiscard]] TSettingSource GetSettingSource(const char* Key);

// The letters (in "LKPHCFRQASUT" order) of the attribute switches that are on.
[[nodiscard]] std::string AttributeLetters();

// Puts every setting back to its initial value (tests run several "runs").
void ResetSettings();

// The command line as one text: each argument followed by one blank, an
// argument with a blank after its first character enclosed in double quotes;
// cut to 255 characters. Starts with the invocation path (argv[0]).
[[nodiscard]] std::string GetParamStr(int argc, const char* const* argv);

// The value after the keyword at KeyPos (0-based) of Text: up to the next blank.
[[nodiscard]] std::string PSCopy(const std::string& Text, std::size_t KeyPos);
// As PSCopy, but a value opening with '"' runs to the next '"' (empty without it).
[[nodiscard]] std::string PSCopy2(const std::string& Text, std::size_t KeyPos);

// Assigns the value of the first occurrence of each keyword in Text, wherever
// it stands (inside a word or the invocation path too); others stay unchanged.
void ParseParamStr(const std::string& Text);

// True if Letter occurs in the upper-cased Attrib.
[[nodiscard]] bool Flag(char Letter);

// The refusal for a file that is not there: Can't open "Path" !
[[nodiscard]] std::string OpenFailure(const std::string& Path);

// Feeds every line of the configuration file at Path that is neither empty nor
// a '#' comment to ParseParamStr, noting the keywords each line sets. Returns 0, or the classic
// run-time error number when the file cannot be opened or read.
[[nodiscard]] int ReadConfigFile(const std::string& Path);

// The checks and defaults, in order. Returns the message of the first check
// that fails (settings partly completed then), or empty when all pass.
[[nodiscard]] std::string CheckSettings();

// Reads the configuration file (when Config is set), parses ParamStr again so
// the command line wins, then checks and completes the settings. Returns only
// when all is well; stops through Error, or RunError for an unreadable file.
void CheckParams();

// Expands the @-macros of a template line in place.
void ParseStr(std::string& InStr);

}  // namespace vellumar
