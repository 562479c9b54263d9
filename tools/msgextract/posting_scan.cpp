#include "tools/msgextract/posting_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
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

// "Section i of n of file NAME..." or "section ...": the numbers and the
// whole name, which ends where two blanks in a row open the credit text, or
// at the end of the line.
bool ParseSectionHeader(std::string_view S, TPiece& Piece) {
  if (!TakeText(S, "Section ") && !TakeText(S, "section ")) return false;
  if (!TakeNumber(S, Piece.Index) || !TakeText(S, " of ") || !TakeNumber(S, Piece.Count) ||
      !TakeText(S, " of file "))
    return false;
  Piece.Name = std::string(TrimRight(S.substr(0, S.find("  "))));
  return true;
}

bool LooksLikeStart(std::string_view S) {
  return S.starts_with("Section ") || S.starts_with("section ") || S.starts_with("begin ");
}

// "begin MODE NAME": an octal mode and the rest of the line as the name.
bool ParseOwnBeginLine(std::string_view S, std::uint32_t& Mode, std::string& Name) {
  return msgextract::ParseBeginLine(S, "begin ", Mode, Name);
}

// Where quoting software indented a posting's lines, or a tosser doubled
// every line end (CR CR LF, LF CR and CR LF LF each leave an empty line after
// every line), the run from a header or begin line to its "end" line is given
// back as it was written: the indent taken off every line, the empty lines in
// between dropped. A run is repaired only when every line of it fits the
// pattern up to an "end" line; everything else stays as it is. The work is
// bounded by a few passes over the text, however many runs fail. False, Out
// untouched, when nothing was repaired.
bool RepairLines(const std::vector<std::string_view>& In, std::vector<std::string_view>& Out) {
  const std::size_t N = In.size();
  bool Repaired = false;              // Out holds the lines before I once a run is repaired
  std::size_t Budget = 4 * N + 1024;  // lines looked at beyond the first pass
  std::size_t I = 0;
  while (I < N) {
    const std::string_view Line = In[I];
    const std::size_t Indent = std::min(Line.find_first_not_of(' '), Line.size());
    const bool Doubled = I + 1 < N && In[I + 1].empty();
    std::size_t Last = 0, Step = 0;  // the run's "end" line and the step to it
    if ((Indent > 0 || Doubled) && Budget > 0 && LooksLikeStart(Line.substr(Indent))) {
      for (const std::size_t Try : {std::size_t{2}, std::size_t{1}}) {
        if ((Try == 2 && !Doubled) || (Try == 1 && Indent == 0)) continue;
        for (std::size_t J = I; J + Try < N && Budget > 0; J += Try, --Budget) {
          if (Try == 2 && !In[J + 1].empty()) break;
          const std::string_view Next = In[J + Try];
          if (Next.find_first_not_of(' ') < Indent) break;
          if (TrimRight(Next.substr(std::min(Indent, Next.size()))) == "end") {
            Last = J + Try;
            break;
          }
        }
        if (Last > 0) {
          Step = Try;
          break;
        }
      }
    }
    if (Last == 0) {
      if (Repaired) Out.push_back(Line);
      ++I;
      continue;
    }
    if (!Repaired) Out.assign(In.begin(), In.begin() + static_cast<std::ptrdiff_t>(I));
    Repaired = true;
    for (; I <= Last; I += Step) Out.push_back(In[I].substr(std::min(Indent, In[I].size())));
    I = Last + 1;
  }
  return Repaired;
}

// A message's lines with what the parsers look ahead for, worked out once so
// that no text, however hostile, is read more than a few times over.
struct TText {
  // Texts are counted in 32 bits by every base, and so are their lines.
  using TLineNumber = std::uint32_t;

  explicit TText(const std::vector<std::string_view>& AllLines) : Lines(AllLines) {
    const auto N = static_cast<TLineNumber>(Lines.size());
    NextEnd.resize(N + std::size_t{1}, N);
    for (TLineNumber I = N; I-- > 0;)
      NextEnd[I] = TrimRight(Lines[I]) == "end" ? I : NextEnd[I + 1];
    NextNotData.resize(N + std::size_t{1}, N);
    for (TLineNumber I = N; I-- > 0;)
      NextNotData[I] = vellumar::UUMayBeDataLine(Lines[I]) ? NextNotData[I + 1] : I;
  }

