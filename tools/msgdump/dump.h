// msgdump: shows what is in a message base, removes a message, and reads or
// sets a user's lastread value. It works on any base through the abstract
// interface of the library (opened by identifier with OpenMessageBase, so a
// missing base is never created) and changes nothing except on --kill and
// --set-lastread. The listing comes as plain text, with control bytes made
// visible, or as one JSON document for scripts. Every line goes through one
// checked writer, TOutput; the entry point only wires it to standard output.
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

namespace msgdump {

// Exit statuses: success, any refusal or failure reported on standard output,
// and standard output itself failing (the classic disk write error number).
inline constexpr int exOk = 0;
inline constexpr int exFailure = 1;
inline constexpr int exOutputFailed = 101;

// The one way out: lines with a line feed each. After the first failed write
// nothing more is written and GetFailed stays true.
class TOutput {
 public:
  TOutput() = default;
  virtual ~TOutput() = default;
  TOutput(const TOutput&) = delete;
  TOutput& operator=(const TOutput&) = delete;

  // Queues Line and a line feed; false once any write has failed. Callers
  // may go on regardless: the failure sticks and Flush reports it at the end.
  bool WriteLine(const std::string& Line);
  // Writes out whatever is queued; false once any write has failed.
  [[nodiscard]] bool Flush();
  [[nodiscard]] bool GetFailed() const { return Failed_; }

 protected:
  // Writes all of Bytes or answers false.
  [[nodiscard]] virtual bool Put(const std::string& Bytes) = 0;

 private:
  std::string Pending_;
  bool Failed_ = false;
};

// Writes to a file descriptor (not owned), going on after short writes and
// interruptions.
class TFileOutput : public TOutput {
 public:
  explicit TFileOutput(int Fd) : Fd_(Fd) {}

 protected:
  [[nodiscard]] bool Put(const std::string& Bytes) override;

 private:
  int Fd_ = -1;
};

// Collects the output in memory (for tests); FailAfter > 0 makes every write
// after that many bytes fail.
class TStringOutput : public TOutput {
 public:
  [[nodiscard]] const std::string& GetText() const { return Text_; }
  void SetFailAfter(std::size_t Bytes) { FailAfter_ = Bytes; }

 protected:
  [[nodiscard]] bool Put(const std::string& Bytes) override;

 private:
  std::string Text_;
  std::size_t FailAfter_ = 0;
};

// The release the tools belong to, for --version.
inline constexpr const char* ReleaseName = "Vellumar/LNX v0.1beta";

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

// S with every byte below 0x20 shown as '^' and the letter 0x40 above it
// (0x01 as "^A", 0x00 as "^@") and 0x7F as "^?"; other bytes unchanged.
[[nodiscard]] std::string VisibleText(std::string_view S);
// S as a quoted JSON string: '"', '\\' and control bytes escaped, bytes
// 0x80..0xFF taken as Latin-1 and written as UTF-8, so the result is always
// valid UTF-8.
[[nodiscard]] std::string JsonString(std::string_view S);
// Whether Args ask for JSON: then every answer, a refusal of the arguments
// included, is one JSON document.
[[nodiscard]] bool WantsJson(const std::vector<std::string>& Args);
// Writes one JSON object of Members (names with values already in JSON),
// one member a line.
void WriteJsonObject(TOutput& Out, const std::vector<std::pair<std::string, std::string>>& Members);
// Texts as a JSON array of strings.
[[nodiscard]] std::string JsonStrings(const std::vector<std::string>& Texts);
// The answer to bad usage: Problem and the usage text, as lines or (with
// Json) as {"error": ..., "usage": [...]}.
void WriteUsageProblem(TOutput& Out, bool Json, const std::string& Problem,
                       const std::vector<std::string>& Usage);
// The answer to --help or --version: the lines, or (with Json) one member
// Name holding them (one text for a single line, else an array).
void WriteInformation(TOutput& Out, bool Json, const std::string& Name,
                      const std::vector<std::string>& Lines);

// {"text": "2:5020/100.1", "zone": 2, "net": 5020, "node": 100, "point": 1}
// with the text as AddressToStrEx gives it.
[[nodiscard]] std::string JsonAddress(const msgbase::TAddress& A);

// Visits every message of Base in number order, from the first: Visit is
// called with the base on the message and answers whether to go on. A damaged
// base may report any counts and lead anywhere, so the walk ends after the
// larger of count and highest number plus a margin of steps, and as soon as
// the numbers stop rising: false then, with the reason in Problem.
[[nodiscard]] bool WalkMessages(msgbase::TMessageBase& Base, const std::function<bool()>& Visit,
                                std::string& Problem);
// One line naming the files Base passes over because the format cannot
// count their numbers (GetUncountedFiles), at most ten by name; empty when
// there are none.
[[nodiscard]] std::string UncountedFilesLine(msgbase::TMessageBase& Base);
// The status text of a failed operation; some operations fail without
// recording a status, and "no error" would then be a lie.
[[nodiscard]] std::string FailureText(std::int32_t Status);

// The open message's text from the text position to its end, read in a few
// large pieces. False with a reason in Problem when the text cannot be read
// to its end; Text then holds what was read.
[[nodiscard]] bool ReadWholeText(msgbase::TMessageBase& Base, std::string& Text,
                                 std::string& Problem);
// Text cut into lines as the base's own line reader cuts it: a carriage
// return or a line feed ends a line, and a line feed directly after a
// carriage return belongs to it; a last line without an end counts too. The
// views point into Text.
[[nodiscard]] std::vector<std::string_view> SplitTextLines(std::string_view Text);

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
