#include "tools/msgextract/foreign_parts.h"

#include <algorithm>

#include "encode/uudecode.h"
#include "tools/msgextract/line_parse.h"

namespace msgextract {

namespace {

using TLines = std::vector<std::string_view>;

constexpr std::size_t NoLine = static_cast<std::size_t>(-1);
// Files without a mode of their own (MIME, yEnc) get a text file's.
constexpr std::uint32_t DefaultMode = 0644;
// The shortest base64 line that starts a part's data with no line announcing
// it: shorter ones are too easily words.
constexpr std::size_t MinBase64RunLine = 16;
// Lines a MIME header group or folded header is looked through, and the part
// of a subject looked at: bounds that no real one reaches, so that hostile
// texts are read a bounded number of times.
constexpr std::size_t MaxHeaderLines = 64;
constexpr std::size_t MaxSubjectLength = 256;
// Characters of a full uuencoded or xxencoded line of 45 bytes, and their
// length characters.
constexpr std::size_t FullLineChars = vellumar::UULineLength(vellumar::UUEMaxLineBytes);
constexpr char FullUULength = 'M';
constexpr char FullXXLength = 'h';

std::string_view Trim(std::string_view S) {
  S = TrimRight(S);
  while (!S.empty() && (S.front() == ' ' || S.front() == '\t')) S.remove_prefix(1);
  return S;
}

void SkipBlanks(std::string_view& S) {
  while (!S.empty() && S.front() == ' ') S.remove_prefix(1);
}

// The project's own "Section i of n of file" header: such a message is the
// project scanner's.
bool IsOwnSectionHeader(std::string_view S) {
  std::uint64_t N = 0;
  return (TakeText(S, "Section ") || TakeText(S, "section ")) && TakeNumber(S, N) &&
         TakeText(S, " of ") && TakeNumber(S, N) && TakeText(S, " of file ");
}

// "_=_ Part i of n of file NAME": a part header of the splitting encoder.
bool ParsePartHeader(std::string_view S, TPartNumber& Number) {
  if (!TakeTextNoCase(S, "_=_ Part ") || !TakeNumber(S, Number.Index) ||
      !TakeTextNoCase(S, " of ") || !TakeNumber(S, Number.Count) || !TakeTextNoCase(S, " of file "))
    return false;
  Number.Key = std::string(Trim(S));
  Number.FileName = Number.Key;
  return !Number.Key.empty();
}

// "section i of uuencode VERSION of file NAME  by WHO": the classic header,
// which counts no parts.
bool ParseClassicHeader(std::string_view S, TPartNumber& Number) {
  if (!TakeTextNoCase(S, "section ") || !TakeNumber(S, Number.Index) ||
      !TakeTextNoCase(S, " of uuencode "))
    return false;
  const std::size_t Of = S.find(" of file ");
  if (Of == std::string_view::npos) return false;
  S.remove_prefix(Of + 9);
  S = Trim(S);
  Number.Count = 0;
  Number.Key = std::string(S.substr(0, S.find(' ')));
  Number.FileName = Number.Key;
  return !Number.Key.empty();
}

// A MIME header's parameter (name=value or name="value"), ASCII case folded
// in the name; empty when it is not there.
std::string MimeParameter(std::string_view Header, std::string_view Name) {
  for (std::size_t At = 0; At < Header.size(); ++At) {
    if (At > 0 && Header[At - 1] != ';' && Header[At - 1] != ' ' && Header[At - 1] != '\t')
      continue;
    std::string_view S = Header.substr(At);
    if (!TakeTextNoCase(S, Name) || !TakeTextNoCase(S, "=")) continue;
    if (!S.empty() && S.front() == '"') {
      S.remove_prefix(1);
      return std::string(S.substr(0, S.find('"')));
    }
    return std::string(TrimRight(S.substr(0, S.find_first_of("; \t"))));
  }
  return {};
}

// The MIME header that starts at Lines[At], with its folded lines joined.
std::string MimeHeader(const TLines& Lines, std::size_t At) {
  std::string Header(Lines[At]);
  const std::size_t Stop = std::min(Lines.size(), At + MaxHeaderLines);
  for (++At; At < Stop && !Lines[At].empty() && (Lines[At][0] == ' ' || Lines[At][0] == '\t');
       ++At) {
    Header += ' ';
    Header += Trim(Lines[At]);
  }
  return Header;
}

// "Content-Type: message/partial; number=i; total=n; id=..."
bool ParsePartialHeader(const TLines& Lines, std::size_t At, TPartNumber& Number) {
  std::string_view S = Lines[At];
  if (!TakeTextNoCase(S, "Content-Type:")) return false;
  SkipBlanks(S);
  if (!StartsNoCase(S, "message/partial")) return false;
  const std::string Header = MimeHeader(Lines, At);
  const std::string IndexText = MimeParameter(Header, "number");
  const std::string CountText = MimeParameter(Header, "total");
  std::string_view Index = IndexText, Count = CountText;
  Number.Key = MimeParameter(Header, "id");
  return TakeNumber(Index, Number.Index) && TakeNumber(Count, Number.Count) && Index.empty() &&
         Count.empty() && !Number.Key.empty();
}

// The bracketed "(i/n)" or "[i/n]" at S[At]; End receives where it ends.
bool BracketNumber(std::string_view S, std::size_t At, TPartNumber& Number, std::size_t& End) {
  const char Close = S[At] == '(' ? ')' : S[At] == '[' ? ']' : '\0';
  if (Close == '\0') return false;
  std::string_view R = S.substr(At + 1);
  SkipBlanks(R);
  if (!TakeNumber(R, Number.Index)) return false;
  SkipBlanks(R);
  if (!TakeTextNoCase(R, "/")) return false;
  SkipBlanks(R);
  if (!TakeNumber(R, Number.Count)) return false;
  SkipBlanks(R);
  if (!TakeTextNoCase(R, std::string_view(&Close, 1))) return false;
  End = S.size() - R.size();
  return true;
}

// "i/n" as a word, or "part i of n" / "section i of n", at S[At] (a word's start).
bool WordNumber(std::string_view S, std::size_t At, TPartNumber& Number, std::size_t& End) {
  std::string_view R = S.substr(At);
  if (TakeTextNoCase(R, "part ") || TakeTextNoCase(R, "section ")) {
    if (!TakeNumber(R, Number.Index) || !TakeTextNoCase(R, " of ") || !TakeNumber(R, Number.Count))
      return false;
  } else if (!TakeNumber(R, Number.Index) || !TakeTextNoCase(R, "/") ||
             !TakeNumber(R, Number.Count)) {
    return false;
  }
  if (!R.empty() && R.front() != ' ' && R.front() != '\t') return false;
  End = S.size() - R.size();
  return true;
}

// The numbering of the text, from its first header line: the splitting
// encoder's, the classic one or a MIME partial; Line receives where it is.
bool TextPartNumber(const TLines& Lines, TPartNumber& Number, std::size_t& Line) {
  for (Line = 0; Line < Lines.size(); ++Line) {
    const std::string_view S = Lines[Line];
    if (S.empty()) continue;
    if ((S[0] == '_' && ParsePartHeader(S, Number)) ||
        ((S[0] == 's' || S[0] == 'S') && ParseClassicHeader(S, Number)) ||
        ((S[0] == 'c' || S[0] == 'C') && ParsePartialHeader(Lines, Line, Number)))
      return true;
  }
  return false;
}

// Decodes Line in Encoding (uuencode or xxencode); Count receives its bytes.
bool DecodeLine(TEncoding Encoding, std::string_view Line, bool BlankStyle, std::string& Out,
                std::size_t& Count) {
  Count = 0;
  if (Line.empty()) return true;  // a zero-length line whose blank was stripped
  if (Encoding == enXX) return XXDecodeLine(Line, Out, Count);
  return vellumar::UUDecodeLine(Line, BlankStyle, Out, Count) == vellumar::ulOk;
}

// Whether Line is a whole 45-byte line of Encoding.
bool IsFullLine(TEncoding Encoding, std::string_view Line) {
  if (Line.size() != FullLineChars || Line[0] != (Encoding == enXX ? FullXXLength : FullUULength))
    return false;
  std::string Ignored;
  std::size_t Count = 0;
  return DecodeLine(Encoding, Line, false, Ignored, Count);
}

// The "end" line that Lines[At] and the zero-length lines after it lead to,
// or NoLine.
std::size_t EndAfter(const TLines& Lines, std::size_t At, TEncoding Encoding) {
  for (; At < Lines.size(); ++At) {
    const std::string_view Line = TrimRight(Lines[At]);
    if (Line == "end") return At;
    if (!(Line.empty() || Line == "`" || (Encoding == enXX && Line == "+"))) return NoLine;
  }
  return NoLine;
}

// The lines of uuencoded or xxencoded data from Lines[At] on: up to "end"
// (after the zero-length line) or, in a part that the file goes on after, up
// to the first line that is not data. Returns where scanning goes on.
std::size_t ParseLineData(const TLines& Lines, std::size_t At, TPiece& Piece) {
  bool Short = false;       // a line carried fewer than 45 bytes: the data ends here
  bool BlankStyle = false;  // zero is written as a blank, which transport may strip
  std::size_t Number = 0;
  Piece.EndsFull = false;
  for (; At < Lines.size(); ++At) {
    const std::string_view Line = Lines[At];
    ++Number;
    // Another block's first line ends this one's data (and the run, if "end" is missing).
    if (Line.starts_with("begin ") || Line.starts_with("begin-base64 ") ||
        Line.starts_with("=ybegin "))
      break;
    std::size_t Count = 0;
    const std::string_view Trimmed = TrimRight(Line);
    if (Trimmed.empty() || Trimmed == "`" || Trimmed == "end" ||
        (Piece.Encoding == enXX && Trimmed == "+")) {
      // The zero-length line closes the data when "end" follows; anything
      // else makes it the blank line after a part's data.
      const std::size_t End = EndAfter(Lines, At, Piece.Encoding);
      if (End == NoLine) break;
      Piece.HasEnd = true;
      return End + 1;
    }
    BlankStyle = BlankStyle || Line.find(' ', 1) != std::string_view::npos;
    if (!DecodeLine(Piece.Encoding, Line, BlankStyle, Piece.Data, Count)) {
      // A line of about a full line's length that fails is damage, not the
      // text after the data: say so rather than cut the file short.
      if (!Short && Line.size() + 4 >= FullLineChars && Line.size() <= FullLineChars + 4 &&
          Line[0] == (Piece.Encoding == enXX ? FullXXLength : FullUULength))
        Piece.Error = "data line " + std::to_string(Number) + " is bad: it is not " +
                      EncodingName(Piece.Encoding) + " data";
      break;
    }
    if (Short) {
      Piece.Error = "data line " + std::to_string(Number) +
                    " follows the end of the data: the size does not add up";
      return At + 1;
    }
    ++Piece.DataLines;
    if (Count < vellumar::UUEMaxLineBytes) Short = true;
  }
  Piece.EndsFull = !Short && Piece.DataLines > 0;
  return At;
}

// Base64 lines from Lines[At] on, up to the first line that is none (a
// "====" line closes a begin-base64 block). Returns where scanning goes on.
std::size_t ParseBase64Data(const TLines& Lines, std::size_t At, TPiece& Piece) {
  std::size_t Width = 0;  // characters of the first line: every line but the last has as many
  bool Ended = false;     // padding or a shorter line: the file's data ends here
  for (; At < Lines.size(); ++At) {
    const std::string_view Line = TrimRight(Lines[At]);
    if (Line == "====") {
      Piece.HasEnd = true;
      ++At;
      break;
    }
    if (Ended) break;
    bool Padded = false;
    if (!Base64DecodeLine(Line, Piece.Data, Padded)) break;
    if (Width == 0) Width = Line.size();
    if (Line.size() > Width) {
      Piece.Error = "data line " + std::to_string(Piece.DataLines + 1) +
                    " is longer than the lines before it";
      return At + 1;
    }
    ++Piece.DataLines;
    Ended = Padded || Line.size() < Width;
  }
  Piece.HasEnd = Piece.HasEnd || Ended;
  Piece.EndsFull = !Piece.HasEnd && Piece.DataLines > 0;
  return At;
}

std::string Hex8(std::uint32_t Value) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string Text(8, '0');
  for (int I = 7; I >= 0; --I, Value >>= 4) Text[static_cast<std::size_t>(I)] = Digits[Value & 15u];
  return Text;
}

bool IsYEncLine(std::string_view Line, std::string_view Keyword) {
  return Line.starts_with(Keyword) &&
         (Line.size() == Keyword.size() || Line[Keyword.size()] == ' ');
}

// A yEnc block whose "=ybegin" line is Lines[At]: its data, checked against
// its "=yend" line's size and CRC-32 (a part's own, or the whole file's when
// it is the only part). Returns where scanning goes on.
std::size_t ParseYEnc(const TLines& Lines, std::size_t At, TPiece& Piece) {
  const std::string_view Begin = Lines[At];
  const auto Fault = [&](std::string Problem) {
    Piece.Error = std::move(Problem);
    std::string().swap(Piece.Data);
  };
  std::uint64_t PartNumber = 0;
  const bool Multi = YEncNumber(Begin, "part", false, PartNumber);
  Piece.HasBegin = YEncName(Begin, Piece.BeginName);
  Piece.Mode = DefaultMode;
  if (!YEncNumber(Begin, "size", false, Piece.FileSize)) Fault("its =ybegin line gives no size");
  std::uint64_t First = 1, Last = 0;
  ++At;
  if (Multi) {
    if (At >= Lines.size() || !IsYEncLine(Lines[At], "=ypart") ||
        !YEncNumber(Lines[At], "begin", false, First) ||
        !YEncNumber(Lines[At], "end", false, Last) || First == 0 || Last < First - 1) {
      if (Piece.Error.empty()) Fault("it has no valid =ypart line");
    } else {
      ++At;
    }
  }
  for (; At < Lines.size(); ++At) {
    const std::string_view Line = Lines[At];
    if (IsYEncLine(Line, "=yend")) break;
    if (IsYEncLine(Line, "=ybegin")) {
      if (Piece.Error.empty()) Fault("it has no =yend line");
      return At;
    }
    if (Piece.Error.empty() && !YEncDecodeLine(Line, Piece.Data))
      Fault("data line " + std::to_string(Piece.DataLines + 1) + " ends in an escape character");
    ++Piece.DataLines;
  }
  if (At == Lines.size()) {
    if (Piece.Error.empty()) Fault("it has no =yend line");
    return At;
  }
  const std::string_view End = Lines[At++];
  if (!Piece.Error.empty()) return At;
  std::uint64_t Size = 0;
  if (YEncNumber(End, "size", false, Size) && Size != Piece.Data.size()) {
    Fault("it holds " + std::to_string(Piece.Data.size()) + " bytes where its =yend line says " +
          std::to_string(Size));
    return At;
  }
  std::uint64_t PartCrc = 0, FileCrc = 0;
  const bool HasPartCrc = YEncNumber(End, "pcrc32", true, PartCrc);
  const bool HasFileCrc = YEncNumber(End, "crc32", true, FileCrc);
  const auto CrcFault = [&](std::uint64_t Given) {
    Fault("its CRC-32 is " + Hex8(Crc32(Piece.Data)) + " where its =yend line says " +
          Hex8(static_cast<std::uint32_t>(Given)));
  };
  if (Multi) {
    Piece.Crc = Crc32(Piece.Data);  // the file's CRC-32 is put together from the parts'
    if (HasPartCrc && Piece.Crc != PartCrc) {
      CrcFault(PartCrc);
      return At;
    }
    Piece.Offset = First - 1;
    if (Last - Piece.Offset != Piece.Data.size()) {
      Fault("it holds " + std::to_string(Piece.Data.size()) + " bytes where its =ypart line says " +
            std::to_string(Last - Piece.Offset));
      return At;
    }
    Piece.HasFileCrc = HasFileCrc;
    Piece.FileCrc = static_cast<std::uint32_t>(FileCrc);
    Piece.HasEnd = Last == Piece.FileSize;
    return At;
  }
  // A file in one block: its CRC-32 is the file's, under either key.
  if (Piece.Data.size() != Piece.FileSize) {
    Fault("it holds " + std::to_string(Piece.Data.size()) + " bytes where its =ybegin line says " +
          std::to_string(Piece.FileSize));
  } else if ((HasFileCrc || HasPartCrc) && Crc32(Piece.Data) != (HasFileCrc ? FileCrc : PartCrc)) {
    CrcFault(HasFileCrc ? FileCrc : PartCrc);
  }
  Piece.HasEnd = true;
  return At;
}

// The encoding of the data that follows a begin line at Lines[At]:
// xxencode when its first line is xxencoded and no uuencoded line.
TEncoding BeginEncoding(const TLines& Lines, std::size_t At) {
  if (At + 1 >= Lines.size()) return enUU;
  const std::string_view Line = Lines[At + 1];
  std::string Ignored;
  std::size_t Count = 0;
  if (Line.empty() || DecodeLine(enUU, Line, false, Ignored, Count)) return enUU;
  return XXDecodeLine(Line, Ignored, Count) ? enXX : enUU;
}

// A MIME part that carries a file: its header lines (around the
// Content-Transfer-Encoding line at Lines[At]) name the file and the
// encoding is base64; DataAt receives the line after the blank line.
bool MimeFilePart(const TLines& Lines, std::size_t At, std::string& Name, std::size_t& DataAt) {
  std::string_view S = Lines[At];
  if (!TakeTextNoCase(S, "Content-Transfer-Encoding:")) return false;
  if (!StartsNoCase(Trim(S), "base64")) return false;
  std::size_t First = At;
  while (First > 0 && At - First < MaxHeaderLines && !Trim(Lines[First - 1]).empty()) --First;
  std::size_t Last = At;
  while (Last < Lines.size() && Last - At < MaxHeaderLines && !Trim(Lines[Last]).empty()) ++Last;
  for (std::size_t I = First; I < Last && Name.empty(); ++I) {
    std::string_view H = Lines[I];
    if (TakeTextNoCase(H, "Content-Disposition:"))
      Name = MimeParameter(MimeHeader(Lines, I), "filename");
  }
  for (std::size_t I = First; I < Last && Name.empty(); ++I) {
    std::string_view H = Lines[I];
    if (TakeTextNoCase(H, "Content-Type:")) Name = MimeParameter(MimeHeader(Lines, I), "name");
  }
  DataAt = Last + 1;
  return !Name.empty();
}

// Where a block starts in Lines at or after From, and how it is encoded.
struct TStart {
  std::size_t Line = NoLine;
  TEncoding Encoding = enUU;
  bool Begin = false;  // a begin line (or =ybegin, or a MIME header) names the file
  std::uint32_t Mode = DefaultMode;
  std::string Name;
  std::size_t DataAt = 0;  // the first data line
};

// The next line from From on that opens a block announced by a line of its
// own: "=ybegin", "begin-base64", "begin" or a MIME file part.
TStart NextAnnouncedStart(const TLines& Lines, std::size_t From) {
  TStart Start;
  for (std::size_t At = From; At < Lines.size(); ++At) {
    const std::string_view S = Lines[At];
    if (S.empty()) continue;
    Start.Line = At;
    Start.DataAt = At + 1;
    Start.Begin = true;
    if (S[0] == '=' && IsYEncLine(S, "=ybegin")) {
      Start.Encoding = enYEnc;
      Start.DataAt = At;
      return Start;
    }
    if (S[0] == 'b' && ParseBeginLine(S, "begin-base64 ", Start.Mode, Start.Name)) {
      Start.Encoding = enBase64;
      return Start;
    }
    if (S[0] == 'b' && ParseBeginLine(S, "begin ", Start.Mode, Start.Name)) {
      Start.Encoding = BeginEncoding(Lines, At);
      return Start;
    }
    if ((S[0] == 'C' || S[0] == 'c') && MimeFilePart(Lines, At, Start.Name, Start.DataAt)) {
      Start.Encoding = enBase64;
      Start.Mode = DefaultMode;
      return Start;
    }
  }
  return TStart{};
}

// The first run of data lines from From on that no line announces (a later
// part's data): a full uuencoded or xxencoded line, a base64 line of at
// least MinBase64Line characters, or a short line that the zero-length line
// and "end" close.
TStart NextDataRun(const TLines& Lines, std::size_t From, std::size_t MinBase64Line) {
  TStart Start;
  for (std::size_t At = From; At < Lines.size(); ++At) {
    const std::string_view S = Lines[At];
    if (S.empty()) continue;
    for (const TEncoding Encoding : {enUU, enXX}) {
      std::string Ignored;
      std::size_t Count = 0;
      if (IsFullLine(Encoding, S) || (DecodeLine(Encoding, S, false, Ignored, Count) && Count > 0 &&
                                      EndAfter(Lines, At + 1, Encoding) != NoLine)) {
        Start.Line = Start.DataAt = At;
        Start.Encoding = Encoding;
        return Start;
      }
    }
    if (TrimRight(S).size() >= MinBase64Line && Base64MayBeLine(TrimRight(S))) {
      Start.Line = Start.DataAt = At;
      Start.Encoding = enBase64;
      return Start;
    }
  }
  return Start;
}

// Reads the block that Start opens into Piece; returns where scanning goes on.
std::size_t ParseBlock(const TLines& Lines, const TStart& Start, TPiece& Piece) {
  Piece.Encoding = Start.Encoding;
  if (Start.Encoding == enYEnc) return ParseYEnc(Lines, Start.Line, Piece);
  if (Start.Begin) {
    Piece.HasBegin = true;
    Piece.Mode = Start.Mode;
    Piece.BeginName = Start.Name;
  }
  return Start.Encoding == enBase64 ? ParseBase64Data(Lines, Start.DataAt, Piece)
                                    : ParseLineData(Lines, Start.DataAt, Piece);
}

// The one part that a numbered message holds.
// With a header line, any base64 line after it is data; with only the
// subject's number, a line must be long enough not to be a word.
// Whether Piece holds nothing a file could be made of: no data line and no
// end, only a line that looks like a start ("begin 10 minutes later ...").
bool NothingFollows(const TPiece& Piece) {
  return Piece.Encoding != enYEnc && Piece.DataLines == 0 && !Piece.HasEnd;
}

// Appends the part; false (nothing appended) when the message numbers a part
// but holds nothing a part is made of and no header line says it is one.
bool ScanPart(const TMessageText& Message, const TPartNumber& Number, bool HasHeader,
              std::size_t From, const std::string& Conflict, std::vector<TPiece>& Pieces) {
  TStart Start = NextAnnouncedStart(Message.Lines, From);
  if (Start.Line == NoLine)
    Start = NextDataRun(Message.Lines, From, HasHeader ? 4 : MinBase64RunLine);
  TPiece Piece;  // ScanMessage gives it its message's identity
  Piece.Kind = pkPart;
  Piece.Name = Number.Key;
  Piece.Index = Number.Index;
  Piece.Count = Number.Count;
  if (Start.Line == NoLine) {
    Piece.Error = "it holds no data";
  } else {
    (void)ParseBlock(Message.Lines, Start, Piece);
    if (!HasHeader && NothingFollows(Piece)) return false;
  }
  if (!Piece.HasBegin && Piece.Index == 1 && !Number.FileName.empty()) {
    Piece.HasBegin = true;
    Piece.BeginName = Number.FileName;
    Piece.Mode = DefaultMode;
  }
  if (Piece.Error.empty() && !Conflict.empty()) Piece.Error = Conflict;
  if (Piece.Error.empty() && (Piece.Index == 0 || (Piece.Count > 0 && Piece.Index > Piece.Count) ||
                              Piece.Count > MaxSections))
    Piece.Error = "it is numbered part " + std::to_string(Piece.Index) + " of " +
                  std::to_string(Piece.Count) + ", which cannot be";
  if (!Piece.Error.empty()) std::string().swap(Piece.Data);
  Pieces.push_back(std::move(Piece));
  return true;
}

}  // namespace