  // Whether the data lines [At, End) (End the "end" line) may have lost
  // characters by stripped blanks. Only an encoder that writes zero as a
  // blank loses characters so: it shows itself by a blank inside some line,
  // or by no backquote anywhere, not even as the line that closes the data.
  // Only a line shorter than its length character says asks, so the counts
  // are made on the first question, once for the whole text.
  [[nodiscard]] bool BlanksMayBeLost(std::size_t At, std::size_t End) const {
    if (BlanksBefore.empty()) {
      const auto N = static_cast<TLineNumber>(Lines.size());
      BlanksBefore.resize(N + std::size_t{1}, 0);
      BackquotesBefore.resize(N + std::size_t{1}, 0);
      for (TLineNumber I = 0; I < N; ++I) {
        const std::string_view L = Lines[I];
        BlanksBefore[I + 1] = BlanksBefore[I] + (L.find(' ', 1) != std::string_view::npos ? 1 : 0);
        BackquotesBefore[I + 1] =
            BackquotesBefore[I] + (L != "`" && L.find('`') != std::string_view::npos ? 1 : 0);
      }
    }
    const bool Backquoted = BackquotesBefore[End] > BackquotesBefore[At] ||
                            (End > At && End < Lines.size() && Lines[End - 1] == "`");
    return BlanksBefore[End] > BlanksBefore[At] || !Backquoted;
  }

  const std::vector<std::string_view>& Lines;
  std::vector<TLineNumber> NextEnd;  // the first "end" line at or after a line (or the count)
  std::vector<TLineNumber>
      NextNotData;  // the first line at or after a line that no data line can be

 private:
  mutable std::vector<TLineNumber>
      BlanksBefore;  // lines before a line with a blank after their first
  mutable std::vector<TLineNumber>
      BackquotesBefore;  // lines before a line with a backquote, "`" aside
};

// Whether data follows at Lines[At]: past empty lines, the "end" line, the
// backquote line or a data line that decodes. A "begin" or section line
// followed by anything else is text that only looks like one.
bool DataFollows(const TText& Text, std::size_t At) {
  while (At < Text.Lines.size() && Text.Lines[At].empty()) ++At;
  if (At >= Text.Lines.size()) return false;
  const std::string_view Line = Text.Lines[At];
  if (TrimRight(Line) == "end" || Line == "`") return true;
  // Blanks lost at the line's end are forgiven here: whether they may be is
  // for the data to show.
  std::string Scratch;
  std::size_t Count = 0;
  return vellumar::UUDecodeLine(Line, true, Scratch, Count) == vellumar::ulOk;
}

