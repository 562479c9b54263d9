#include "tools/msgextract/posting_scan.h"

#include <algorithm>
#include <string_view>

#include "encode/uudecode.h"
#include "tools/msgextract/foreign_parts.h"
#include "tools/msgextract/line_parse.h"

namespace msgextract {

namespace {

constexpr std::size_t MaxFileNameLength = 255;
// Lines whose bytes a piece makes room for at once: as many as an array of
// encoded lines holds.
constexpr std::size_t MaxReservedLines = 65535;

// "Section i of n of file NAME..." or "section ...": the numbers and the name
// (up to the first blank).
bool ParseSectionHeader(std::string_view S, TPiece& Piece) {
  if (!TakeText(S, "Section ") && !TakeText(S, "section ")) return false;
  if (!TakeNumber(S, Piece.Index) || !TakeText(S, " of ") || !TakeNumber(S, Piece.Count) ||
      !TakeText(S, " of file "))
    return false;
  const std::size_t End = S.find(' ');
  Piece.Name = std::string(S.substr(0, End));
  return true;
}

// "begin MODE NAME": an octal mode and the rest of the line as the name.
bool ParseBeginLine(std::string_view S, std::uint32_t& Mode, std::string& Name) {
  return msgextract::ParseBeginLine(S, "begin ", Mode, Name);
}

// A message's lines with what the parsers look ahead for, worked out once so
// that no text, however hostile, is read more than a few times over.
struct TText {
  explicit TText(const std::vector<std::string_view>& AllLines) : Lines(AllLines) {
    const std::size_t N = Lines.size();
    NextEnd.resize(N + 1, N);
    for (std::size_t I = N; I-- > 0;)
      NextEnd[I] = TrimRight(Lines[I]) == "end" ? I : NextEnd[I + 1];
    NextNotData.resize(N + 1, N);
    for (std::size_t I = N; I-- > 0;)
      NextNotData[I] = vellumar::UUMayBeDataLine(Lines[I]) ? NextNotData[I + 1] : I;
    BlanksBefore.resize(N + 1, 0);
    for (std::size_t I = 0; I < N; ++I)
      BlanksBefore[I + 1] =
          BlanksBefore[I] + (Lines[I].find(' ', 1) != std::string_view::npos ? 1 : 0);
  }