bool SubjectPartNumber(std::string_view Subject, TPartNumber& Number) {
  Subject = Subject.substr(0, MaxSubjectLength);
  std::size_t From = NoLine, To = 0;
  for (std::size_t At = 0; At < Subject.size(); ++At) {
    TPartNumber Found;
    std::size_t End = 0;
    const bool WordStart = At == 0 || Subject[At - 1] == ' ' || Subject[At - 1] == '\t';
    if (BracketNumber(Subject, At, Found, End) ||
        (WordStart && WordNumber(Subject, At, Found, End))) {
      From = At;
      To = End;
      Number = Found;
      At = End - 1;
    }
  }
  if (From == NoLine) return false;
  // The rest of the subject, blanks folded, keys the posting.
  Number.Key.clear();
  const std::string Rest =
      std::string(Subject.substr(0, From)) + ' ' + std::string(Subject.substr(To));
  for (const char C : Rest) {
    const bool Blank = C == ' ' || C == '\t';
    if (Blank && (Number.Key.empty() || Number.Key.back() == ' ')) continue;
    Number.Key += Blank ? ' ' : C;
  }
  if (!Number.Key.empty() && Number.Key.back() == ' ') Number.Key.pop_back();
  return true;
}

bool ScanForeignMessage(const TMessageText& Message, std::vector<TPiece>& Pieces,
                        TIgnoredLines* Ignored) {
  const TLines& Lines = Message.Lines;
  // Markers first, cheaply: the project's own header gives the message away.
  bool Foreign = false;  // a line that only other tools' blocks start with
  for (const std::string_view S : Lines) {
    if (S.empty()) continue;
    const char C = S[0];
    if ((C == 'S' || C == 's') && IsOwnSectionHeader(S)) return false;
    Foreign = Foreign || (C == '=' && IsYEncLine(S, "=ybegin")) ||
              (C == 'b' && S.starts_with("begin-base64 ")) ||
              ((C == 'C' || C == 'c') && StartsNoCase(S, "Content-Transfer-Encoding:")) ||
              (C == '_' && S.starts_with("_=_ Part ")) ||
              ((C == 's' || C == 'S') && StartsNoCase(S, "section ") &&
               S.find(" of uuencode ") != std::string_view::npos) ||
              (C == 'b' && S.starts_with("begin "));
  }
  TPartNumber FromText, FromSubject;
  std::size_t HeaderLine = 0;
  const bool HasText = TextPartNumber(Lines, FromText, HeaderLine);
  const bool HasSubject = SubjectPartNumber(Message.Subject, FromSubject);
  if (!Foreign && !HasSubject && !HasText) return false;

  // A yEnc part numbers itself.
  TPartNumber FromYEnc;
  bool HasYEnc = false;
  const TStart First = NextAnnouncedStart(Lines, HasText ? HeaderLine + 1 : 0);
  if (First.Encoding == enYEnc && YEncNumber(Lines[First.Line], "part", false, FromYEnc.Index)) {
    HasYEnc = true;
    if (!YEncNumber(Lines[First.Line], "total", false, FromYEnc.Count) && HasSubject)
      FromYEnc.Count = FromSubject.Count;
    (void)YEncName(Lines[First.Line], FromYEnc.Key);
  }

  if (HasText || HasYEnc || HasSubject) {
    // One part: its numbering from the text, else yEnc's, else the subject;
    // another numbering that disagrees makes it bad rather than guessed.
    TPartNumber Number = HasText ? FromText : HasYEnc ? FromYEnc : FromSubject;
    std::string Conflict;
    if (Number.Count == 0 && HasSubject && FromSubject.Index == Number.Index)
      Number.Count = FromSubject.Count;
    for (const TPartNumber* Other :
         {HasYEnc ? &FromYEnc : nullptr, HasSubject ? &FromSubject : nullptr}) {
      if (Other == nullptr || Conflict.size() > 0) continue;
      if (Other->Index != Number.Index || (Other->Count != 0 && Other->Count != Number.Count))
        Conflict = "its numberings disagree: part " + std::to_string(Number.Index) + " of " +
                   std::to_string(Number.Count) + " or part " + std::to_string(Other->Index) +
                   " of " + std::to_string(Other->Count);
    }
    const std::size_t From = HasText ? HeaderLine + 1 : 0;
    // A subject that merely looks numbered, over a text without data, is no posting.
    if (!HasText && !HasYEnc && First.Line == NoLine &&
        NextDataRun(Lines, 0, MinBase64RunLine).Line == NoLine)
      return false;
    return ScanPart(Message, Number, HasText, From, Conflict, Pieces);
  }

  // Blocks posted whole: claimed only when one is not uuencoded, so that
  // the project's scanner keeps reading plain begin ... end blocks.
  std::vector<TPiece> Found;
  bool Other = false;
  std::size_t Bad = 0;
  std::uint64_t NotKept = 0;
  for (std::size_t At = 0; At < Lines.size();) {
    const TStart Start = NextAnnouncedStart(Lines, At);
    if (Start.Line == NoLine) break;
    TPiece Piece;  // ScanMessage gives it its message's identity
    Piece.Kind = pkBlock;
    At = std::max(ParseBlock(Lines, Start, Piece), Start.Line + 1);
    Piece.Name = Piece.BeginName;
    if (NothingFollows(Piece)) continue;
    Other = Other || Start.Encoding != enUU;
    if (Piece.Error.empty() && !Piece.HasEnd && Start.Encoding != enBase64)
      Piece.Error = "it has no end line";
    if (!Piece.Error.empty()) {
      std::string().swap(Piece.Data);
      // Bad blocks past the first few are counted, not kept, as the
      // project's scanner does.
      if (++Bad > MaxBadKept) {
        ++NotKept;
        continue;
      }
    }
    Found.push_back(std::move(Piece));
  }
  if (!Other) return false;
  for (TPiece& Piece : Found) Pieces.push_back(std::move(Piece));
  if (Ignored != nullptr) Ignored->BadNotKept += NotKept;
  return true;
}