// Reads the data lines from Lines[At] up to and including the "end" line into
// Piece; returns where scanning goes on.
std::size_t ParseData(const TText& Text, std::size_t At, TPiece& Piece) {
  const std::vector<std::string_view>& Lines = Text.Lines;
  const std::size_t End = Text.NextEnd[At];
  const std::size_t FirstData = At;
  enum { Unknown, No, Yes } BlankStyle = Unknown;  // asked for only by a short line
  // Room for the lines up to "end", which are all data when the piece is
  // sound (no more than an array of lines can hold); a faulty piece gives its
  // room back at once. The room stops at the first line that cannot be data
  // (the "end" line is one): every begin line and section header is such a
  // line, so the rooms of all pieces of a text never overlap and add up to no
  // more than the text, however many blocks it opens and never closes.
  const std::size_t DataLines = Text.NextNotData[At] - At;
  Piece.Data.reserve(std::min(DataLines, MaxReservedLines) * vellumar::UUEMaxLineBytes);
  bool Short = false;         // a line carried fewer than 45 bytes: the file ends here
  bool Closed = false;        // the backquote line was seen
  std::size_t ZeroLines = 0;  // blank or empty lines since the last that carried bytes
  std::size_t Number = 0;
  const auto Fault = [&](std::string Problem) {
    Piece.Error = std::move(Problem);
    return At + 1;
  };
  for (; At < End; ++At) {
    const std::string_view Line = Lines[At];
    ++Number;
    // A line that a tosser's wrapping cut in two: the rest is the next line.
    if (!Line.empty() && At + 1 < End && vellumar::UUMayBeDataLine(Line)) {
      const auto Bytes = static_cast<std::size_t>((Line[0] - ' ') & 0x3F);
      if (Line.size() < vellumar::UULineLength(Bytes) &&
          Line.size() + TrimRight(Lines[At + 1]).size() == vellumar::UULineLength(Bytes))
        return Fault("data line " + std::to_string(Number) +
                     " is cut in two (wrapped in transit?); it is not guessed at");
    }
    std::size_t Count = 0;
    vellumar::TUULineStatus Status = vellumar::UUDecodeLine(Line, false, Piece.Data, Count);
    if (Status == vellumar::ulTooShort) {
      if (BlankStyle == Unknown) BlankStyle = Text.BlanksMayBeLost(FirstData, End) ? Yes : No;
      if (BlankStyle == Yes) Status = vellumar::UUDecodeLine(Line, true, Piece.Data, Count);
    }
    if (Status != vellumar::ulOk) {
      // Text after a block that never ends is no bad data line: say what is wrong.
      return Fault(End < Lines.size() ? "data line " + std::to_string(Number) +
                                            " is bad: " + vellumar::UULineStatusText(Status)
                                      : "it has no end line");
    }
    if (Count == 0) {
      // The backquote line closes the data; a blank (or emptied) line before
      // it is the zero-length line of a file whose size is a multiple of 45.
      if (Line == "`") {
        Closed = true;
      } else if (!Closed) {
        ++ZeroLines;
      }
      continue;
    }
    if (Short || Closed || ZeroLines > 0)
      return Fault("data line " + std::to_string(Number) +
                   " follows the end of the data: the size does not add up");
    ++Piece.DataLines;
    if (Count < vellumar::UUEMaxLineBytes) Short = true;
  }
  if (End == Lines.size()) {
    Piece.Error = "it has no end line";
    return End;
  }
  // Encoders that write zero as a blank close the data with a blank line, not
  // a backquote: then only a second one is the zero-length line.
  Piece.EndsFull = !Short && ZeroLines < (Closed ? 1u : 2u);
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

// Parses the section whose header is Lines[At]; returns where scanning goes
// on. A header that no data follows leaves Piece.Ignored set.
std::size_t ParseSection(const TText& Text, std::size_t At, TPiece& Piece, bool& Ignored) {
  const std::vector<std::string_view>& Lines = Text.Lines;
  const std::size_t Header = At;
  const auto Fault = [&](std::string Problem) {
    Piece.Error = std::move(Problem);
    return SkipSection(Text, At);
  };
  ++At;
  // A cut file's sections have a blank line here; a file posted whole in one
  // message goes straight on with its begin line.
  if (At < Lines.size() && TrimRight(Lines[At]).empty()) ++At;
  const bool HasBegin =
      At < Lines.size() && ParseOwnBeginLine(Lines[At], Piece.Mode, Piece.BeginName);
  if (!DataFollows(Text, HasBegin ? At + 1 : At)) {
    Ignored = true;
    return Header + 1;
  }
  if (Piece.Index == 0 || Piece.Index > Piece.Count || Piece.Count > MaxSections)
    return Fault("its header counts section " + std::to_string(Piece.Index) + " of " +
                 std::to_string(Piece.Count) + ", which cannot be");
  if (HasBegin) {
    Piece.HasBegin = true;
    if (Piece.Index != 1) return Fault("it holds a begin line, which belongs to section 1 only");
    ++At;
  } else if (Piece.Index == 1) {
    return Fault("it has no begin line");
  }
  const std::size_t Next = ParseData(Text, At, Piece);
  return Piece.Error.empty() ? Next : SkipSection(Text, At);
}

// The origin and serial of the message's ^AMSGID line; false without one.
bool FindMsgId(const std::vector<std::string_view>& Lines, std::string& Origin,
               std::uint32_t& Serial) {
  for (const std::string_view Line : Lines) {
    std::string_view S = Line;
    if (!TakeText(S, "\x01MSGID: ")) continue;
    S = TrimRight(S);
    const std::size_t Blank = S.rfind(' ');
    if (Blank == std::string_view::npos || S.size() - Blank - 1 > 8) return false;
    std::uint32_t Value = 0;
    for (const char C : S.substr(Blank + 1)) {
      const int Digit = C >= '0' && C <= '9'                     ? C - '0'
                        : (C | 0x20) >= 'a' && (C | 0x20) <= 'f' ? (C | 0x20) - 'a' + 10
                                                                 : -1;
      if (Digit < 0) return false;
      Value = Value * 16 + static_cast<std::uint32_t>(Digit);
    }
    Origin = std::string(S.substr(0, Blank));
    Serial = Value;
    return true;
  }
  return false;
}

// The digest of a piece's bytes and begin line; a piece read again must give
// it again. Eight bytes a step, each step multiplied and folded, in four
// independent lanes (so that the steps of a long piece overlap instead of
// waiting on each other), which are folded together at the end: no defence
// against a crafted collision, which could at worst drop a section as a copy
// of one with the same message identifier, or pass a changed message.
std::uint64_t PieceDigest(const TPiece& Piece) {
  const auto Step = [](std::uint64_t& Hash, std::uint64_t Word) {
    Hash = (Hash ^ Word) * 0x100000001B3u;
    Hash ^= Hash >> 29;
  };
  const auto Word = [](const char* Bytes) {
    std::uint64_t Value = 0;
    std::memcpy(&Value, Bytes, 8);
    return Value;
  };
  std::uint64_t Hash = 0xCBF29CE484222325u;
  const auto Add = [&](std::string_view Bytes) {
    constexpr std::size_t Lanes = 4;
    std::uint64_t Lane[Lanes] = {Hash, Hash ^ 1, Hash ^ 2, Hash ^ 3};
    std::size_t At = 0;
    for (; At + 8 * Lanes <= Bytes.size(); At += 8 * Lanes)
      for (std::size_t L = 0; L < Lanes; ++L) Step(Lane[L], Word(Bytes.data() + At + 8 * L));
    for (; At + 8 <= Bytes.size(); At += 8) Step(Lane[0], Word(Bytes.data() + At));
    std::uint64_t Tail = Bytes.size() - At;  // the length too, so "a" and "a\0" differ
    for (; At < Bytes.size(); ++At) Tail = Tail << 8 | static_cast<unsigned char>(Bytes[At]);
    Step(Lane[0], Tail);
    Hash = Lane[0];
    for (std::size_t L = 1; L < Lanes; ++L) Step(Hash, Lane[L]);
  };
  Add(std::to_string(Piece.Mode) + ' ' + Piece.BeginName + '\n');
  Add(Piece.Data);
  return Hash;
}

// The line as the listing of ignored lines shows it.
constexpr std::size_t MaxIgnoredText = 72;

// The project's own sections and blocks in Lines, appended to Pieces.
void ScanOwnPieces(const TMessageText& Message, const std::vector<std::string_view>& Lines,
                   std::vector<TPiece>& Pieces, TIgnoredLines* Ignored) {
  const TText Text(Lines);
  std::size_t Bad = 0;
  std::size_t At = 0;
  while (At < Lines.size()) {
    TPiece Piece;
    bool Chat = false;
    const std::size_t Start = At;
    if (ParseSectionHeader(Lines[At], Piece)) {
      Piece.Kind = pkSection;
      At = ParseSection(Text, At, Piece, Chat);
    } else if (ParseOwnBeginLine(Lines[At], Piece.Mode, Piece.BeginName)) {
      Piece.Kind = pkBlock;
      Piece.HasBegin = true;
      Piece.Name = Piece.BeginName;
      Chat = !DataFollows(Text, At + 1);
      At = Chat ? At + 1 : ParseData(Text, At + 1, Piece);
    } else {
      ++At;
      continue;
    }
    if (Chat) {
      if (Ignored != nullptr && Ignored->Count++ < MaxIgnoredKept)
        Ignored->Lines.push_back(
            {Message.Number, std::string(Lines[Start].substr(0, MaxIgnoredText))});
      continue;
    }
    if (!Piece.Error.empty() && ++Bad > MaxBadKept) {
      if (Ignored != nullptr) ++Ignored->BadNotKept;
      continue;
    }
    Pieces.push_back(std::move(Piece));
  }
}

}  // namespace

