// msgextract: rebuilds the files that were posted into a message base. It
// opens an existing base (never creating one), reads every message, finds the
// sections and begin ... end blocks in their texts (tools/msgextract/
// posting_scan.h), joins them into postings and writes each complete posting's
// file into a directory: under a temporary name first, renamed into place only
// when whole, never over an existing file unless asked to, with the begin
// line's mode limited to 0666 and the umask. It can instead list what it
// finds, as text or JSON, and can remove a posting's messages once its file
// is safely on disk. Output goes through the tools' checked writer.
#pragma once

#include <cstdint>
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

struct TOptions {
  bool List = false;     // --list: write no files, show what is there
  bool Json = false;     // --json: the listing as one JSON document (implies --list)
  bool Remove = false;   // --remove: delete a written posting's messages
  bool Force = false;    // --force: replace existing files
  bool Help = false;     // --help
  bool Version = false;  // --version
  std::string BaseId;
  std::string Directory = ".";
};

// Reads the arguments after the program name. False with a one-line reason in
// Problem for bad usage: an unknown or repeated option, no base, a third
// argument, --remove with --list or --json, an empty directory.
[[nodiscard]] bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options,
                                  std::string& Problem);
// The usage text, one element per line.
[[nodiscard]] std::vector<std::string> UsageText();

// What was found in a base: every piece and the postings made of them, and
// the messages that could not be read.
struct TFindings {
  std::vector<TPiece> Pieces;
  std::vector<TPosting> Postings;
  std::vector<std::string> Faults;  // one line each
};

// Reads every message of the open Base and joins what it holds. The walk is
// bounded by the counts the base reports and stops where the numbers stop
// rising; a message that cannot be read is noted in Faults and skipped, and
// so are message files the base cannot number (one line for all of them).
void ReadBase(msgbase::TMessageBase& Base, TFindings& Findings);

// Writes Parts, one after the other, as Directory/FileName: into a new temporary file in Directory,
// then renamed into place, so the name never shows a partial file. With Flush
// the file and then the directory are flushed to disk before the answer (a
// caller that deletes the file's source afterwards needs that). Without Force
// an existing file is never replaced: false with Exists set. False with a
// reason in Problem on any other failure, which leaves no temporary file
// behind. The file's mode is Mode & 0666 less the umask.
[[nodiscard]] bool WriteFileSafely(const std::string& Directory, const std::string& FileName,
                                   const std::vector<std::string_view>& Parts, std::uint32_t Mode,
                                   bool Force, bool Flush, bool& Exists, std::string& Problem);

// The whole program after the program name; returns the exit status. All
// output goes to Out (which the caller flushes).
[[nodiscard]] int RunMsgExtract(const std::vector<std::string>& Args, TOutput& Out);

}  // namespace msgextract
