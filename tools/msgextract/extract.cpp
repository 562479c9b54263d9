#include "tools/msgextract/extract.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "encode/uudecode.h"
#include "msgbase/file_helpers.h"
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

// The mode bits a rebuilt file may get: never executable, never set-id.
constexpr std::uint32_t FileModeMask = 0666;
// Seconds a base held by a writer is waited for, one try a second.
constexpr std::int32_t OpenTries = 10;
// The first byte of a control line.
constexpr char ControlByte = '\x01';
// The owner may always read and write a rebuilt file.
constexpr std::uint32_t OwnerReadWrite = 0600;
// Bytes gathered before a write to the file: a buffer made once at its full
// size and reused, so that its pages are touched once (grown by doubling to a
// megabyte it cost a third of a run's page faults).
constexpr std::size_t WriteChunk = std::size_t{64} << 10;
// The longest first line looked at for the sender: an address line is short.
constexpr std::size_t MaxHeadLine = 1024;
constexpr std::int64_t SecondsPerDay = 86400;
// Decoded bytes kept from the first reading of the base; the rest is read
// again when written.
constexpr std::uint64_t MaxKeptBytes = std::uint64_t{16} << 20;

std::string ErrnoText(int Error) {
  return std::strerror(Error);
}

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

// What a signal handler may touch: the temporary file being written (its
// path, a zero byte first when there is none) and the files written so far.
char TempPathForSignal[PATH_MAX + 1] = {};
volatile std::sig_atomic_t FilesWrittenForSignal = 0;

void NoteTempPath(const std::string& Path) {
  TempPathForSignal[0] = '\0';
  const std::size_t Size = std::min(Path.size(), sizeof TempPathForSignal - 1);
  if (Size == 0) return;
  std::memcpy(TempPathForSignal + 1, Path.data() + 1, Size - 1);
  TempPathForSignal[Size] = '\0';
  TempPathForSignal[0] = Path[0];  // last: a handler sees the whole path or none
}

// Only async-signal-safe calls: unlink, write, signal, raise.
extern "C" void StopOnSignal(int Signal) {
  if (TempPathForSignal[0] != '\0') (void)::unlink(TempPathForSignal);  // best effort
  char Line[128] = "Stopped by signal ";
  std::size_t At = std::strlen(Line);
  const auto PutNumber = [&](long Value) {
    char Digits[24];
    std::size_t N = 0;
    do {
      Digits[N++] = static_cast<char>('0' + Value % 10);
      Value /= 10;
    } while (Value > 0 && N < sizeof Digits);
    while (N > 0) Line[At++] = Digits[--N];
  };
  PutNumber(Signal);
  for (const char* Text = "; files written before it: "; *Text != '\0'; ++Text) Line[At++] = *Text;
  PutNumber(FilesWrittenForSignal);
  for (const char* Text = "; no temporary file left\n"; *Text != '\0'; ++Text) Line[At++] = *Text;
  const ssize_t Wrote = ::write(STDOUT_FILENO, Line, At);
  (void)Wrote;  // nowhere is left to report a failure of this one
  (void)std::signal(Signal, SIG_DFL);
  (void)std::raise(Signal);
}

// Closes the descriptor and removes the temporary file unless Keep is set.
class TTempFile {
 public:
  TTempFile() = default;
  ~TTempFile() {
    if (Fd >= 0) (void)::close(Fd);                            // a failed write is reported already
    if (!Keep && !Path.empty()) (void)::unlink(Path.c_str());  // best effort clean-up
    NoteTempPath("");
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  int Fd = -1;
  std::string Path;
  bool Keep = false;
};

// Writes all of Bytes; false with errno set on failure.
bool WriteAll(int Fd, std::string_view Bytes) {
  while (!Bytes.empty()) {
    const ssize_t Written = ::write(Fd, Bytes.data(), Bytes.size());
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) {
      if (Written == 0) errno = EIO;
      return false;
    }
    Bytes.remove_prefix(static_cast<std::size_t>(Written));
  }
  return true;
}

// Reads Bytes.size() bytes into Bytes; false at the end of the file or on failure.
bool ReadAll(int Fd, char* Bytes, std::size_t Size) {
  while (Size > 0) {
    const ssize_t Got = ::read(Fd, Bytes, Size);
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) return false;
    Bytes += Got;
    Size -= static_cast<std::size_t>(Got);
  }
  return true;
}

// Flushes the file Path and its directory to disk.
bool FlushFile(const std::string& Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return false;
  const bool Synced = ::fsync(Fd) == 0;
  (void)::close(Fd);  // only read: the flush is what counts
  return Synced && msgbase::SyncDirectory(Path.substr(0, Path.rfind('/')));
}

// The umask, which can only be read by setting it.
mode_t CurrentUmask() {
  const mode_t Mask = ::umask(0);
  (void)::umask(Mask);  // put back at once; the program has one thread
  return Mask;
}