void ScanMessage(const TMessageText& Message, std::vector<TPiece>& Pieces, TIgnoredLines* Ignored) {
  std::vector<std::string_view> Repaired;
  const bool IsRepaired = RepairLines(Message.Lines, Repaired);
  const std::vector<std::string_view>& Lines = IsRepaired ? Repaired : Message.Lines;
  const std::size_t First = Pieces.size();
  TMessageText View;  // the message with its lines repaired
  if (IsRepaired) {
    View.Number = Message.Number;
    View.Sender = Message.Sender;
    View.Subject = Message.Subject;
    View.Date = Message.Date;
    View.Lines = Repaired;
  }
  if (!ScanForeignMessage(IsRepaired ? View : Message, Pieces, Ignored))  // another tool's posting
    ScanOwnPieces(Message, Lines, Pieces, Ignored);
  // What identifies every piece this call appended, whichever scanner found
  // it; the same text always gives the same pieces in the same order, so the
  // place among them finds a piece again when its message is read again.
  std::string Origin;
  std::uint32_t Serial = 0;
  const bool HasMsgId = FindMsgId(Message.Lines, Origin, Serial);
  for (std::size_t I = First; I < Pieces.size(); ++I) {
    TPiece& Piece = Pieces[I];
    Piece.Message = Message.Number;
    Piece.Sender = Message.Sender;
    Piece.Subject = Message.Subject;
    Piece.Date = Message.Date;
    if (HasMsgId) {
      Piece.MsgIdOrigin = Origin;
      Piece.MsgIdSerial = Serial;
    }
    Piece.Ordinal = static_cast<std::uint32_t>(I - First);
    if (!Piece.Error.empty()) std::string().swap(Piece.Data);  // nothing is written for it
    Piece.Size = Piece.Data.size();
    Piece.Digest = PieceDigest(Piece);
  }
}

