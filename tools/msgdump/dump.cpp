#include "tools/msgdump/dump.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <functional>
#include <limits>

#include "msgbase/open_base.h"
#include "msgbase/status.h"

namespace msgdump {

using msgbase::TAddress;
using msgbase::TMessageBase;

namespace {

// A base that another program holds is tried this often, a second apart,
// before the run gives up, as a posting does.
constexpr std::int32_t OpenTries = 10;

// Width of the labels of the text listing.
constexpr std::size_t LabelWidth = 12;

// One message as read from the base, before it is formatted.
struct TMessageView {
  std::int32_t Number = 0;
  bool Opened = false;
  bool Deleted = false;  // marked deleted but still stored
  std::string Error;     // why it could not be opened, or where its text broke off
  std::string From;
  std::string To;
  TAddress FromAddress;
  TAddress ToAddress;
  std::string Subject;
  std::string Written;
  std::string Arrived;  // empty when the stored date is no valid date
  std::string Attributes;
  std::vector<std::string> Lines;
};

std::string Field(const std::string& Label, const std::string& Value) {
  std::string Line = Label + ":";
  if (Value.empty()) return Line;
  Line.resize(std::max(Line.size() + 1, LabelWidth), ' ');
  return Line + Value;
}

std::string NameAndAddress(const std::string& Name, const TAddress& A) {
  return VisibleText(Name) + " (" + msgbase::AddressToStrEx(A) + ")";
}

// Reads the current message's header and text into View; false (with
// View.Error) when it cannot be opened or its text stops advancing.
bool ReadMessage(TMessageBase& Base, bool HeadersOnly, TMessageView& View) {
  View.Number = Base.Current();
  Base.SetStatus(msgbase::stOk);
  const bool Opened = HeadersOnly ? Base.OpenMessageHeader() : Base.OpenMessage();
  if (!Opened) {
    View.Error = FailureText(Base.GetStatus());
    return false;
  }
  View.Opened = true;
  View.Deleted = Base.GetAttribute(msgbase::maDeleted);
  View.From = Base.GetFrom();
  View.To = Base.GetTo();
  View.Subject = Base.GetSubject();
  Base.GetFromAndToAddress(View.FromAddress, View.ToAddress);
  msgbase::TMessageBaseDateTime Written;
  msgbase::TMessageBaseDateTime Arrived;
  Base.GetWrittenDateTime(Written);
  Base.GetArrivedDateTime(Arrived);
  View.Written = msgbase::GetDateTimeLine(Written);
  // Software that keeps other words at the arrived date's place (FTS-0001
  // zone and point in a *.msg header) leaves no date there: shown as absent.
  if (msgbase::IsValidMessageBaseDateTime(Arrived))
    View.Arrived = msgbase::GetDateTimeLine(Arrived);
  View.Attributes = msgbase::GetAttributesLine(Base);

  // The address scan left the text position at the end.
  Base.SetTextPos(0);
  std::string Text;
  const bool Ok = ReadWholeText(Base, Text, View.Error);
  for (const std::string_view Line : SplitTextLines(Text)) View.Lines.emplace_back(Line);
  // Only read: releasing the text changes nothing stored, so its answer is of
  // no interest.
  (void)Base.CloseMessage();
  return Ok;
}

void WriteTextMessage(const TMessageView& View, bool HeadersOnly, TOutput& Out) {
  const std::string Number = std::to_string(View.Number);
  Out.WriteLine("");
  if (!View.Opened) {
    Out.WriteLine("Message " + Number + " cannot be read: " + View.Error);
    return;
  }
  Out.WriteLine("Message " + Number + (View.Deleted ? " (deleted)" : ""));
  Out.WriteLine(Field("From", NameAndAddress(View.From, View.FromAddress)));
  Out.WriteLine(Field("To", NameAndAddress(View.To, View.ToAddress)));
  Out.WriteLine(Field("Subject", VisibleText(View.Subject)));
  Out.WriteLine(Field("Written", View.Written));
  Out.WriteLine(Field("Arrived", View.Arrived));
  Out.WriteLine(Field("Attributes", View.Attributes));
  Out.WriteLine(HeadersOnly ? "Control lines:" : "Text:");
  for (const std::string& Line : View.Lines) Out.WriteLine("  " + VisibleText(Line));
  if (!View.Error.empty()) Out.WriteLine("Message " + Number + " is cut short: " + View.Error);
}

// The lines of one element of the "messages" array, without a comma after it.
std::vector<std::string> JsonMessage(const TMessageView& View) {
  const std::string In = "      ";
  std::vector<std::string> Lines{"    {"};
  // Either the error or the header follows the number.
  Lines.push_back(In + JsonMember("number", std::to_string(View.Number)));
  if (!View.Opened) {
    Lines.push_back(In + JsonMember("error", JsonString(View.Error), false));
    Lines.push_back("    }");
    return Lines;
  }
  Lines.push_back(In + JsonMember("deleted", View.Deleted ? "true" : "false"));
  Lines.push_back(In + JsonMember("from", JsonString(View.From)));
  Lines.push_back(In + JsonMember("from_address", JsonAddress(View.FromAddress)));
  Lines.push_back(In + JsonMember("to", JsonString(View.To)));
  Lines.push_back(In + JsonMember("to_address", JsonAddress(View.ToAddress)));
  Lines.push_back(In + JsonMember("subject", JsonString(View.Subject)));
  Lines.push_back(In + JsonMember("written", JsonString(View.Written)));
  Lines.push_back(In +
                  JsonMember("arrived", View.Arrived.empty() ? "null" : JsonString(View.Arrived)));
  Lines.push_back(In + JsonMember("attributes", JsonString(View.Attributes)));
  if (!View.Error.empty()) Lines.push_back(In + JsonMember("error", JsonString(View.Error)));
  if (View.Lines.empty()) {
    Lines.push_back(In + JsonMember("text", "[]", false));
  } else {
    Lines.push_back(In + "\"text\": [");
    for (std::size_t I = 0; I < View.Lines.size(); ++I) {
      Lines.push_back(In + "  " + JsonString(View.Lines[I]) +
                      (I + 1 < View.Lines.size() ? "," : ""));
    }
    Lines.push_back(In + "]");
  }
  Lines.push_back("    }");
  return Lines;
}

bool KillOne(TMessageBase& Base, std::int32_t Message, TOutput& Out) {
  const std::string Number = std::to_string(Message);
  // Seek lands on the next existing number; only an exact hit may go.
  Base.Seek(Message);
  if (!Base.SeekFound() || Base.Current() != Message) {
    Out.WriteLine("Message " + Number + " does not exist");
    return false;
  }
  Base.SetStatus(msgbase::stOk);
  // The message is read first: a base removes only the message it handed
  // out, never one another program put under the number since.
  if (!Base.OpenMessageHeader() || !Base.KillMessage()) {
    Out.WriteLine("Message " + Number + " could not be removed: " + FailureText(Base.GetStatus()));
    return false;
  }
  Out.WriteLine("Message " + Number + " removed");
  return true;
}

// Stores the value and reads it back: some formats keep fewer bits than a
// message number has, and some report no failure of their own.
bool SetOneLastRead(TMessageBase& Base, std::int32_t User, std::int32_t Message, TOutput& Out) {
  const std::string Who = "Lastread of user " + std::to_string(User);
  Base.SetStatus(msgbase::stOk);
  Base.SetLastRead(User, Message);
  if (Base.GetStatus() != msgbase::stOk) {
    Out.WriteLine(Who + " could not be stored: " + msgbase::ExplainStatus(Base.GetStatus()));
    return false;
  }
  const std::int32_t Stored = Base.GetLastRead(User);
  if (Stored != Message) {
    Out.WriteLine(Who + " reads back as " + std::to_string(Stored) + ", not " +
                  std::to_string(Message));
    return false;
  }
  Out.WriteLine(Who + " set to " + std::to_string(Message));
  return true;
}

// Closes and releases the base; false, with the reason in Problem, when
// closing recorded a failure (the counters of some formats reach the disk
// only now).
bool CloseBase(msgbase::PMessageBase& Base, std::string& Problem) {
  Base->SetStatus(msgbase::stOk);
  Base->Close();
  const std::int32_t Status = Base->GetStatus();
  (void)msgbase::DoneMessageBase(Base);  // there is a base: the answer is known
  if (Status == msgbase::stOk) return true;
  Problem = "Closing the base failed: " + msgbase::ExplainStatus(Status);
  return false;
}

}  // namespace

// --- Arguments ---

bool ParseNumber(const std::string& S, std::int32_t& Value) {
  if (S.empty() || S.size() > 10) return false;
  std::int64_t N = 0;
  for (const char C : S) {
    if (C < '0' || C > '9') return false;
    N = N * 10 + (C - '0');
  }
  if (N > std::numeric_limits<std::int32_t>::max()) return false;
  Value = static_cast<std::int32_t>(N);
  return true;
}

std::vector<std::string> UsageText() {
  return {
      "Usage: msgdump [--json] [--headers] [--netmail] <base>",
      "       msgdump --kill <number> <base>",
      "       msgdump --lastread <user> <base>",
      "       msgdump --set-lastread <user> <number> <base>",
      "  <base>     a format letter and the base's path: F (*.msg directory),",
      "             S (Squish) or J (JAM), e.g. S/var/spool/fido/area",
      "  --json     the listing as one JSON document",
      "  --headers  headers and control lines only, no message body",
      "  --netmail  read the base as netmail (a JAM base then shows the",
      "             addressing lines it keeps apart from the text)",
      "  --help     this text; --version: the version",
      "  With --json every answer, a refusal included, is one JSON document.",
  };
}

bool ParseArguments(const std::vector<std::string>& Args, TOptions& Options, std::string& Problem) {
  Options = TOptions{};
  bool HaveAction = false;
  const auto SetAction = [&](TAction Action, const std::string& Name) {
    if (HaveAction) {
      Problem = "Only one of --kill, --lastread, --set-lastread, --help and --version, please (" +
                Name + ")";
      return false;
    }
    HaveAction = true;
    Options.Action = Action;
    return true;
  };
  // Takes the number after option Name into Value.
  std::size_t I = 0;
  const auto TakeNumber = [&](const std::string& Name, const std::string& What,
                              std::int32_t& Value) {
    if (I + 1 >= Args.size()) {
      Problem = Name + " needs a " + What;
      return false;
    }
    if (!ParseNumber(Args[++I], Value)) {
      Problem = Name + ": " + VisibleText(Args[I]) + " is not a " + What;
      return false;
    }
    return true;
  };
  for (; I < Args.size(); ++I) {
    const std::string& A = Args[I];
    bool Ok = true;
    if (A == "--json") {
      Ok = !Options.Json;
      Options.Json = true;
    } else if (A == "--headers") {
      Ok = !Options.HeadersOnly;
      Options.HeadersOnly = true;
    } else if (A == "--netmail") {
      Ok = !Options.Netmail;
      Options.Netmail = true;
    } else if (A == "--help" || A == "-h") {
      Ok = SetAction(acHelp, A);
    } else if (A == "--version") {
      Ok = SetAction(acVersion, A);
    } else if (A == "--kill") {
      Ok = SetAction(acKill, A) && TakeNumber(A, "message number", Options.Message);
      if (Ok && Options.Message == 0) {
        Problem = "--kill: message numbers start at 1";
        return false;
      }
    } else if (A == "--lastread") {
      Ok = SetAction(acLastRead, A) && TakeNumber(A, "user number", Options.User);
    } else if (A == "--set-lastread") {
      Ok = SetAction(acSetLastRead, A) && TakeNumber(A, "user number", Options.User) &&
           TakeNumber(A, "message number", Options.Message);
    } else if (A.size() > 1 && A[0] == '-') {
      Problem = "Unknown option " + VisibleText(A);
      return false;
    } else if (A.empty()) {
      Problem = "The base identifier is empty";
      return false;
    } else if (!Options.BaseId.empty()) {
      Problem = "Only one base, please (" + VisibleText(A) + ")";
      return false;
    } else {
      Options.BaseId = A;
    }
    if (!Ok) {
      if (Problem.empty()) Problem = A + " given twice";
      return false;
    }
  }
  if (Options.Action == acHelp || Options.Action == acVersion) return true;
  if ((Options.Json || Options.HeadersOnly || Options.Netmail) && Options.Action != acList) {
    Problem = "--json, --headers and --netmail go with a listing only";
    return false;
  }
  if (Options.BaseId.empty()) {
    Problem = "No base given";
    return false;
  }
  return true;
}

// --- Formatting ---

std::string JsonAddress(const TAddress& A) {
  return "{" + JsonMember("text", JsonString(msgbase::AddressToStrEx(A))) + " " +
         JsonMember("zone", std::to_string(A.Zone)) + " " +
         JsonMember("net", std::to_string(A.Net)) + " " +
         JsonMember("node", std::to_string(A.Node)) + " " +
         JsonMember("point", std::to_string(A.Point), false) + "}";
}

// --- Listing ---

bool ListMessages(TMessageBase& Base, const TOptions& Options, TOutput& Out,
                  const std::function<bool(std::string&)>& Finish) {
  const std::int32_t Count = Base.GetCount();
  const std::int32_t Highest = Base.GetHighest();
  if (Options.Json) {
    Out.WriteLine("{");
    Out.WriteLine("  " + JsonMember("base", JsonString(Options.BaseId)));
    Out.WriteLine("  " + JsonMember("count", std::to_string(Count)));
    Out.WriteLine("  " + JsonMember("highest", std::to_string(Highest)));
    Out.WriteLine("  " + JsonMember("headers_only", Options.HeadersOnly ? "true" : "false"));
    Out.WriteLine("  \"messages\": [");
  } else {
    Out.WriteLine("Base " + VisibleText(Options.BaseId) + ": " + std::to_string(Count) +
                  (Count == 1 ? " message" : " messages") + ", highest number " +
                  std::to_string(Highest));
  }

  std::int64_t Visited = 0;
  std::int64_t Live = 0;  // messages found that are not marked deleted
  std::int32_t Last = 0;  // the number of the last message visited
  std::string WalkError;
  bool Ok = true;
  // The element before, held back until it is known whether a comma follows.
  std::vector<std::string> Held;
  const bool Walked = WalkMessages(
      Base,
      [&] {
        TMessageView View;
        Ok = ReadMessage(Base, Options.HeadersOnly, View) && Ok;
        ++Visited;
        Last = View.Number;
        if (!View.Deleted) ++Live;
        if (Options.Json) {
          if (!Held.empty()) Held.back() += ",";
          for (const std::string& Line : Held) Out.WriteLine(Line);
          Held = JsonMessage(View);
        } else {
          WriteTextMessage(View, Options.HeadersOnly, Out);
        }
        return !Out.GetFailed();
      },
      WalkError);
  // A walk that ended normally must agree with what the base says of itself:
  // a header that counts messages its index does not hold, or numbers above
  // the highest the base reports, mean a damaged base, however much of it
  // could be listed. More messages than the count is no damage: a JAM writer
  // that died leaves its count behind, and the next one puts it right.
  std::vector<std::string> Inconsistencies;
  if (Count < 0) {
    // A count read from the base that no base can hold: nothing the walk
    // found can agree with it.
    Inconsistencies.push_back("the base counts " + std::to_string(Count) +
                              " messages, which no base can hold");
  } else if (Walked && !Out.GetFailed()) {
    if (Live < Count) {
      Inconsistencies.push_back("the base counts " + std::to_string(Count) + " message" +
                                (Count == 1 ? "" : "s") + " but " + std::to_string(Live) +
                                (Live == 1 ? " was" : " were") + " found");
    } else if (Visited > 0 && Last > Highest) {
      Inconsistencies.push_back("message " + std::to_string(Last) +
                                " is above the highest number " + std::to_string(Highest) +
                                " the base reports");
    }
  }
  // What the format's own open saw and, opened for looking only, left as it
  // is: records that disagree, an unfinished change.
  for (const std::string& Line : Base.GetInconsistencies()) Inconsistencies.push_back(Line);
  // Files the walk cannot reach are messages left out of the listing. Their
  // line is made while the base is still open.
  const std::vector<std::string> Uncounted = Base.GetUncountedFiles();
  const std::string UncountedLine = Uncounted.empty() ? "" : UncountedFilesLine(Base);
  if (!Walked || !Inconsistencies.empty() || !Uncounted.empty()) Ok = false;
  std::string FinishError;
  if (Finish && !Finish(FinishError)) Ok = false;
  if (Options.Json) {
    for (const std::string& Line : Held) Out.WriteLine(Line);
    const std::string Error = WalkError.empty() || FinishError.empty()
                                  ? WalkError + FinishError
                                  : WalkError + "; " + FinishError;
    // Members after the array, each but the last with its comma.
    std::vector<std::string> Tail;
    if (!Error.empty()) Tail.push_back(JsonMember("error", JsonString(Error), false));
    if (!Inconsistencies.empty()) {
      std::string Joined;
      for (const std::string& Line : Inconsistencies) Joined += (Joined.empty() ? "" : "; ") + Line;
      Tail.push_back(JsonMember("inconsistency", JsonString(Joined), false));
    }
    if (!Uncounted.empty()) {
      std::string Names;
      for (const std::string& Name : Uncounted)
        Names += (Names.empty() ? "" : ", ") + JsonString(Name);
      Tail.push_back(JsonMember("uncounted_files", "[" + Names + "]", false));
    }
    Out.WriteLine(Tail.empty() ? "  ]" : "  ],");
    for (std::size_t I = 0; I < Tail.size(); ++I) {
      Out.WriteLine("  " + Tail[I] + (I + 1 < Tail.size() ? "," : ""));
    }
    Out.WriteLine("}");
    return Ok && !Out.GetFailed();
  }
  if (!WalkError.empty()) {
    Out.WriteLine("");
    Out.WriteLine("The listing is incomplete: " + WalkError);
  } else if (!Inconsistencies.empty()) {
    Out.WriteLine("");
    for (const std::string& Line : Inconsistencies)
      Out.WriteLine("The base is inconsistent: " + Line);
  }
  if (!UncountedLine.empty()) {
    Out.WriteLine("");
    Out.WriteLine(UncountedLine);
  }
  if (!FinishError.empty()) Out.WriteLine(FinishError);
  return Ok && !Out.GetFailed();
}

// --- The program ---

int RunMsgDump(const std::vector<std::string>& Args, TOutput& Out) {
  TOptions Options;
  std::string Problem;
  const bool Json = WantsJson(Args);
  if (!ParseArguments(Args, Options, Problem)) {
    WriteUsageProblem(Out, Json, Problem, UsageText());
    return exFailure;
  }
  if (Options.Action == acHelp || Options.Action == acVersion) {
    if (Options.Action == acHelp)
      WriteInformation(Out, Json, "usage", UsageText());
    else
      WriteInformation(Out, Json, "version", {std::string("msgdump from ") + ReleaseName});
    return exOk;
  }
  // Only --kill and --set-lastread change the base; everything else looks at
  // it read-only, so that a listing leaves every byte and file time alone.
  const bool Changes = Options.Action == acKill || Options.Action == acSetLastRead;
  msgbase::PMessageBase Base;
  if (!msgbase::OpenMessageBaseEx(
          Base, Options.BaseId,
          Changes ? msgbase::OpenMessageBase : msgbase::OpenMessageBaseReadOnly, OpenTries)) {
    const std::string Why = "Cannot open base " + VisibleText(Options.BaseId) + ": " +
                            msgbase::ExplainStatus(msgbase::GetOpenStatus());
    if (Json)
      WriteJsonObject(Out, {{"base", JsonString(Options.BaseId)}, {"error", JsonString(Why)}});
    else
      Out.WriteLine(Why);
    return exFailure;
  }
  if (Options.Action == acList) {
    // Only a base that knows it holds netmail rebuilds INTL, FMPT and TOPT
    // lines it stores apart from the text.
    if (Options.Netmail) Base->SetBaseType(msgbase::btNetmail);
    // The base is closed before the listing ends, so that a failure to close
    // still lands inside a JSON document.
    const bool Ok = ListMessages(*Base, Options, Out,
                                 [&Base](std::string& Why) { return CloseBase(Base, Why); });
    return Ok ? exOk : exFailure;
  }
  bool Ok = false;
  switch (Options.Action) {
    case acKill:
      Ok = KillOne(*Base, Options.Message, Out);
      break;
    case acLastRead:
      Out.WriteLine("Lastread of user " + std::to_string(Options.User) + ": " +
                    std::to_string(Base->GetLastRead(Options.User)));
      Ok = true;
      break;
    case acSetLastRead:
      Ok = SetOneLastRead(*Base, Options.User, Options.Message, Out);
      break;
    case acList:
    case acHelp:
    case acVersion:
      break;
  }
  std::string Why;
  if (!CloseBase(Base, Why)) {
    Out.WriteLine(Why);
    Ok = false;
  }
  return Ok ? exOk : exFailure;
}

}  // namespace msgdump
