#include "tools/msgextract/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

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
    Head += Lines[I];
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

// Reads the current message and appends what it holds to Findings; Text is
// room for its text, reused from message to message.
void ScanCurrentMessage(TMessageBase& Base, std::string& Text, TFindings& Findings) {
  TMessageText Message;
  Message.Number = Base.Current();
  const std::string Number = std::to_string(Message.Number);
  Base.SetStatus(msgbase::stOk);
  if (!Base.OpenMessage()) {
    Findings.Faults.push_back("Message " + Number +
                              " cannot be read: " + FailureText(Base.GetStatus()));
    return;
  }
  // A message that other software marked deleted is no longer there to read.
  if (Base.GetAttribute(msgbase::maDeleted)) {
    (void)Base.CloseMessage();  // only read: releasing the text changes nothing stored
    return;
  }
  Base.SetTextPos(0);
  std::string Problem;
  if (!tools::ReadWholeText(Base, Text, Problem))
    Findings.Faults.push_back("Message " + Number + " cannot be read: " + Problem);
  Message.Lines = tools::SplitTextLines(Text);
  // Other tools number their parts in the subject.
  Message.Subject = Base.GetSubject();
  const std::size_t First = Findings.Pieces.size();
  ScanMessage(Message, Findings.Pieces);
  if (Findings.Pieces.size() > First) {
    const std::string Sender = SenderOf(Base, Message.Lines);
    for (std::size_t I = First; I < Findings.Pieces.size(); ++I) Findings.Pieces[I].Sender = Sender;
  }
  // Only read: releasing the text changes nothing stored.
  (void)Base.CloseMessage();
}

// "NAME from SENDER", shown safely.
std::string Who(const TPosting& Posting) {
  return VisibleText(Posting.Name.empty() ? "(no name)" : Posting.Name) + " from " +
         VisibleText(Posting.Sender);
}