namespace {

// Postings of one sender, name and count that a piece is compared with, the
// newest first; older ones are not looked at, which keeps a base of many
// reposts of one file from costing time by the square.
constexpr std::size_t MaxCandidates = 64;

// Whether section A can have been written before section B, going by the
// dates and by the serials of identifiers from one origin. Other tools'
// parts go by the dates only: a gateway that passes them on may make the
// serials of one origin from a hash of each article's own identifier.
bool WrittenBefore(const TPiece& A, const TPiece& B) {
  if (A.Date != 0 && B.Date != 0 && A.Date > B.Date) return false;
  return A.Kind == pkPart || A.MsgIdOrigin.empty() || A.MsgIdOrigin != B.MsgIdOrigin ||
         A.MsgIdSerial < B.MsgIdSerial;
}

// A copy of Held that a tosser let through: the same message identifier (or
// none on either) and the same bytes.
bool IsCopy(const TPiece& Held, const TPiece& Piece) {
  return Held.MsgIdOrigin == Piece.MsgIdOrigin && Held.MsgIdSerial == Piece.MsgIdSerial &&
         Held.Size == Piece.Size && Held.Digest == Piece.Digest &&
         Held.DataLines == Piece.DataLines && Held.Error == Piece.Error;
}

// Whether Piece, whose section Posting lacks, agrees with it: as many data
// lines as its other sections before the last (the last no more), and
// written after the nearest section below it and before the nearest above.
// Other tools' parts are held to the order of their dates only: their
// encoders count lines in ways of their own (headers in part 1, yEnc's
// escapes).
bool Fits(const TPosting& Posting, const TPiece& Piece, const std::vector<TPiece>& Pieces) {
  if (Piece.Kind == pkSection && Piece.Error.empty()) {
    const bool Last = Piece.Index == Posting.Count;
    std::uint32_t Lines = Posting.LinesPerSection;
    if (!Last && Lines != 0 && Piece.DataLines != Lines) return false;
    if (Last && Lines != 0 && Piece.DataLines > Lines) return false;
    const auto Final = Posting.Sections.find(Posting.Count);
    if (!Last && Lines == 0 && Final != Posting.Sections.end() &&
        Pieces[Final->second].Error.empty() && Pieces[Final->second].DataLines > Piece.DataLines)
      return false;
  }
  const auto Above = Posting.Sections.upper_bound(Piece.Index);
  if (Above != Posting.Sections.end() && !WrittenBefore(Piece, Pieces[Above->second])) return false;
  return Above == Posting.Sections.begin() ||
         WrittenBefore(Pieces[std::prev(Above)->second], Piece);
}

}  // namespace