// Renames From to To unless To exists; false with errno EEXIST when it does.
bool RenameNoReplace(const std::string& From, const std::string& To) {
  if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails on an existing name too.
  if (::link(From.c_str(), To.c_str()) != 0) return false;
  (void)::unlink(From.c_str());  // the file is in place under its name already
  return true;
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

TPartSource PartsSource(std::vector<std::string_view> Parts) {
  return [Parts = std::move(Parts)](const TPut& Put, std::string& Problem) {
    (void)Problem;  // bytes in memory are always there
    return std::all_of(Parts.begin(), Parts.end(), Put);
  };
}

void CleanUpOnSignals() {
  for (const int Signal : {SIGINT, SIGTERM}) (void)std::signal(Signal, StopOnSignal);
}

bool HoldsSameBytes(const std::string& Path, std::uint64_t Size, const TPartSource& Source) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd < 0) return false;
  struct stat Info {};
  bool Same = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) &&
              static_cast<std::uint64_t>(Info.st_size) == Size;
  std::string Buffer;
  std::string Problem;
  Same = Same && Source(
                     [&](std::string_view Part) {
                       Buffer.resize(Part.size());
                       return ReadAll(Fd, Buffer.data(), Part.size()) && Buffer == Part;
                     },
                     Problem);
  (void)::close(Fd);  // only read
  return Same;
}

std::vector<std::string> UsageText() {
  return {
      "Usage: msgextract [options] <base> [<directory>]",
      "       msgextract --list [--json] [--verbose] <base>",
      "  <base>       a format letter and the base's path: F (*.msg directory),",
      "               S (Squish) or J (JAM), e.g. J/var/spool/fido/files",
      "  <directory>  where the rebuilt files go (default: the working directory)",
      "  --list       write nothing; show every posting found: name, sender,",
      "               subject, sections present and missing, size",
      "  --json       the listing as one JSON document (implies --list)",
      "  --verbose    also list lines that only look like a posting's start",
      "  --remove     delete a posting's messages once its file is on disk",
      "  --expire D   with --remove: also delete the messages of incomplete or",
      "               bad postings whose newest section is more than D days old",
      "  --partial    write an incomplete posting as NAME.partial, missing",
      "               sections as zero bytes",
      "  --include P, --exclude P",
      "               only postings whose name matches (does not match) the",
      "               shell pattern P; each may be given more than once",
      "  --max-size N refuse a posting of more than N bytes (K, M, G allowed;",
      "               default 1G)",
      "  --force      replace a file that exists (otherwise the posting is skipped)",
      "  --help       this text; --version: the version",
      "  With --json every answer, a refusal included, is one JSON document.",
      "Exit status: 0 every posting rebuilt, 1 bad usage or a base or directory",
      "that cannot be used, 2 some posting incomplete, bad, too large or skipped.",
  };
}

namespace {

// A decimal number with an optional K, M or G (powers of 1024); false when
// it is none or too large to count.
bool ParseSize(const std::string& Text, std::uint64_t& Value) {
  std::size_t Digits = 0;
  Value = 0;
  for (; Digits < Text.size() && Text[Digits] >= '0' && Text[Digits] <= '9'; ++Digits) {
    if (Value > (UINT64_MAX - 9) / 10) return false;
    Value = Value * 10 + static_cast<std::uint64_t>(Text[Digits] - '0');
  }
  if (Digits == 0 || Text.size() > Digits + 1) return false;
  if (Text.size() == Digits) return true;
  const std::string Units = "KMG";
  const std::size_t Unit = Units.find(static_cast<char>(Text[Digits] & ~0x20));
  if (Unit == std::string::npos) return false;
  const unsigned Shift = 10 * static_cast<unsigned>(Unit + 1);
  if (Value > (UINT64_MAX >> Shift)) return false;
  Value <<= Shift;
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options, std::string& Problem) {
  Options = TOptions{};
  std::vector<std::string> Positional;
  std::set<std::string> Seen;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    // Options with a value take it from the next argument or after '='.
    const std::size_t Equals = A.find('=');
    const std::string Name = A.starts_with("--") ? A.substr(0, Equals) : A;
    if (Name == "--expire" || Name == "--max-size" || Name == "--include" || Name == "--exclude") {
      std::string Value;
      if (Equals != std::string::npos) {
        Value = A.substr(Equals + 1);
      } else if (I + 1 < Args.size()) {
        Value = Args[++I];
      } else {
        Problem = Name + " needs a value";
        return false;
      }
      std::uint64_t Number = 0;
      if (Name == "--include" || Name == "--exclude") {
        (Name == "--include" ? Options.Include : Options.Exclude).push_back(Value);
        continue;
      }
      if (!Seen.insert(Name).second) {
        Problem = Name + " given twice";
        return false;
      }
      if (Name == "--expire" && Value.find_first_not_of("0123456789") == std::string::npos &&
          ParseSize(Value, Number) && Number <= 100000) {
        Options.ExpireDays = static_cast<std::int64_t>(Number);
      } else if (Name == "--max-size" && ParseSize(Value, Number) && Number > 0) {
        Options.MaxSize = Number;
      } else {
        Problem = "Bad value for " + Name + ": " + VisibleText(Value);
        return false;
      }
      continue;
    }
    bool* Flag = nullptr;
    if (A == "--list") {
      Flag = &Options.List;
    } else if (A == "--json") {
      Flag = &Options.Json;
    } else if (A == "--remove") {
      Flag = &Options.Remove;
    } else if (A == "--force") {
      Flag = &Options.Force;
    } else if (A == "--partial") {
      Flag = &Options.Partial;
    } else if (A == "--verbose") {
      Flag = &Options.Verbose;
    } else if (A == "--help" || A == "-h") {
      Flag = &Options.Help;
    } else if (A == "--version") {
      Flag = &Options.Version;
    } else if (A.size() > 1 && A[0] == '-') {
      Problem = "Unknown option " + VisibleText(A);
      return false;
    } else {
      Positional.push_back(A);
      continue;
    }
    if (*Flag) {
      Problem = A + " given twice";
      return false;
    }
    *Flag = true;
  }
  if (Options.Help || Options.Version) return true;
  if (Options.Json) Options.List = true;
  if (Options.List && (Options.Remove || Options.Partial)) {
    Problem = std::string(Options.Remove ? "--remove" : "--partial") +
              " does not go with --list or --json";
    return false;
  }
  if (Options.ExpireDays >= 0 && !Options.Remove) {
    Problem = "--expire goes with --remove only";
    return false;
  }
  if (Positional.empty()) {
    Problem = "No base given";
    return false;
  }
  if (Positional.size() > 2) {
    Problem = "Too many arguments (" + VisibleText(Positional[2]) + ")";
    return false;
  }
  Options.BaseId = Positional[0];
  if (Positional.size() == 2) Options.Directory = Positional[1];
  if (Options.Directory.empty()) {
    Problem = "The directory is empty";
    return false;
  }
  return true;
}

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

