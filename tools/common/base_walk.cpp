#include "tools/common/base_walk.h"

#include <algorithm>
#include <limits>

#include "msgbase/status.h"
#include "tools/common/tool_text.h"

namespace tools {

using msgbase::TMessageBase;

namespace {

// Steps the walk may take beyond the larger of count and highest number
// before it is taken to run in circles.
constexpr std::int64_t WalkMargin = 16;
// Names of uncounted files shown in their line; the JSON lists them all.
constexpr std::size_t UncountedNamesShown = 10;

}  // namespace

bool WalkMessages(TMessageBase& Base, const std::function<bool()>& Visit, std::string& Problem) {
  // A damaged base may report any counts and lead anywhere: the walk ends
  // after a bounded number of steps and as soon as the numbers stop rising.
  const std::int64_t Limit =
      std::max<std::int64_t>({Base.GetCount(), Base.GetHighest(), 0}) + WalkMargin;
  std::int64_t Steps = 0;
  std::int32_t Previous = std::numeric_limits<std::int32_t>::min();
  Base.Seek(1);
  while (Base.SeekFound()) {
    const std::int32_t Number = Base.Current();
    if (Number <= Previous) {
      Problem = "the walk stopped: message " + std::to_string(Number) + " follows message " +
                std::to_string(Previous);
      return false;
    }
    if (++Steps > Limit) {
      Problem = "the walk stopped after " + std::to_string(Limit) +
                " messages, more than the base counts";
      return false;
    }
    Previous = Number;
    if (!Visit()) return true;
    Base.SeekNext();
  }
  return true;
}

std::string UncountedFilesLine(TMessageBase& Base) {
  const std::vector<std::string> Files = Base.GetUncountedFiles();
  if (Files.empty()) return "";
  std::string Names;
  for (std::size_t I = 0; I < Files.size() && I < UncountedNamesShown; ++I) {
    Names += (I > 0 ? ", " : "") + VisibleText(Files[I]);
  }
  if (Files.size() > UncountedNamesShown) {
    Names += " and " + std::to_string(Files.size() - UncountedNamesShown) + " more";
  }
  return "Not read: " + std::to_string(Files.size()) +
         (Files.size() == 1 ? " message file whose number" : " message files whose numbers") +
         " the format cannot count: " + Names;
}

std::string FailureText(std::int32_t Status) {
  return Status != msgbase::stOk ? msgbase::ExplainStatus(Status) : "failed without a status";
}

bool ReadWholeText(TMessageBase& Base, std::string& Text, std::string& Problem) {
  Text.clear();
  std::int32_t Pos = Base.GetTextPos();
  const std::int32_t Size = Base.GetTextSize();
  while (Pos >= 0 && Pos < Size) {
    const auto Count = static_cast<std::uint16_t>(
        std::min<std::int32_t>(Size - Pos, std::numeric_limits<std::uint16_t>::max()));
    const std::size_t At = Text.size();
    Text.resize(At + Count);
    Base.ReadText(Text.data() + At, Count);
    const std::int32_t Next = Base.GetTextPos();
    if (Next != Pos + Count) {
      Text.resize(At);
      Problem = "its text cannot be read past position " + std::to_string(Pos);
      return false;
    }
    Pos = Next;
  }
  return true;
}

std::vector<std::string_view> SplitTextLines(std::string_view Text) {
  std::vector<std::string_view> Lines;
  // Room for lines of the length message texts mostly have, given at once
  // rather than grown line by line (bounded: a text of one long line must
  // not reserve for thousands).
  constexpr std::size_t TypicalLine = 64, MostReserved = 4096;
  Lines.reserve(std::min(Text.size() / TypicalLine + 1, MostReserved));
  // Texts end their lines in carriage returns far more often than in line
  // feeds: the next line feed is looked up once and kept until passed.
  std::size_t NextFeed = Text.find('\n');
  std::size_t Start = 0;
  while (Start < Text.size()) {
    if (NextFeed != std::string_view::npos && NextFeed < Start) NextFeed = Text.find('\n', Start);
    const std::size_t NextReturn = Text.find('\r', Start);
    const std::size_t End = std::min(NextReturn, NextFeed);
    if (End == std::string_view::npos) break;
    Lines.push_back(Text.substr(Start, End - Start));
    Start = End + 1;
    // Only a line feed after a carriage return belongs to the same line end.
    if (End == NextReturn && Start < Text.size() && Text[Start] == '\n') ++Start;
  }
  if (Start < Text.size()) Lines.push_back(Text.substr(Start));
  return Lines;
}

}  // namespace tools