std::vector<TPosting> JoinPieces(const std::vector<TPiece>& Pieces) {
  std::vector<TPosting> Postings;
  // The postings of each kind, sender, name and count, oldest first.
  std::map<std::string, std::vector<std::size_t>> Keyed;
  for (std::size_t I = 0; I < Pieces.size(); ++I) {
    const TPiece& Piece = Pieces[I];
    const std::string Key = std::to_string(Piece.Kind) + '\n' + Piece.Sender + '\n' + Piece.Name +
                            '\n' + std::to_string(Piece.Count);
    std::vector<std::size_t>& Candidates = Keyed[Key];
    std::size_t Into = Postings.size();
    bool Copy = false;
    for (std::size_t C = Candidates.size(), Looked = 0; C-- > 0 && Looked < MaxCandidates;
         ++Looked) {
      TPosting& Posting = Postings[Candidates[C]];
      const auto Held = Posting.Sections.find(Piece.Index);
      if (Held != Posting.Sections.end()) {
        Copy = IsCopy(Pieces[Held->second], Piece);
        if (Copy) {
          Posting.Duplicates.push_back(I);
          break;
        }
        continue;
      }
      if (Piece.Kind != pkBlock && Fits(Posting, Piece, Pieces)) {
        Into = Candidates[C];
        break;
      }
    }
    if (Copy) continue;
    if (Into == Postings.size()) {
      TPosting Posting;
      Posting.Kind = Piece.Kind;
      Posting.Sender = Piece.Sender;
      Posting.Name = Piece.Name;
      Posting.Subject = Piece.Subject;
      Posting.Count = Piece.Count;
      Postings.push_back(std::move(Posting));
      Candidates.push_back(Into);
    }
    TPosting& Posting = Postings[Into];
    Posting.Sections[Piece.Index] = I;
    if (Piece.Index == 1) Posting.Subject = Piece.Subject;
    if (Piece.Kind == pkSection && Piece.Index < Piece.Count && Piece.Error.empty())
      Posting.LinesPerSection = Piece.DataLines;
  }
  SettleForeignCounts(Postings, Pieces);
  return Postings;
}

TPostingCheck BadPosting(std::uint64_t Section, std::string Problem) {
  TPostingCheck Check;
  Check.State = psBad;
  Check.Section = Section;
  Check.Problem = std::move(Problem);
  return Check;
}