bool WriteFileSafely(const std::string& Directory, const std::string& FileName,
                     const TPartSource& Source, std::uint32_t Mode, bool Force, bool Flush,
                     bool& Exists, std::string& Problem) {
  Exists = false;
  const std::string Target = Directory + "/" + FileName;
  struct stat Info {};
  if (!Force && ::lstat(Target.c_str(), &Info) == 0) {
    Exists = true;
    return false;
  }
  TTempFile Temp;
  const auto Fail = [&](const std::string& What) {
    Problem = What + ": " + ErrnoText(errno);
    return false;
  };
  // A name of our own in the target directory, so the rename stays on one
  // file system; O_EXCL makes sure it is a new file.
  static unsigned Serial = 0;
  for (int Try = 0; Try < 100 && Temp.Fd < 0; ++Try) {
    Temp.Path = Directory + "/.msgextract." + std::to_string(::getpid()) + "." +
                std::to_string(++Serial) + ".tmp";
    NoteTempPath(Temp.Path);
    Temp.Fd = ::open(Temp.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(OwnerReadWrite));
    if (Temp.Fd < 0 && errno != EEXIST) {
      Temp.Path.clear();
      return Fail("cannot create a file in " + Directory);
    }
  }
  if (Temp.Fd < 0) {
    Temp.Path.clear();
    return Fail("cannot create a file in " + Directory);
  }
  // The mode as the begin line asks, less the umask; the owner can always
  // read and write it (a "begin 0000" file would be of no use otherwise).
  const auto FileMode = static_cast<mode_t>(
      ((Mode & FileModeMask) & ~static_cast<std::uint32_t>(CurrentUmask())) | OwnerReadWrite);
  if (::fchmod(Temp.Fd, FileMode) != 0) return Fail("cannot set the mode of " + Target);
  std::string Buffer;
  Buffer.reserve(WriteChunk);
  bool Wrote = true;
  const auto Put = [&](std::string_view Part) {
    if (Buffer.size() + Part.size() > WriteChunk) {
      Wrote = WriteAll(Temp.Fd, Buffer) && WriteAll(Temp.Fd, Part);
      Buffer.clear();
    } else {
      Buffer += Part;
    }
    return Wrote;
  };
  std::string Missing;
  if (!Source(Put, Missing)) {
    if (!Wrote) return Fail("cannot write " + Target);
    Problem = Missing;
    return false;
  }
  if (!WriteAll(Temp.Fd, Buffer) || (Flush && ::fsync(Temp.Fd) != 0))
    return Fail("cannot write " + Target);
  const int Fd = Temp.Fd;
  Temp.Fd = -1;
  if (::close(Fd) != 0) return Fail("cannot write " + Target);
  if (Force ? ::rename(Temp.Path.c_str(), Target.c_str()) != 0
            : !RenameNoReplace(Temp.Path, Target)) {
    if (errno == EEXIST) {
      Exists = true;
      return false;
    }
    return Fail("cannot rename the file into place as " + Target);
  }
  Temp.Keep = true;
  if (!Flush) return true;
  // The name reaches the disk with the directory.
  if (!msgbase::SyncDirectory(Directory)) return Fail("cannot flush the directory " + Directory);
  return true;
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
    FilesWrittenForSignal = static_cast<std::sig_atomic_t>(++Count);
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