std::vector<std::int32_t> MessagesOf(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  std::vector<std::int32_t> Messages;
  for (const auto& Entry : Posting.Sections) Messages.push_back(Pieces[Entry.second].Message);
  std::sort(Messages.begin(), Messages.end());
  return Messages;
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

void ListText(const TFindings& Findings, const std::vector<TPostingCheck>& Checks,
              const TOptions& Options, TOutput& Out) {
  const std::size_t N = Findings.Postings.size();
  Out.WriteLine("Base " + VisibleText(Options.BaseId) + ": " + std::to_string(N) +
                (N == 1 ? " posting" : " postings"));
  for (std::size_t I = 0; I < N; ++I) {
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

void ListJson(const TFindings& Findings, const std::vector<TPostingCheck>& Checks,
              const TOptions& Options, TOutput& Out) {
  Out.WriteLine("{");
  Out.WriteLine("  \"base\": " + JsonString(Options.BaseId) + ",");
  Out.WriteLine("  \"postings\": [");
  for (std::size_t I = 0; I < Findings.Postings.size(); ++I) {
    const TPosting& Posting = Findings.Postings[I];
    const TPostingCheck& Check = Checks[I];
    const bool Complete = Check.State == psComplete;
    std::string Messages = "[";
    for (const std::int32_t M : MessagesOf(Posting, Findings.Pieces))
      Messages += (Messages.size() > 1 ? ", " : "") + std::to_string(M);
    const std::string In = "      ";
    Out.WriteLine("    {");
    Out.WriteLine(In + "\"name\": " + JsonString(Posting.Name) + ",");
    Out.WriteLine(In + "\"file\": " + (Complete ? JsonString(Check.FileName) : "null") + ",");
    Out.WriteLine(In + "\"sender\": " + JsonString(Posting.Sender) + ",");
    Out.WriteLine(In + "\"subject\": " + JsonString(Posting.Subject) + ",");
    Out.WriteLine(In + "\"sections\": " + std::to_string(Posting.Count) + ",");
    Out.WriteLine(In + "\"present\": " + JsonRanges(SectionRanges(Posting, true)) + ",");
    Out.WriteLine(In + "\"missing\": " + JsonRanges(SectionRanges(Posting, false)) + ",");
    Out.WriteLine(In + "\"messages\": " + Messages + "],");
    Out.WriteLine(In + "\"size\": " + (Complete ? std::to_string(Check.Size) : "null") + ",");
    Out.WriteLine(In + "\"state\": " + JsonString(StateName(Check.State)) + ",");
    Out.WriteLine(
        In + "\"problem\": " +
        (Complete ? "null"
                  : JsonString(Check.State == psBad ? "section " + std::to_string(Check.Section) +
                                                          ": " + Check.Problem
                                                    : Check.Problem)));
    Out.WriteLine(I + 1 < Findings.Postings.size() ? "    }," : "    }");
  }
  Out.WriteLine("  ],");
  Out.WriteLine("  \"faults\": " + tools::JsonStrings(Findings.Faults));
  Out.WriteLine("}");
}

// Removes the messages whose every piece went into a written file, highest
// number first (a JAM base renumbers the messages after one it removes).
bool RemoveMessages(TMessageBase& Base, const TFindings& Findings, const std::vector<bool>& Written,
                    TOutput& Out) {
  std::map<std::int32_t, bool> Removable;  // message -> all its pieces written
  for (std::size_t I = 0; I < Findings.Postings.size(); ++I) {
    for (const auto& Entry : Findings.Postings[I].Sections) {
      const std::int32_t M = Findings.Pieces[Entry.second].Message;
      const auto Found = Removable.find(M);
      Removable[M] = (Found == Removable.end() || Found->second) && Written[I];
    }
  }
  bool Ok = true;
  std::int32_t Removed = 0;
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

// Closes the descriptor and removes the temporary file unless Keep is set.
class TTempFile {
 public:
  TTempFile() = default;
  ~TTempFile() {
    if (Fd >= 0) (void)::close(Fd);                            // a failed write is reported already
    if (!Keep && !Path.empty()) (void)::unlink(Path.c_str());  // best effort clean-up
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  int Fd = -1;
  std::string Path;
  bool Keep = false;
};

// Writes every part, many at a time; false with errno set on failure.
bool WriteAll(int Fd, const std::vector<std::string_view>& Parts) {
  std::vector<iovec> Pieces;
  Pieces.reserve(Parts.size());
  for (const std::string_view Part : Parts)
    if (!Part.empty()) Pieces.push_back({const_cast<char*>(Part.data()), Part.size()});
  std::size_t Next = 0;
  while (Next < Pieces.size()) {
    const auto Count = static_cast<int>(std::min<std::size_t>(Pieces.size() - Next, IOV_MAX));
    const ssize_t Written = ::writev(Fd, Pieces.data() + Next, Count);
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) {
      if (Written == 0) errno = EIO;
      return false;
    }
    // Step past what went out; a piece written in part keeps its rest.
    auto Left = static_cast<std::size_t>(Written);
    while (Left > 0 && Left >= Pieces[Next].iov_len) Left -= Pieces[Next++].iov_len;
    if (Left > 0) {
      Pieces[Next].iov_base = static_cast<char*>(Pieces[Next].iov_base) + Left;
      Pieces[Next].iov_len -= Left;
    }
  }
  return true;
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

}  // namespace

std::vector<std::string> UsageText() {
  return {
      "Usage: msgextract [--list [--json]] [--remove] [--force] <base> [<directory>]",
      "  <base>       a format letter and the base's path: F (*.msg directory),",
      "               S (Squish) or J (JAM), e.g. J/var/spool/fido/files",
      "  <directory>  where the rebuilt files go (default: the working directory)",
      "  --list       write nothing; show every posting found: name, sender,",
      "               subject, sections present and missing, size",
      "  --json       the listing as one JSON document (implies --list)",
      "  --remove     delete a posting's messages once its file is on disk",
      "  --force      replace a file that exists (otherwise the posting is skipped)",
      "  --help       this text; --version: the version",
      "  With --json every answer, a refusal included, is one JSON document.",
      "Exit status: 0 every posting rebuilt, 1 bad usage or a base or directory",
      "that cannot be used, 2 some posting incomplete, bad or skipped.",
  };
}

bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options, std::string& Problem) {
  Options = TOptions{};
  std::vector<std::string> Positional;
  for (const std::string& A : Args) {
    bool* Flag = nullptr;
    if (A == "--list") {
      Flag = &Options.List;
    } else if (A == "--json") {
      Flag = &Options.Json;
    } else if (A == "--remove") {
      Flag = &Options.Remove;
    } else if (A == "--force") {
      Flag = &Options.Force;
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
  if (Options.List && Options.Remove) {
    Problem = "--remove does not go with --list or --json";
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
  std::string Text;  // one message's text at a time, its room reused
  std::string Problem;
  if (!tools::WalkMessages(
          Base,
          [&] {
            ScanCurrentMessage(Base, Text, Findings);
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
                     const std::vector<std::string_view>& Parts, std::uint32_t Mode, bool Force,
                     bool Flush, bool& Exists, std::string& Problem) {
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
    Temp.Fd = ::open(Temp.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(Mode & FileModeMask));
    if (Temp.Fd < 0 && errno != EEXIST) {
      Temp.Path.clear();
      return Fail("cannot create a file in " + Directory);
    }
  }
  if (Temp.Fd < 0) {
    Temp.Path.clear();
    return Fail("cannot create a file in " + Directory);
  }
  if (!WriteAll(Temp.Fd, Parts) || (Flush && ::fsync(Temp.Fd) != 0))
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
  bool AllGood = Findings.Faults.empty();
  for (const TPostingCheck& Check : Checks) AllGood = AllGood && Check.State == psComplete;

  if (Options.List) {
    // Everything is read: the base is closed first, so that a failure to
    // close is one of the listing's faults, inside a JSON document too.
    if (!CloseBase(Base, Problem)) {
      Findings.Faults.push_back(Problem);
      AllGood = false;
    }
    if (Options.Json) {
      ListJson(Findings, Checks, Options, Out);
    } else {
      ListText(Findings, Checks, Options, Out);
    }
    return AllGood ? exOk : exIncomplete;
  }

  std::vector<bool> Written(Findings.Postings.size(), false);
  std::size_t Count = 0;
  for (std::size_t I = 0; I < Findings.Postings.size(); ++I) {
    const TPosting& Posting = Findings.Postings[I];
    const TPostingCheck& Check = Checks[I];
    if (Check.State != psComplete) {
      Out.WriteLine(ProblemLine(Posting, Check));
      continue;
    }
    bool Exists = false;
    if (!WriteFileSafely(Options.Directory, Check.FileName, FileParts(Posting, Findings.Pieces),
                         Check.Mode, Options.Force, Options.Remove, Exists, Problem)) {
      AllGood = false;
      Out.WriteLine(Exists ? "Skipped: " + Who(Posting) + ", " + VisibleText(Check.FileName) +
                                 " exists (--force replaces it)"
                           : "Not written: " + Who(Posting) + ", " + VisibleText(Problem));
      continue;
    }
    Written[I] = true;
    ++Count;
    Out.WriteLine("Wrote " + VisibleText(Check.FileName) + ", " + std::to_string(Check.Size) +
                  " bytes from " + std::to_string(Posting.Count) +
                  (Posting.Count == 1 ? " section" : " sections") + " by " +
                  VisibleText(Posting.Sender));
  }
  for (const std::string& Fault : Findings.Faults) Out.WriteLine(Fault);
  if (Options.Remove && !RemoveMessages(*Base, Findings, Written, Out)) AllGood = false;
  if (!CloseBase(Base, Problem)) {
    Out.WriteLine(Problem);
    AllGood = false;
  }
  const std::size_t N = Findings.Postings.size();
  Out.WriteLine(std::to_string(N) + (N == 1 ? " posting found, " : " postings found, ") +
                std::to_string(Count) + " written");
  return AllGood ? exOk : exIncomplete;
}

}  // namespace msgextract