TPostingCheck CheckPosting(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  TPostingCheck Check;
  for (const auto& [Index, At] : Posting.Sections)
    if (!Pieces[At].Error.empty()) return BadPosting(Index, Pieces[At].Error);
  // Parts that give no count are counted up to the first that ends the file,
  // so a part may be numbered past it: the parts contradict each other.
  if (!Posting.Sections.empty() && Posting.Sections.rbegin()->first > Posting.Count)
    return BadPosting(
        Posting.Sections.rbegin()->first,
        "it is numbered past part " + std::to_string(Posting.Count) + ", which ends the file");
  // Numbers are unique and none is past the count: as many of them as the
  // count, the lowest being 1, are every number from 1 to the count.
  if (Posting.Sections.empty() || Posting.Sections.size() != Posting.Count ||
      Posting.Sections.begin()->first != 1) {
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
      return BadPosting(Index, "its data ends before the last section: the size does not add up");
    if (Index > 1 && Index < Posting.Count && Piece.DataLines != First.DataLines)
      return BadPosting(Index, "it holds " + std::to_string(Piece.DataLines) +
                                   " data lines where section 1 holds " +
                                   std::to_string(First.DataLines));
    if (Index > 1 && Index == Posting.Count && Piece.DataLines > First.DataLines)
      return BadPosting(Index, "it holds more data lines than section 1");
    Check.Size += Piece.Size;
  }
  std::string Problem;
  if (!SafeFileName(First.BeginName, Check.FileName, Problem)) return BadPosting(1, Problem);
  Check.Mode = First.Mode;
  return Check;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> SectionRanges(const TPosting& Posting,
                                                                   bool Present) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges;
  std::uint64_t Next = 1;  // the first number not yet looked at
  for (const auto& [Index, At] : Posting.Sections) {
    (void)At;                                      // only the numbers matter here
    if (Index > Posting.Count && !Present) break;  // a part past the end is present, not missing
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

namespace {

// The UTF-8 sequence at Name[At] when it is a character that changes how a
// name looks without being seen (C1 controls, the bidirectional marks,
// embeddings, overrides and isolates); its length, else 0.
std::size_t HiddenCharacterLength(std::string_view Name, std::size_t At) {
  const auto Byte = [&](std::size_t I) {
    return At + I < Name.size() ? static_cast<unsigned char>(Name[At + I]) : 0u;
  };
  if (Byte(0) == 0xC2 && Byte(1) >= 0x80 && Byte(1) <= 0x9F) return 2;  // U+0080..U+009F
  if (Byte(0) == 0xD8 && Byte(1) == 0x9C) return 2;                     // U+061C
  if (Byte(0) == 0xE2 && Byte(1) == 0x80 &&
      (Byte(2) == 0x8E || Byte(2) == 0x8F || (Byte(2) >= 0xAA && Byte(2) <= 0xAE)))
    return 3;  // U+200E, U+200F, U+202A..U+202E
  if (Byte(0) == 0xE2 && Byte(1) == 0x81 && Byte(2) >= 0xA6 && Byte(2) <= 0xA9)
    return 3;  // U+2066..U+2069
  return 0;
}

// Whether Name, up to its first dot, is a device name of DOS, which no file
// may bear there.
bool IsDeviceName(std::string_view Name) {
  std::string Stem(Name.substr(0, Name.find('.')));
  for (char& C : Stem)
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
  if (Stem == "CON" || Stem == "PRN" || Stem == "AUX" || Stem == "NUL" || Stem == "CLOCK$")
    return true;
  return Stem.size() == 4 && (Stem.starts_with("COM") || Stem.starts_with("LPT")) &&
         Stem[3] >= '1' && Stem[3] <= '9';
}

}  // namespace

bool SafeFileName(const std::string& Name, std::string& FileName, std::string& Problem) {
  const std::size_t Slash = Name.find_last_of("/\\");
  const std::string_view Last = Slash == std::string::npos
                                    ? std::string_view(Name)
                                    : std::string_view(Name).substr(Slash + 1);
  const auto Refuse = [&](const std::string& Why) {
    Problem = "the file name in its begin line " + Why;
    FileName.clear();
    return false;
  };
  if (Last.empty()) return Refuse("is empty");
  if (Last == "." || Last == "..") return Refuse("names no file (" + std::string(Last) + ")");
  FileName.clear();
  for (std::size_t I = 0; I < Last.size(); ++I) {
    const auto Byte = static_cast<unsigned char>(Last[I]);
    if (const std::size_t Hidden = HiddenCharacterLength(Last, I); Hidden > 0) {
      FileName += '_';
      I += Hidden - 1;
    } else {
      FileName += Byte < 0x20 || Byte == 0x7F ? '_' : Last[I];
    }
  }
  if (FileName[0] == '.' || FileName[0] == '-') FileName[0] = '_';
  if (IsDeviceName(FileName)) FileName.insert(0, 1, '_');
  if (FileName.size() > MaxFileNameLength) return Refuse("is too long");
  return true;
}

}  // namespace msgextract