  const std::vector<std::string_view>& Lines;
  std::vector<std::size_t> NextEnd;  // the first "end" line at or after a line (or the count)
  std::vector<std::size_t>
      NextNotData;  // the first line at or after a line that no data line can be
  std::vector<std::size_t> BlanksBefore;  // lines before a line that hold a blank after their first
};

// Reads the data lines from Lines[At] up to and including the "end" line into
// Piece; returns where scanning goes on.
std::size_t ParseData(const TText& Text, std::size_t At, TPiece& Piece) {
  const std::vector<std::string_view>& Lines = Text.Lines;
  const std::size_t End = Text.NextEnd[At];
  // Only an encoder that writes zero as a blank loses characters when blanks
  // at line ends are stripped; it shows itself by a blank inside some line.
  const bool BlankStyle = Text.BlanksBefore[End] > Text.BlanksBefore[At];
  // Room for the lines up to "end", which are all data when the piece is
  // sound (no more than an array of lines can hold); a faulty piece gives its
  // room back at once. The room stops at the first line that cannot be data
  // (the "end" line is one): every begin line and section header is such a
  // line, so the rooms of all pieces of a text never overlap and add up to no
  // more than the text, however many blocks it opens and never closes.
  const std::size_t DataLines = Text.NextNotData[At] - At;
  Piece.Data.reserve(std::min(DataLines, MaxReservedLines) * vellumar::UUEMaxLineBytes);
  bool Short = false;   // a line carried fewer than 45 bytes: the file ends here
  bool Closed = false;  // the backquote line was seen
  std::size_t Number = 0;
  for (; At < End; ++At) {
    const std::string_view Line = Lines[At];
    ++Number;
    std::size_t Count = 0;
    const vellumar::TUULineStatus Status =
        vellumar::UUDecodeLine(Line, BlankStyle, Piece.Data, Count);
    if (Status != vellumar::ulOk) {
      // Text after a block that never ends is no bad data line: say what is wrong.
      Piece.Error = End < Lines.size() ? "data line " + std::to_string(Number) +
                                             " is bad: " + vellumar::UULineStatusText(Status)
                                       : "it has no end line";
      return At + 1;
    }
    if (Count == 0) {
      // The backquote line closes the data; a blank (or emptied) line before
      // it is the zero-length line of a file whose size is a multiple of 45.
      if (Line == "`") {
        Closed = true;
      } else if (!Closed) {
        Short = true;
      }
      continue;
    }
    if (Short || Closed) {
      Piece.Error = "data line " + std::to_string(Number) +
                    " follows the end of the data: the size does not add up";
      return At + 1;
    }
    ++Piece.DataLines;
    if (Count < vellumar::UUEMaxLineBytes) Short = true;
  }
  if (End == Lines.size()) {
    Piece.Error = "it has no end line";
    return End;
  }
  Piece.EndsFull = !Short;
  return End + 1;
}

// After a fault in a section: where scanning goes on, past the section's end
// line, so that its begin line is not taken for a block of its own; a section
// header on the way stops the skip.
std::size_t SkipSection(const TText& Text, std::size_t At) {
  const std::size_t End = Text.NextEnd[At];
  for (; At < End; ++At) {
    TPiece Ignored;
    if (ParseSectionHeader(Text.Lines[At], Ignored)) return At;
  }
  return End < Text.Lines.size() ? End + 1 : End;
}

// Parses the section whose header is Lines[At]; returns where scanning goes on.
std::size_t ParseSection(const TText& Text, std::size_t At, TPiece& Piece) {
  const std::vector<std::string_view>& Lines = Text.Lines;
  const auto Fault = [&](std::string Problem) {
    Piece.Error = std::move(Problem);
    return SkipSection(Text, At);
  };
  ++At;
  if (Piece.Index == 0 || Piece.Index > Piece.Count || Piece.Count > MaxSections)
    return Fault("its header counts section " + std::to_string(Piece.Index) + " of " +
                 std::to_string(Piece.Count) + ", which cannot be");
  // A cut file's sections have a blank line here; a file posted whole in one
  // message goes straight on with its begin line.
  if (At < Lines.size() && TrimRight(Lines[At]).empty()) ++At;
  if (At < Lines.size() && ParseBeginLine(Lines[At], Piece.Mode, Piece.BeginName)) {
    Piece.HasBegin = true;
    if (Piece.Index != 1) return Fault("it holds a begin line, which belongs to section 1 only");
    ++At;
  } else if (Piece.Index == 1) {
    return Fault("it has no begin line");
  }
  const std::size_t Next = ParseData(Text, At, Piece);
  return Piece.Error.empty() ? Next : SkipSection(Text, At);
}

}  // namespace

void ScanMessage(const TMessageText& Message, std::vector<TPiece>& Pieces) {
  if (ScanForeignMessage(Message, Pieces)) return;  // another tool's posting
  const std::vector<std::string_view>& Lines = Message.Lines;
  const TText Text(Lines);
  std::size_t At = 0;
  while (At < Lines.size()) {
    TPiece Piece;
    Piece.Message = Message.Number;
    Piece.Sender = Message.Sender;
    Piece.Subject = Message.Subject;
    if (ParseSectionHeader(Lines[At], Piece)) {
      Piece.Kind = pkSection;
      At = ParseSection(Text, At, Piece);
    } else if (ParseBeginLine(Lines[At], Piece.Mode, Piece.BeginName)) {
      Piece.Kind = pkBlock;
      Piece.HasBegin = true;
      Piece.Name = Piece.BeginName;
      At = ParseData(Text, At + 1, Piece);
    } else {
      ++At;
      continue;
    }
    if (!Piece.Error.empty()) std::string().swap(Piece.Data);  // nothing is written for it
    Pieces.push_back(std::move(Piece));
  }
}

std::vector<TPosting> JoinPieces(const std::vector<TPiece>& Pieces) {
  std::vector<TPosting> Postings;
  // The newest posting of each sender, name and count.
  std::map<std::string, std::size_t> Newest;
  for (std::size_t I = 0; I < Pieces.size(); ++I) {
    const TPiece& Piece = Pieces[I];
    std::size_t Into = Postings.size();
    if (Piece.Kind != pkBlock) {
      const std::string Key = std::to_string(Piece.Kind) + '\n' + Piece.Sender + '\n' + Piece.Name +
                              '\n' + std::to_string(Piece.Count);
      const auto Found = Newest.find(Key);
      if (Found != Newest.end() && !Postings[Found->second].Sections.contains(Piece.Index)) {
        Into = Found->second;
      } else {
        Newest[Key] = Into;
      }
    }
    if (Into == Postings.size()) {
      TPosting Posting;
      Posting.Kind = Piece.Kind;
      Posting.Sender = Piece.Sender;
      Posting.Name = Piece.Name;
      Posting.Subject = Piece.Subject;
      Posting.Count = Piece.Count;
      Postings.push_back(std::move(Posting));
    }
    TPosting& Posting = Postings[Into];
    Posting.Sections[Piece.Index] = I;
    if (Piece.Index == 1) Posting.Subject = Piece.Subject;
  }
  SettleForeignCounts(Postings, Pieces);
  return Postings;
}

TPostingCheck CheckPosting(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  TPostingCheck Check;
  const auto Bad = [&](std::uint64_t Section, std::string Problem) {
    Check.State = psBad;
    Check.Section = Section;
    Check.Problem = std::move(Problem);
    return Check;
  };
  for (const auto& [Index, At] : Posting.Sections)
    if (!Pieces[At].Error.empty()) return Bad(Index, Pieces[At].Error);
  if (Posting.Sections.size() != Posting.Count) {
    Check.State = psIncomplete;
    Check.Problem = "sections " + RangesText(SectionRanges(Posting, false)) + " of " +
                    std::to_string(Posting.Count) + " missing";
    return Check;
  }
  if (Posting.Kind == pkPart) return CheckForeignPosting(Posting, Pieces);
  const TPiece& First = Pieces[Posting.Sections.at(1)];
  for (const auto& [Index, At] : Posting.Sections) {
    const TPiece& Piece = Pieces[At];
    if (Index < Posting.Count && !Piece.EndsFull)
      return Bad(Index, "its data ends before the last section: the size does not add up");
    if (Index > 1 && Index < Posting.Count && Piece.DataLines != First.DataLines)
      return Bad(Index, "it holds " + std::to_string(Piece.DataLines) +
                            " data lines where section 1 holds " + std::to_string(First.DataLines));
    if (Index > 1 && Index == Posting.Count && Piece.DataLines > First.DataLines)
      return Bad(Index, "it holds more data lines than section 1");
    Check.Size += Piece.Data.size();
  }
  std::string Problem;
  if (!SafeFileName(First.BeginName, Check.FileName, Problem)) return Bad(1, Problem);
  Check.Mode = First.Mode;
  return Check;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> SectionRanges(const TPosting& Posting,
                                                                   bool Present) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges;
  std::uint64_t Next = 1;  // the first number not yet looked at
  for (const auto& [Index, At] : Posting.Sections) {
    (void)At;  // only the numbers matter here
    if (Index > Posting.Count) break;
    if (Present) {
      if (!Ranges.empty() && Ranges.back().second + 1 == Index) {
        Ranges.back().second = Index;
      } else {
        Ranges.emplace_back(Index, Index);
      }
    } else if (Index > Next) {
      Ranges.emplace_back(Next, Index - 1);
    }
    Next = Index + 1;
  }
  if (!Present && Next <= Posting.Count) Ranges.emplace_back(Next, Posting.Count);
  return Ranges;
}

std::string RangesText(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Ranges) {
  std::string Text;
  for (const auto& [From, To] : Ranges) {
    if (!Text.empty()) Text += ", ";
    Text += std::to_string(From);
    if (To == From) continue;
    Text += '-';
    Text += std::to_string(To);
  }
  return Text;
}

std::vector<std::string_view> FileParts(const TPosting& Posting,
                                        const std::vector<TPiece>& Pieces) {
  std::vector<std::string_view> Parts;
  Parts.reserve(Posting.Sections.size());
  for (const auto& Entry : Posting.Sections) Parts.emplace_back(Pieces[Entry.second].Data);
  return Parts;
}

bool SafeFileName(const std::string& Name, std::string& FileName, std::string& Problem) {
  const std::size_t Slash = Name.find_last_of("/\\");
  FileName = Slash == std::string::npos ? Name : Name.substr(Slash + 1);
  const auto Refuse = [&](const std::string& Why) {
    Problem = "the file name in its begin line " + Why;
    FileName.clear();
    return false;
  };
  if (FileName.empty()) return Refuse("is empty");
  if (FileName == "." || FileName == "..") return Refuse("names no file (" + FileName + ")");
  if (FileName.size() > MaxFileNameLength) return Refuse("is too long");
  for (const char C : Name) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte < 0x20 || Byte == 0x7F) return Refuse("holds a control character");
  }
  return true;
}

}  // namespace msgextract
