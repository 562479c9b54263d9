#include "tools/msgextract/options.h"

#include <cstdint>
#include <set>

#include "tools/common/tool_text.h"

namespace msgextract {

using tools::VisibleText;

std::vector<std::string> UsageText() {
  return {
      "Usage: msgextract [options] <base> [<directory>]",
      "       msgextract --list [--json] [--verbose] <base>",
      "  <base>       a format letter and the base's path: F (*.msg directory),",
      "               S (Squish) or J (JAM), e.g. J/var/spool/fido/files",
      "  <directory>  where the rebuilt files go (default: the working directory)",
      "  --list       write nothing; show every posting found: name, sender,",
      "               subject, sections present and missing, size",
      "  --json       the listing as one JSON document (implies --list)",
      "  --verbose    also list lines that only look like a posting's start",
      "  --remove     delete a posting's messages once its file is on disk",
      "  --expire D   with --remove: also delete the messages of incomplete or",
      "               bad postings whose newest section is more than D days old",
      "  --partial    write an incomplete posting as NAME.partial, missing",
      "               sections as zero bytes",
      "  --include P, --exclude P",
      "               only postings whose name matches (does not match) the",
      "               shell pattern P; each may be given more than once",
      "  --max-size N refuse a posting of more than N bytes (K, M, G allowed;",
      "               default 1G)",
      "  --force      replace a file that exists (otherwise the posting is skipped)",
      "  --help       this text; --version: the version",
      "  With --json every answer, a refusal included, is one JSON document.",
      "Exit status: 0 every posting rebuilt, 1 bad usage or a base or directory",
      "that cannot be used, 2 some posting incomplete, bad, too large or skipped.",
  };
}

namespace {

// A decimal number with an optional K, M or G (powers of 1024); false when
// it is none or too large to count.
bool ParseSize(const std::string& Text, std::uint64_t& Value) {
  std::size_t Digits = 0;
  Value = 0;
  for (; Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9'; ++Digits) {
    if (Value > (UINT64_MAX - 9) / 10) return false;
    Value = Value * 10 + static_cast<std::uint64_t>(Text[Digits] - '0');
  }
  if (Digits == 0 || Text.size() > Digits + 1) return false;
  if (Text.size() == Digits) return true;
  const std::string Units = "KMG";
  const std::size_t Unit = Units.find(static_cast<char>(Text[Digits] & ~0x20));
  if (Unit == std::string::npos) return false;
  const unsigned Shift = 10 * static_cast<unsigned>(Unit + 1);
  if (Value > (UINT64_MAX >> Shift)) return false;
  Value <<= Shift;
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options, std::string& Problem) {
  Options = TOptions{};
  std::vector<std::string> Positional;
  std::set<std::string> Seen;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    // Options with a value take it from the next argument or after '='.
    const std::size_t Equals = A.find('=');
    const std::string Name = A.starts_with("--") ? A.substr(0, Equals) : A;
    if (Name == "--expire" || Name == "--max-size" || Name == "--include" || Name == "--exclude") {
      std::string Value;
      if (Equals != std::string::npos) {
        Value = A.substr(Equals + 1);
      } else if (I + 1 < Args.size()) {
        Value = Args[++I];
      } else {
        Problem = Name + " needs a value";
        return false;
      }
      std::uint64_t Number = 0;
      if (Name == "--include" || Name == "--exclude") {
        (Name == "--include" ? Options.Include : Options.Exclude).push_back(Value);
        continue;
      }
      if (!Seen.insert(Name).second) {
        Problem = Name + " given twice";
        return false;
      }
      if (Name == "--expire" && Value.find_first_not_of("0123456789") == std::string::npos &&
          ParseSize(Value, Number) && Number <= 100000) {
        Options.ExpireDays = static_cast<std::int64_t>(Number);
      } else if (Name == "--max-size" && ParseSize(Value, Number) && Number > 0) {
        Options.MaxSize = Number;
      } else {
        Problem = "Bad value for " + Name + ": " + VisibleText(Value);
        return false;
      }
      continue;
    }
    bool* Flag = nullptr;
    if (A == "--list") {
      Flag = &Options.List;
    } else if (A == "--json") {
      Flag = &Options.Json;
    } else if (A == "--remove") {
      Flag = &Options.Remove;
    } else if (A == "--force") {
      Flag = &Options.Force;
    } else if (A == "--partial") {
      Flag = &Options.Partial;
    } else if (A == "--verbose") {
      Flag = &Options.Verbose;
    } else if (A == "--help" || A == "-h") {
      Flag = &Options.Help;
    } else if (A == "--version") {
      Flag = &Options.Version;
    } else if (A.size() > 1 && A[0] == '-') {
      Problem = "Unknown option " + VisibleText(A);
      return false;
    } else {
      Positional.push_back(A);
      continue;
    }
    if (*Flag) {
      Problem = A + " given twice";
      return false;
    }
    *Flag = true;
  }
  if (Options.Help || Options.Version) return true;
  if (Options.Json) Options.List = true;
  if (Options.List && (Options.Remove || Options.Partial)) {
    Problem = std::string(Options.Remove ? "--remove" : "--partial") +
              " does not go with --list or --json";
    return false;
  }
  if (Options.ExpireDays >= 0 && !Options.Remove) {
    Problem = "--expire goes with --remove only";
    return false;
  }
  if (Positional.empty()) {
    Problem = "No base given";
    return false;
  }
  if (Positional.size() > 2) {
    Problem = "Too many arguments (" + VisibleText(Positional[2]) + ")";
    return false;
  }
  Options.BaseId = Positional[0];
  if (Positional.size() == 2) Options.Directory = Positional[1];
  if (Options.Directory.empty()) {
    Problem = "The directory is empty";
    return false;
  }
  return true;
}

}  // namespace msgextract
