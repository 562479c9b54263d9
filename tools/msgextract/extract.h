// msgextract: rebuilds the files that were posted into a message base. It
// opens an existing base (never creating one), reads every message, finds the
// sections and begin ... end blocks in their texts (tools/msgextract/
// posting_scan.h), joins them into postings and writes each complete posting's
// file into a directory: under a temporary name first, renamed into place only
// when whole, never over an existing file unless asked to, with the begin
// line's mode limited to 0666 and the umask. It can instead list what it
// finds, as text or JSON, and can remove a posting's messages once its file
// is safely on disk. Output goes through the tools' checked writer, a line at
// a time.
//
// Memory stays with the largest message: past a fixed budget of decoded
// bytes the first pass keeps of a piece only where it is and a digest of its
// bytes, and such a piece's message is read again while its file is written.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/message_base.h"
#include "tools/common/tool_output.h"
#include "tools/msgextract/posting_scan.h"

namespace msgextract {

using tools::TOutput;

// Exit statuses: every posting written (or listed) and none incomplete or
// bad; bad usage or a base or directory that cannot be used; some posting
// incomplete, bad, skipped or not written; standard output failing.
inline constexpr int exOk = 0;
inline constexpr int exFailure = 1;
inline constexpr int exIncomplete = 2;
inline constexpr int exOutputFailed = 101;

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

// What was found in a base: every piece and the postings made of them, and
// the messages that could not be read.
struct TFindings {
  std::vector<TPiece> Pieces;  // their Data given back past a budget
  std::vector<TPosting> Postings;
  std::vector<std::string> Faults;  // one line each
  TIgnoredLines Ignored;
};

// Reads every message of the open Base and joins what it holds. The walk is
// bounded by the counts the base reports and stops where the numbers stop
// rising; a message that cannot be read is noted in Faults and skipped, and
// so are message files the base cannot number (one line for all of them).
void ReadBase(msgbase::TMessageBase& Base, TFindings& Findings);

// Hands a file's bytes, in order, to Put; false with a reason in Problem when
// they cannot be had, or false when Put refused them.
using TPut = std::function<bool(std::string_view)>;
using TPartSource = std::function<bool(const TPut& Put, std::string& Problem)>;
// A source of bytes already in memory.
[[nodiscard]] TPartSource PartsSource(std::vector<std::string_view> Parts);

// Writes what Source gives as Directory/FileName: into a new temporary file
// in Directory, then renamed into place, so the name never shows a partial
// file. With Flush the file and then the directory are flushed to disk before
// the answer (a caller that deletes the file's source afterwards needs that).
// Without Force an existing file is never replaced: false with Exists set.
// False with a reason in Problem on any other failure, which leaves no
// temporary file behind. The file's mode is Mode & 0666 less the umask, with
// the owner's read and write bits always set.
[[nodiscard]] bool WriteFileSafely(const std::string& Directory, const std::string& FileName,
                                   const TPartSource& Source, std::uint32_t Mode, bool Force,
                                   bool Flush, bool& Exists, std::string& Problem);
// Whether Path is a regular file of Size bytes that holds what Source gives.
[[nodiscard]] bool HoldsSameBytes(const std::string& Path, std::uint64_t Size,
                                  const TPartSource& Source);

// From now on SIGINT and SIGTERM remove the temporary file being written and
// report how many files were written before the program ends by the signal.
void CleanUpOnSignals();

// The whole program after the program name; returns the exit status. All
// output goes to Out (which the caller flushes).
[[nodiscard]] int RunMsgExtract(const std::vector<std::string>& Args, TOutput& Out);

}  // namespace msgextract
