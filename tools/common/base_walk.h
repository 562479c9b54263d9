// What the tools share for reading a base through the library's abstract
// interface: a walk over every message that a damaged base cannot lead astray,
// a message's whole text read in a few large pieces and cut into lines as the
// base's own reader cuts them, the line naming message files the base cannot
// number, and the text of a failed operation's status.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/message_base.h"

namespace tools {

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

}  // namespace tools