void SettleForeignCounts(std::vector<TPosting>& Postings, const std::vector<TPiece>& Pieces) {
  for (TPosting& Posting : Postings) {
    if (Posting.Kind != pkPart || Posting.Count != 0 || Posting.Sections.empty()) continue;
    Posting.Count = Posting.Sections.rbegin()->first + 1;
    for (const auto& [Index, At] : Posting.Sections)
      if (Pieces[At].HasEnd) Posting.Count = std::min(Posting.Count, Index);
    Posting.Count = std::min<std::uint64_t>(Posting.Count, MaxSections);
  }
}

TPostingCheck CheckForeignPosting(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  TPostingCheck Check;
  const TPiece& First = Pieces[Posting.Sections.at(1)];
  std::uint32_t Crc = 0;
  for (const auto& [Index, At] : Posting.Sections) {
    const TPiece& Piece = Pieces[At];
    if (Piece.Encoding != First.Encoding)
      return BadPosting(Index, "it is in " + EncodingName(Piece.Encoding) + " where part 1 is in " +
                                   EncodingName(First.Encoding));
    if (Piece.Encoding == enYEnc) {
      if (Piece.Offset != Check.Size || Piece.FileSize != First.FileSize)
        return BadPosting(Index, "its bytes do not follow on from the parts before it");
      Crc = Crc32Combine(Crc, Piece.Crc, Piece.Size);
    } else {
      if (Index > 1 && Piece.HasBegin)
        return BadPosting(Index, "it holds a begin line, which belongs to part 1 only");
      if (Index < Posting.Count && (!Piece.EndsFull || Piece.HasEnd))
        return BadPosting(Index, "its data ends before the last part: the size does not add up");
      if (Index == Posting.Count && !Piece.HasEnd && Piece.Encoding != enBase64)
        return BadPosting(Index, "it has no end line");
    }
    Check.Size += Piece.Size;
  }
  if (First.Encoding == enYEnc) {
    if (Check.Size != First.FileSize)
      return BadPosting(Posting.Count, "the parts hold " + std::to_string(Check.Size) +
                                           " bytes where the file has " +
                                           std::to_string(First.FileSize));
    for (const auto& Entry : Posting.Sections) {
      const TPiece& Piece = Pieces[Entry.second];
      if (Piece.HasFileCrc && Piece.FileCrc != Crc)
        return BadPosting(Entry.first, "the file's CRC-32 is " + Hex8(Crc) +
                                           " where its =yend line says " + Hex8(Piece.FileCrc));
    }
  }
  if (!First.HasBegin) return BadPosting(1, "it names no file: no begin line");
  std::string Problem;
  if (!SafeFileName(First.BeginName, Check.FileName, Problem)) return BadPosting(1, Problem);
  Check.Mode = First.Mode;
  return Check;
}

}  // namespace msgextract
