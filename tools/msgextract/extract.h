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
#include "tools/msgextract/file_output.h"
#include "tools/msgextract/options.h"
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

// The whole program after the program name; returns the exit status. All
// output goes to Out (which the caller flushes).
[[nodiscard]] int RunMsgExtract(const std::vector<std::string>& Args, TOutput& Out);

}  // namespace msgextract
