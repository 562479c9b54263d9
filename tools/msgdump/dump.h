// msgdump: shows what is in a message base, removes a message, and reads or
// sets a user's lastread value. It works on any base through the abstract
// interface of the library (opened by identifier with OpenMessageBase, so a
// missing base is never created) and changes nothing except on --kill and
// --set-lastread. The listing comes as plain text, with control bytes made
// visible, or as one JSON document for scripts. Every line goes through one
// checked writer, TOutput (tools/common); the entry point only wires it to
// standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "msgbase/address.h"
#include "msgbase/message_base.h"
#include "tools/common/base_walk.h"
#include "tools/common/tool_json.h"
#include "tools/common/tool_output.h"
#include "tools/common/tool_text.h"

namespace msgdump {

using tools::FailureText;
using tools::JsonMember;
using tools::JsonString;
using tools::JsonStrings;
using tools::ReadWholeText;
using tools::ReleaseName;
using tools::SplitTextLines;
using tools::TFileOutput;
using tools::TOutput;
using tools::TStringOutput;
using tools::UncountedFilesLine;
using tools::VisibleText;
using tools::WalkMessages;
using tools::WantsJson;
using tools::WriteInformation;
using tools::WriteJsonObject;
using tools::WriteUsageProblem;

// Exit statuses: success, any refusal or failure reported on standard output,
// and standard output itself failing (the classic disk write error number).
inline constexpr int exOk = 0;
inline constexpr int exFailure = 1;
inline constexpr int exOutputFailed = 101;

enum TAction : std::int32_t {
  acList = 0,         // list every message (the default)
  acKill = 1,         // --kill N
  acLastRead = 2,     // --lastread USER
  acSetLastRead = 3,  // --set-lastread USER N
  acHelp = 4,         // --help
  acVersion = 5,      // --version
};

struct TOptions {
  TAction Action = acList;
  bool Json = false;         // --json (listing only)
  bool HeadersOnly = false;  // --headers (listing only)
  bool Netmail = false;      // --netmail (listing only): read as a netmail base
  std::string BaseId;
  std::int32_t Message = 0;  // --kill, --set-lastread
  std::int32_t User = 0;     // --lastread, --set-lastread
};

// Reads the arguments after the program name. False with a one-line reason in
// Problem for bad usage: an unknown option, a missing or malformed number, a
// second action or base, --json/--headers/--netmail with another action, no
// base.
[[nodiscard]] bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options,
                                  std::string& Problem);
// A decimal number 0..2147483647, digits only.
[[nodiscard]] bool ParseNumber(const std::string& S, std::int32_t& Value);
// The usage text, one element per line.
[[nodiscard]] std::vector<std::string> UsageText();

// {"text": "2:5020/100.1", "zone": 2, "net": 5020, "node": 100, "point": 1}
// with the text as AddressToStrEx gives it.
[[nodiscard]] std::string JsonAddress(const msgbase::TAddress& A);

// Lists every message of the open Base: a line with the count and the
// highest number, then each message (OpenMessage, or OpenMessageHeader with
// HeadersOnly) as text or JSON. The walk is bounded by the counts the base
// reports and stops where the message numbers stop rising. A message that
// cannot be opened is reported in its place and the walk goes on. When the
// walk finds fewer messages (not marked deleted) than the base counts, or a
// number above its highest, one line (JSON: "inconsistency") says so after
// the listing, and so does one for message files the base cannot number
// (JSON: "uncounted_files"). Finish, when given, is called after the walk
// and before the end of the listing (which closes the JSON document); a
// failure it answers with (a reason in its argument) is reported there too.
// False when anything could not be read or shown, Finish failed, or the base
// disagrees with itself.
[[nodiscard]] bool ListMessages(msgbase::TMessageBase& Base, const TOptions& Options, TOutput& Out,
                                const std::function<bool(std::string&)>& Finish = {});

// The whole program after the program name: parses Args, opens the base,
// does the action, closes the base. Returns the exit status; all output goes
// to Out (which the caller flushes).
[[nodiscard]] int RunMsgDump(const std::vector<std::string>& Args, TOutput& Out);

}  // namespace msgdump
