#include "tools/msgextract/extract.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>

#include "encode/uudecode.h"
#include "msgbase/open_base.h"
#include "msgbase/status.h"
#include "msgbase/stream.h"
#include "tools/common/base_walk.h"
#include "tools/common/tool_json.h"
#include "tools/common/tool_text.h"

namespace msgextract {

using msgbase::TMessageBase;
using tools::FailureText;
using tools::JsonString;
using tools::VisibleText;

namespace {

// Seconds a base held by a writer is waited for, one try a second.
constexpr std::int32_t OpenTries = 10;
// The first byte of a control line.
constexpr char ControlByte = '\x01';
// The longest first line looked at for the sender: an address line is short.
constexpr std::size_t MaxHeadLine = 1024;
constexpr std::int64_t SecondsPerDay = 86400;
// Decoded bytes kept from the first reading of the base; the rest is read
// again when written.
constexpr std::uint64_t MaxKeptBytes = std::uint64_t{16} << 20;

// The sender's address of the open message whose text lines are Lines. The
// base takes it from the first line and the control lines (plus, in some
// formats, its header), reading the text once more; it is handed just those
// lines in place of the text, which gives the same address for a fraction of
// the reading.
std::string SenderOf(TMessageBase& Base, const std::vector<std::string_view>& Lines) {
  std::string Head;
  for (std::size_t I = 0; I < Lines.size(); ++I) {
    if (I > 0 && (Lines[I].empty() || Lines[I][0] != ControlByte)) continue;
    Head += Lines[I].substr(0, MaxHeadLine);
    Head += '\r';
  }
  msgbase::PMessageBaseStream Stream =
      msgbase::CreateMessageBaseMemoryStream(static_cast<std::int32_t>(Head.size()));
  Stream->WriteBuffer({reinterpret_cast<const std::uint8_t*>(Head.data()), Head.size()});
  Stream->Seek(0);
  Base.SetMessageTextStream(std::move(Stream));
  msgbase::TAddress From;
  Base.GetFromAddress(From);
  return msgbase::AddressToStrEx(From);
}

// Seconds since the epoch of a stored local date; 0 when it is no real date.
// mktime looks at the time zone file again on every call (a stat each time),
// so the start of the last hour asked for is kept: the messages of a posting
// share their hours, and an hour's minutes and seconds only add to its start.
std::int64_t DateSeconds(const msgbase::TMessageBaseDateTime& D) {
  if (!msgbase::IsValidMessageBaseDateTime(D)) return 0;
  struct THour {
    int Year = -1, Month = -1, Day = -1, Hour = -1;
    std::time_t Start = 0;
  };
  static THour Last;
  if (D.Year != Last.Year || D.Month != Last.Month || D.Day != Last.Day || D.Hour != Last.Hour) {
    std::tm Tm{};
    Tm.tm_year = D.Year - 1900;
    Tm.tm_mon = D.Month - 1;
    Tm.tm_mday = D.Day;
    Tm.tm_hour = D.Hour;
    Tm.tm_isdst = -1;
    const std::time_t T = std::mktime(&Tm);
    if (T == static_cast<std::time_t>(-1)) return 0;
    Last = THour{D.Year, D.Month, D.Day, D.Hour, T};
  }
  return static_cast<std::int64_t>(Last.Start) + D.Minute * 60 + D.Second;
}

// Reads the current message and appends what it holds to Pieces (and the
// lines that only look like postings to Ignored); Text is room for its text,
// reused from message to message. False with a reason in Problem when the
// message cannot be read (what could be read is scanned all the same).
bool ScanCurrentMessage(TMessageBase& Base, std::string& Text, std::vector<TPiece>& Pieces,
                        TIgnoredLines* Ignored, std::string& Problem) {
  TMessageText Message;
  Message.Number = Base.Current();
  Base.SetStatus(msgbase::stOk);
  if (!Base.OpenMessage()) {
    Problem = FailureText(Base.GetStatus());
    return false;
  }
  // A message that other software marked deleted is no longer there to read.
  if (Base.GetAttribute(msgbase::maDeleted)) {
    (void)Base.CloseMessage();  // only read: releasing the text changes nothing stored
    return true;
  }
  msgbase::TMessageBaseDateTime Written;
  Base.GetWrittenDateTime(Written);
  Message.Date = DateSeconds(Written);
  Message.Subject = Base.GetSubject();
  Base.SetTextPos(0);
  // Room for the whole text at once: grown step by step it would take twice.
  Text.reserve(static_cast<std::size_t>(std::max(Base.GetTextSize(), 0)));
  const bool Read = tools::ReadWholeText(Base, Text, Problem);
  Message.Lines = tools::SplitTextLines(Text);
  const std::size_t First = Pieces.size();
  ScanMessage(Message, Pieces, Ignored);
  if (Pieces.size() > First) {
    const std::string Sender = SenderOf(Base, Message.Lines);
    for (std::size_t I = First; I < Pieces.size(); ++I) Pieces[I].Sender = Sender;
  }
  // Only read: releasing the text changes nothing stored.
  (void)Base.CloseMessage();
  return Read;
}

// Reads message Number again and puts its pieces in Pieces.
bool RereadMessage(TMessageBase& Base, std::int32_t Number, std::string& Text,
                   std::vector<TPiece>& Pieces, std::string& Problem) {
  Pieces.clear();
  Base.Seek(Number);
  if (!Base.SeekFound() || Base.Current() != Number) {
    Problem = "message " + std::to_string(Number) + " is gone";
    return false;
  }
  if (!ScanCurrentMessage(Base, Text, Pieces, nullptr, Problem)) {
    Problem = "message " + std::to_string(Number) + " cannot be read: " + Problem;
    return false;
  }
  return true;
}

// The bytes of Posting's sections 1..To in order, as kept from the first
// reading or read again from the base; sections it lacks are Fill zero bytes
// each (none when Fill is 0).
TPartSource PostingSource(TMessageBase& Base, const TPosting& Posting,
                          const std::vector<TPiece>& Pieces, std::uint64_t To, std::uint64_t Fill) {
  return [&Base, &Posting, &Pieces, To, Fill](const TPut& Put, std::string& Problem) {
    std::string Text;
    std::vector<TPiece> Fresh;
    std::int32_t Loaded = 0;
    const std::string Zeros(std::min<std::uint64_t>(Fill, WriteChunk), '\0');
    for (std::uint64_t Index = 1; Index <= To; ++Index) {
      const auto Found = Posting.Sections.find(Index);
      if (Found == Posting.Sections.end()) {
        for (std::uint64_t Left = Fill; Left > 0; Left -= std::min<std::uint64_t>(Left, WriteChunk))
          if (!Put(std::string_view(Zeros).substr(0, std::min<std::uint64_t>(Left, WriteChunk))))
            return false;
        continue;
      }
      const TPiece& Piece = Pieces[Found->second];
      if (Piece.Data.size() == Piece.Size) {  // kept from the first reading
        if (!Put(Piece.Data)) return false;
        continue;
      }
      if (Fresh.empty() || Loaded != Piece.Message) {
        if (!RereadMessage(Base, Piece.Message, Text, Fresh, Problem)) return false;
        Loaded = Piece.Message;
      }
      if (Piece.Ordinal >= Fresh.size() || Fresh[Piece.Ordinal].Size != Piece.Size ||
          Fresh[Piece.Ordinal].Digest != Piece.Digest) {
        Problem = "message " + std::to_string(Piece.Message) + " changed while it was read";
        return false;
      }
      if (!Put(Fresh[Piece.Ordinal].Data)) return false;
      std::string().swap(Fresh[Piece.Ordinal].Data);
    }
    return true;
  };
}

// "NAME from SENDER", shown safely.
std::string Who(const TPosting& Posting) {
  return VisibleText(Posting.Name.empty() ? "(no name)" : Posting.Name) + " from " +
         VisibleText(Posting.Sender);
}

// The file name, and the name as written when the two differ.
std::string FileText(const TPosting& Posting, const std::string& FileName) {
  return VisibleText(FileName) +
         (FileName == Posting.Name ? "" : " (named " + VisibleText(Posting.Name) + ")");
}

// The messages of Posting's sections, and with Copies of the copies it dropped.
std::vector<std::int32_t> MessagesOf(const TPosting& Posting, const std::vector<TPiece>& Pieces,
                                     bool Copies = false) {
  std::vector<std::int32_t> Messages;
  for (const auto& Entry : Posting.Sections) Messages.push_back(Pieces[Entry.second].Message);
  if (Copies)
    for (const std::size_t At : Posting.Duplicates) Messages.push_back(Pieces[At].Message);
  std::sort(Messages.begin(), Messages.end());
  return Messages;
}

// "message 5 (a copy of section 2)" for every copy Posting dropped.
std::vector<std::string> CopyLines(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  std::vector<std::string> Lines;
  for (const std::size_t At : Posting.Duplicates)
    Lines.push_back("message " + std::to_string(Pieces[At].Message) + " (a copy of section " +
                    std::to_string(Pieces[At].Index) + ")");
  return Lines;
}

std::vector<std::string> IgnoredLines(const TIgnoredLines& Ignored) {
  std::vector<std::string> Lines;
  for (const TIgnoredLines::TLine& Line : Ignored.Lines)
    Lines.push_back("Not a posting: message " + std::to_string(Line.Message) + ": " +
                    VisibleText(Line.Text));
  if (Ignored.Count > Ignored.Lines.size())
    Lines.push_back("Not a posting: " + std::to_string(Ignored.Count - Ignored.Lines.size()) +
                    " more lines");
  return Lines;
}

std::string MessagesText(const std::vector<std::int32_t>& Messages) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges;
  for (const std::int32_t M : Messages) {
    const auto N = static_cast<std::uint64_t>(std::max(M, 0));
    if (!Ranges.empty() && Ranges.back().second + 1 == N) {
      Ranges.back().second = N;
    } else {
      Ranges.emplace_back(N, N);
    }
  }
  return RangesText(Ranges);
}

std::string StateName(TPostingState State) {
  switch (State) {
    case psComplete:
      return "complete";
    case psIncomplete:
      return "incomplete";
    case psBad:
      return "bad";
  }
  return "bad";
}

// The one line that says why a posting is not written.
std::string ProblemLine(const TPosting& Posting, const TPostingCheck& Check) {
  if (Check.State == psIncomplete)
    return "Incomplete: " + Who(Posting) + ", " + Check.Problem + "; nothing written";
  return "Bad: " + Who(Posting) + ", section " + std::to_string(Check.Section) + ": " +
         VisibleText(Check.Problem) + "; nothing written";
}

// The postings --include and --exclude let through, by index.
std::vector<std::size_t> Selected(const TFindings& Findings, const TOptions& Options) {
  const auto Matches = [](const std::vector<std::string>& Patterns, const std::string& Name) {
    return std::any_of(Patterns.begin(), Patterns.end(), [&Name](const std::string& Pattern) {
      return ::fnmatch(Pattern.c_str(), Name.c_str(), 0) == 0;
    });
  };
  std::vector<std::size_t> Result;
  for (std::size_t I = 0; I < Findings.Postings.size(); ++I) {
    const std::string& Name = Findings.Postings[I].Name;
    if ((Options.Include.empty() || Matches(Options.Include, Name)) &&
        !Matches(Options.Exclude, Name))
      Result.push_back(I);
  }
  return Result;
}

void ListText(const TFindings& Findings, const std::vector<TPostingCheck>& Checks,
              const std::vector<std::size_t>& Shown, const TOptions& Options, TOutput& Out) {
  const std::size_t N = Shown.size();
  Out.WriteLine("Base " + VisibleText(Options.BaseId) + ": " + std::to_string(N) +
                (N == 1 ? " posting" : " postings"));
  for (const std::size_t I : Shown) {
    const TPosting& Posting = Findings.Postings[I];
    const TPostingCheck& Check = Checks[I];
    const std::string Missing = RangesText(SectionRanges(Posting, false));
    Out.WriteLine("");
    Out.WriteLine("Posting " + Who(Posting));
    Out.WriteLine("  Subject:  " + VisibleText(Posting.Subject));
    Out.WriteLine("  Sections: " + std::to_string(Posting.Count) + ", present " +
                  RangesText(SectionRanges(Posting, true)) + ", missing " +
                  (Missing.empty() ? "none" : Missing));
    Out.WriteLine("  Messages: " + MessagesText(MessagesOf(Posting, Findings.Pieces)));
    for (const std::string& Copy : CopyLines(Posting, Findings.Pieces))
      Out.WriteLine("  Dropped:  " + Copy);
    if (Check.State == psComplete) {
      Out.WriteLine("  Size:     " + std::to_string(Check.Size) + " bytes");
      Out.WriteLine("  State:    complete, file " + VisibleText(Check.FileName));
    } else if (Check.State == psIncomplete) {
      Out.WriteLine("  State:    incomplete");
    } else {
      Out.WriteLine("  State:    bad, section " + std::to_string(Check.Section) + ": " +
                    VisibleText(Check.Problem));
    }
  }
  for (const std::string& Fault : Findings.Faults) Out.WriteLine(Fault);
  if (Options.Verbose)
    for (const std::string& Line : IgnoredLines(Findings.Ignored)) Out.WriteLine(Line);
}

std::string JsonRanges(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& Ranges) {
  std::string Text = "[";
  for (const auto& [From, To] : Ranges) {
    if (Text.size() > 1) Text += ", ";
    Text += '[';
    Text += std::to_string(From) + ", " + std::to_string(To) + "]";
  }
  return Text + "]";
}

std::string JsonNumbers(const std::vector<std::int32_t>& Numbers) {
  std::string Text = "[";
  for (const std::int32_t M : Numbers) Text += (Text.size() > 1 ? ", " : "") + std::to_string(M);
  return Text + "]";
}

void ListJson(const TFindings& Findings, const std::vector<TPostingCheck>& Checks,
              const std::vector<std::size_t>& Shown, const TOptions& Options, TOutput& Out) {
  Out.WriteLine("{");
  Out.WriteLine("  \"base\": " + JsonString(Options.BaseId) + ",");
  Out.WriteLine("  \"postings\": [");
  for (std::size_t S = 0; S < Shown.size(); ++S) {
    const TPosting& Posting = Findings.Postings[Shown[S]];
    const TPostingCheck& Check = Checks[Shown[S]];
    const bool Complete = Check.State == psComplete;
    std::vector<std::int32_t> Copies;
    for (const std::size_t At : Posting.Duplicates) Copies.push_back(Findings.Pieces[At].Message);
    const std::string In = "      ";
    Out.WriteLine("    {");
    Out.WriteLine(In + "\"name\": " + JsonString(Posting.Name) + ",");
    Out.WriteLine(In + "\"file\": " + (Complete ? JsonString(Check.FileName) : "null") + ",");
    Out.WriteLine(In + "\"sender\": " + JsonString(Posting.Sender) + ",");
    Out.WriteLine(In + "\"subject\": " + JsonString(Posting.Subject) + ",");
    Out.WriteLine(In + "\"sections\": " + std::to_string(Posting.Count) + ",");
    Out.WriteLine(In + "\"present\": " + JsonRanges(SectionRanges(Posting, true)) + ",");
    Out.WriteLine(In + "\"missing\": " + JsonRanges(SectionRanges(Posting, false)) + ",");
    Out.WriteLine(In + "\"messages\": " + JsonNumbers(MessagesOf(Posting, Findings.Pieces)) + ",");
    Out.WriteLine(In + "\"copies\": " + JsonNumbers(Copies) + ",");
    Out.WriteLine(In + "\"size\": " + (Complete ? std::to_string(Check.Size) : "null") + ",");
    Out.WriteLine(In + "\"state\": " + JsonString(StateName(Check.State)) + ",");
    Out.WriteLine(
        In + "\"problem\": " +
        (Complete ? "null"
                  : JsonString(Check.State == psBad ? "section " + std::to_string(Check.Section) +
                                                          ": " + Check.Problem
                                                    : Check.Problem)));
    Out.WriteLine(S + 1 < Shown.size() ? "    }," : "    }");
  }
  Out.WriteLine("  ],");
  if (Options.Verbose)
    Out.WriteLine("  \"ignored\": " + tools::JsonStrings(IgnoredLines(Findings.Ignored)) + ",");
  Out.WriteLine("  \"faults\": " + tools::JsonStrings(Findings.Faults));
  Out.WriteLine("}");
}

// Removes the messages whose every piece (copies dropped included) belongs to
// a posting that is Done with (written, or expired), highest number first (a
// JAM base renumbers the messages after one it removes).
bool RemoveMessages(TMessageBase& Base, const TFindings& Findings, const std::vector<bool>& Done,
                    TOutput& Out) {
  std::map<std::int32_t, bool> Removable;  // message -> all its pieces done with
  for (std::size_t I = 0; I < Findings.Postings.size(); ++I) {
    for (const std::int32_t M : MessagesOf(Findings.Postings[I], Findings.Pieces, true)) {
      const auto Found = Removable.find(M);
      Removable[M] = (Found == Removable.end() || Found->second) && Done[I];
    }
  }
  bool Ok = true;
  std::int32_t Removed = 0;
  // The removals are one change: stopped on the way, the run removes none of
  // them, and they share one commit. A format without transactions takes
  // each removal as it comes.
  if (!Base.BeginTransaction()) {
    Out.WriteLine("No message was removed: " + FailureText(Base.GetStatus()));
    return false;
  }
  for (auto It = Removable.rbegin(); It != Removable.rend(); ++It) {
    if (!It->second) continue;
    Base.Seek(It->first);
    Base.SetStatus(msgbase::stOk);
    if (!Base.SeekFound() || Base.Current() != It->first || !Base.KillMessage()) {
      Out.WriteLine("Message " + std::to_string(It->first) +
                    " could not be removed: " + FailureText(Base.GetStatus()));
      Ok = false;
      continue;
    }
    ++Removed;
  }
  if (!Base.CommitTransaction()) {
    Out.WriteLine("No message was removed: " + FailureText(Base.GetStatus()));
    return false;
  }
  if (Removed > 0)
    Out.WriteLine("Removed " + std::to_string(Removed) + (Removed == 1 ? " message" : " messages"));
  return Ok;
}

// Closes and releases the base; false, with the reason in Problem, when the
// close's own writes failed.
bool CloseBase(msgbase::PMessageBase& Base, std::string& Problem) {
  std::int32_t Status = msgbase::stOk;
  if (msgbase::CloseMessageBaseEx(Base, Status)) return true;
  Problem = "Closing the base failed: " + FailureText(Status);
  return false;
}

bool IsDirectory(const std::string& Path) {
  struct stat Info {};
  return ::stat(Path.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
}

// The date of Posting's newest piece; 0 when none has one.
std::int64_t NewestDate(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  std::int64_t Newest = 0;
  for (const auto& Entry : Posting.Sections) Newest = std::max(Newest, Pieces[Entry.second].Date);
  for (const std::size_t At : Posting.Duplicates) Newest = std::max(Newest, Pieces[At].Date);
  return Newest;
}

// Writes the incomplete Posting as NAME.partial (replacing an older one),
// zero bytes in place of the sections it lacks up to the last it holds;
// answers the line that says what came of it.
std::string WritePartial(TMessageBase& Base, const TPosting& Posting,
                         const std::vector<TPiece>& Pieces, const TOptions& Options) {
  const std::string Failed = "Not written: " + Who(Posting) + ", a partial file: ";
  if (Posting.LinesPerSection == 0 || Posting.Sections.empty())
    return Failed + "the length of a section is not known";
  const auto First = Posting.Sections.find(1);
  const bool HasFirst = First != Posting.Sections.end() && Pieces[First->second].HasBegin;
  std::string FileName, Problem;
  if (!SafeFileName(HasFirst ? Pieces[First->second].BeginName : Posting.Name, FileName, Problem))
    return Failed + VisibleText(Problem);
  FileName += ".partial";
  const std::uint64_t Last = Posting.Sections.rbegin()->first;
  const std::uint64_t Fill = std::uint64_t{Posting.LinesPerSection} * vellumar::UUEMaxLineBytes;
  TPosting Held = Posting;  // the sections up to the last one held
  Held.Count = Last;
  std::uint64_t Size = (Last - Posting.Sections.size()) * Fill;
  for (const auto& Entry : Posting.Sections) Size += Pieces[Entry.second].Size;
  if (Size > Options.MaxSize)
    return Failed + std::to_string(Size) + " bytes, more than the limit of " +
           std::to_string(Options.MaxSize);
  bool Exists = false;
  if (!WriteFileSafely(Options.Directory, FileName,
                       PostingSource(Base, Posting, Pieces, Last, Fill),
                       HasFirst ? Pieces[First->second].Mode : OwnerReadWrite, true, Options.Remove,
                       Exists, Problem))
    return Failed + VisibleText(Problem);
  const std::string Zeros = RangesText(SectionRanges(Held, false));
  return "Partial: " + VisibleText(FileName) + ", " + std::to_string(Size) + " bytes, " +
         (Zeros.empty() ? "no section" : "sections " + Zeros) + " of " +
         std::to_string(Posting.Count) + " zero bytes" +
         (Last < Posting.Count ? ", ends after section " + std::to_string(Last) : "");
}

}  // namespace

void ReadBase(TMessageBase& Base, TFindings& Findings) {
  std::string Text;        // one message's text at a time, its room reused
  std::uint64_t Kept = 0;  // bytes of pieces kept from the reading
  std::string Problem;
  // Most messages of a base holding postings hold one piece: room for as many
  // at once, instead of copies of every piece as the room doubles (bounded,
  // for a count that a damaged base overstates).
  constexpr std::int32_t MostPiecesReserved = 65536;
  Findings.Pieces.reserve(
      static_cast<std::size_t>(std::clamp(Base.GetCount(), 0, MostPiecesReserved)));
  if (!tools::WalkMessages(
          Base,
          [&] {
            const std::size_t First = Findings.Pieces.size();
            const std::uint64_t BadBefore = Findings.Ignored.BadNotKept;
            std::string Why;
            if (!ScanCurrentMessage(Base, Text, Findings.Pieces, &Findings.Ignored, Why))
              Findings.Faults.push_back("Message " + std::to_string(Base.Current()) +
                                        " cannot be read: " + Why);
            // Beyond a fixed budget, what is kept of a piece is where it is
            // and its digest: its bytes are read again when its file is
            // written. Within it, a base of ordinary size is read only once.
            for (std::size_t I = First; I < Findings.Pieces.size(); ++I) {
              TPiece& Piece = Findings.Pieces[I];
              if (Kept + Piece.Size <= MaxKeptBytes) {
                Kept += Piece.Size;
              } else {
                std::string().swap(Piece.Data);
              }
            }
            if (const std::uint64_t More = Findings.Ignored.BadNotKept - BadBefore; More > 0)
              Findings.Faults.push_back("Message " + std::to_string(Base.Current()) + " holds " +
                                        std::to_string(More) +
                                        " more bad sections or blocks, not listed");
            return true;
          },
          Problem))
    Findings.Faults.push_back("Messages after the last one read were not read: " + Problem);
  if (const std::string Line = tools::UncountedFilesLine(Base); !Line.empty()) {
    Findings.Faults.push_back(Line);
  }
  Findings.Postings = JoinPieces(Findings.Pieces);
}

int RunMsgExtract(const std::vector<std::string>& Args, TOutput& Out) {
  TOptions Options;
  std::string Problem;
  const bool Json = tools::WantsJson(Args);
  if (!ParseArguments(Args, Options, Problem)) {
    tools::WriteUsageProblem(Out, Json, Problem, UsageText());
    return exFailure;
  }
  if (Options.Help) {
    tools::WriteInformation(Out, Json, "usage", UsageText());
    return exOk;
  }
  if (Options.Version) {
    tools::WriteInformation(Out, Json, "version",
                            {std::string("msgextract from ") + tools::ReleaseName});
    return exOk;
  }
  if (!Options.List && !IsDirectory(Options.Directory)) {
    Out.WriteLine("Directory " + VisibleText(Options.Directory) + " does not exist");
    return exFailure;
  }
  // Only --remove changes the base; otherwise it is opened for looking only,
  // which writes nothing and lets other readers in at the same time. A
  // program that is writing into the base (a tosser, a posting) is waited for.
  msgbase::PMessageBase Base;
  if (!msgbase::OpenMessageBaseEx(
          Base, Options.BaseId,
          Options.Remove ? msgbase::OpenMessageBase : msgbase::OpenMessageBaseReadOnly,
          OpenTries)) {
    const std::string Why = "Cannot open base " + VisibleText(Options.BaseId) + ": " +
                            msgbase::ExplainStatus(msgbase::GetOpenStatus());
    if (Json)
      tools::WriteJsonObject(Out,
                             {{"base", JsonString(Options.BaseId)}, {"error", JsonString(Why)}});
    else
      Out.WriteLine(Why);
    return exFailure;
  }
  TFindings Findings;
  ReadBase(*Base, Findings);
  std::vector<TPostingCheck> Checks;
  for (const TPosting& Posting : Findings.Postings)
    Checks.push_back(CheckPosting(Posting, Findings.Pieces));
  const std::vector<std::size_t> Shown = Selected(Findings, Options);
  bool AllGood = Findings.Faults.empty();

  if (Options.List) {
    for (const std::size_t I : Shown) AllGood = AllGood && Checks[I].State == psComplete;
    // Everything is read: the base is closed first, so that a failure to
    // close is one of the listing's faults, inside a JSON document too.
    if (!CloseBase(Base, Problem)) {
      Findings.Faults.push_back(Problem);
      AllGood = false;
    }
    if (Options.Json) {
      ListJson(Findings, Checks, Shown, Options, Out);
    } else {
      ListText(Findings, Checks, Shown, Options, Out);
    }
    return AllGood ? exOk : exIncomplete;
  }

  // Each line goes out as it happens: a run stopped by a signal has said
  // what it wrote.
  const auto Say = [&Out](const std::string& Line) {
    Out.WriteLine(Line);
    (void)Out.Flush();  // a failure sticks and is reported at the end
  };
  const auto Now = static_cast<std::int64_t>(std::time(nullptr));
  std::vector<bool> Done(Findings.Postings.size(), false);  // written or expired
  std::size_t Count = 0;
  for (const std::size_t I : Shown) {
    const TPosting& Posting = Findings.Postings[I];
    const TPostingCheck& Check = Checks[I];
    if (Options.Verbose)
      for (const std::string& Copy : CopyLines(Posting, Findings.Pieces))
        Say("Dropped: " + Who(Posting) + ", " + Copy);
    if (Check.State != psComplete) {
      const std::int64_t Newest = NewestDate(Posting, Findings.Pieces);
      if (Options.ExpireDays >= 0 && Newest != 0 &&
          Now - Newest > Options.ExpireDays * SecondsPerDay) {
        Done[I] = true;
        Say("Expired: " + Who(Posting) + ", " + StateName(Check.State) + ", newest section " +
            std::to_string((Now - Newest) / SecondsPerDay) + " days old; its messages are removed");
        continue;
      }
      AllGood = false;
      Say(ProblemLine(Posting, Check));
      if (Options.Partial && Check.State == psIncomplete)
        Say(WritePartial(*Base, Posting, Findings.Pieces, Options));
      continue;
    }
    if (Check.Size > Options.MaxSize) {
      AllGood = false;
      Say("Too large: " + Who(Posting) + ", " + std::to_string(Check.Size) +
          " bytes, more than the limit of " + std::to_string(Options.MaxSize) +
          " (--max-size raises it); nothing written");
      continue;
    }
    const TPartSource Source = PostingSource(*Base, Posting, Findings.Pieces, Posting.Count, 0);
    const std::string From =
        std::to_string(Check.Size) + " bytes from " + std::to_string(Posting.Count) +
        (Posting.Count == 1 ? " section" : " sections") + " by " + VisibleText(Posting.Sender);
    bool Exists = false;
    if (!WriteFileSafely(Options.Directory, Check.FileName, Source, Check.Mode, Options.Force,
                         Options.Remove, Exists, Problem)) {
      const std::string Target = Options.Directory + "/" + Check.FileName;
      // Messages go only once the file that holds their bytes is on disk.
      if (Exists && HoldsSameBytes(Target, Check.Size, Source) &&
          (!Options.Remove || FlushFile(Target))) {
        Done[I] = true;
        ++Count;
        Say("Already there: " + FileText(Posting, Check.FileName) + ", the same " + From);
        continue;
      }
      AllGood = false;
      Say(Exists ? "Skipped: " + Who(Posting) + ", " + VisibleText(Check.FileName) +
                       " exists (--force replaces it)"
                 : "Not written: " + Who(Posting) + ", " + VisibleText(Problem));
      continue;
    }
    Done[I] = true;
    NoteFilesWritten(++Count);
    Say("Wrote " + FileText(Posting, Check.FileName) + ", " + From);
  }
  for (const std::string& Fault : Findings.Faults) Say(Fault);
  if (Options.Verbose)
    for (const std::string& Line : IgnoredLines(Findings.Ignored)) Say(Line);
  if (Options.Remove && !RemoveMessages(*Base, Findings, Done, Out)) AllGood = false;
  if (!CloseBase(Base, Problem)) {
    Out.WriteLine(Problem);
    AllGood = false;
  }
  const std::size_t N = Shown.size();
  Out.WriteLine(std::to_string(N) + (N == 1 ? " posting found, " : " postings found, ") +
                std::to_string(Count) + " written");
  return AllGood ? exOk : exIncomplete;
}

}  // namespace msgextract
