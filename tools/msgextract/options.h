// msgextract's command line: its options and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace msgextract {

// The largest posting rebuilt unless --max-size says otherwise.
inline constexpr std::uint64_t DefaultMaxSize = std::uint64_t{1} << 30;

struct TOptions {
  bool List = false;     // --list: write no files, show what is there
  bool Json = false;     // --json: the listing as one JSON document (implies --list)
  bool Remove = false;   // --remove: delete a written posting's messages
  bool Force = false;    // --force: replace existing files
  bool Partial = false;  // --partial: write an incomplete posting as NAME.partial
  bool Verbose = false;  // --verbose: also list lines that only look like postings, and copies
  bool Help = false;     // --help
  bool Version = false;  // --version
  std::int64_t ExpireDays = -1;            // --expire DAYS (with --remove); -1 when not given
  std::uint64_t MaxSize = DefaultMaxSize;  // --max-size BYTES
  std::vector<std::string> Include;        // --include PATTERN, any number
  std::vector<std::string> Exclude;        // --exclude PATTERN, any number
  std::string BaseId;
  std::string Directory = ".";
};

// Reads the arguments after the program name. False with a one-line reason in
// Problem for bad usage: an unknown or repeated option, an option without its
// value or with a bad one, no base, a third argument, --remove with --list or
// --json, --expire without --remove, an empty directory.
[[nodiscard]] bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options,
                                  std::string& Problem);
// The usage text, one element per line.
[[nodiscard]] std::vector<std::string> UsageText();

}  // namespace msgextract
