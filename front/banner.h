// The program's name and version texts: the banner that opens every run, the
// version text of the -v keyword and the usage text of an empty command line.
#pragma once

#include <string>

namespace vellumar {

inline constexpr const char* ProgramName = "Vellumar/LNX";
inline constexpr const char* ProgramVersion = "v0.1beta";
inline constexpr const char* OperatingSystemShort = "LNX";
inline constexpr const char* OperatingSystemFull = "Linux";
// The program identification; also the banner line.
inline constexpr const char* ProgramId = "Vellumar/LNX v0.1beta Tamberlane";
// Name and version only, as in default origins and PID lines.
inline constexpr const char* ProgramNameVersion = "Vellumar/LNX v0.1beta";

// "Vellumar/LNX v0.1beta was compiled HH:MM:SS YYYY/MM/DD with <compiler>,
// <processor>" for this build.
[[nodiscard]] std::string VersionText();

// A build date as __DATE__ writes it ("Aug 11 2004") turned into "2004/08/11".
[[nodiscard]] std::string BuildDate(const std::string& CompilerDate);

// Number of lines of the usage text and the line itself (1-based).
inline constexpr int UsageLines = 29;
[[nodiscard]] const char* UsageLine(int Index);

// Writes the usage text and ends the program with exit status 1.
[[noreturn]] void ShowHelp();

// The lines --help adds after the usage text: the words that stand only as
// the whole first argument and where the manual is.
inline constexpr const char* HelpExtra[] = {
    "  --help, -h     - this text",
    "  --check        - check the keywords and show every setting; post nothing",
    "  --version, -v  - version of Vellumar",
    "See man vellumar.",
};

// Writes the usage text and the lines of HelpExtra and ends the program with
// exit status 0.
[[noreturn]] void ShowFullHelp();

}  // namespace vellumar
