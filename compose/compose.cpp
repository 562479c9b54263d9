#include "compose/compose.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "encode/section_cutter.h"
#include "encode/short_string.h"
#include "encode/uuencode.h"
#include "front/output.h"
#include "front/progress.h"
#include "front/settings.h"
#include "front/text_file.h"
#include "front/text_utils.h"
#include "msgbase/address.h"
#include "msgbase/date_time.h"
#include "msgbase/open_base.h"
#include "msgbase/status.h"

namespace vellumar {

namespace {

// Ends each section but the last in a cut body.
constexpr const char* SectionSeparator = "---";

// The program's own control line, after the address lines of every message.
constexpr const char* PidLine = "\x01PID: Vellumar/LNX v0.1beta";

// Serials are not kept between runs: a run started right after this one could
// hand out the last serial again within the same hundredth. Leaving only once
// the clock has moved past it keeps them apart; the serial drawn here is not
// used.
void WaitPastLastSerial() {
  (void)msgbase::GenerateMsgId();
}

// The line of a run stopped by a signal while it posted.
constexpr const char* InterruptedLine = "[!] Ombra: interrupted - nothing was posted";

// Set by SIGINT, SIGTERM or SIGHUP (Ctrl-C, a cron timeout, a closed
// terminal) while a posting runs: the posting is rolled back at the next
// message and the run ends with InterruptedLine.
volatile std::sig_atomic_t Interrupted = 0;

void NoteInterrupt(int /*Signal*/) {
  Interrupted = 1;
}

// A signal the run was started to ignore (nohup) stays ignored.
void CatchInterrupts() {
  struct sigaction Action {};
  Action.sa_handler = NoteInterrupt;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  for (const int Signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction Old {};
    if (::sigaction(Signal, nullptr, &Old) == 0 && Old.sa_handler == SIG_IGN) continue;
    (void)::sigaction(Signal, &Action, nullptr);
  }
}

// Ends a run that failed after the base was opened. The posting is rolled
// back (nothing of it stays), the message being built is closed, so a base
// that counts a new message from its creation on gives that count back, and
// then the base. The progress line goes first, so the refusal starts a clean
// line.
[[noreturn]] void Abandon(msgbase::PMessageBase& Base, TProgress& Progress,
                          const std::string& Message) {
  Progress.Clear();
  Base->RollbackTransaction();
  (void)Base->CloseMessage();             // false when no message is open, which is fine
  (void)msgbase::CloseMessageBase(Base);  // Base is open here
  WaitPastLastSerial();                   // the messages stored before keep their serials
  Error(Message);
}

// Reads a template into Target with its macros expanded, or stops the
// program. The macros stand for settings, which are the same for every
// message of a posting, so the lines are expanded once here rather than again
// for each message.
void LoadTemplate(const std::string& Path, TStrDynArray& Target) {
  TStrDynArray Raw;
  const int Result = ReadTemplate(Path, Raw);
  if (Result < 0) Error("Template " + std::string(1, KAV) + Path + KAV + " has too many lines!");
  if (Result > 0) RunError(Result, Path);
  for (std::uint32_t Count = 1; Count <= Raw.Count(); ++Count) {
    std::string S = Raw.At(static_cast<std::uint16_t>(Count));
    ParseStr(S);                        // at most 255 characters, as an element holds
    (void)Target.Insert(std::move(S));  // as many lines as Raw, which fit
  }
}

// Puts the lines of an expanded template.
void PutTemplate(msgbase::TMessageBase& Base, const TStrDynArray& Template) {
  for (std::uint32_t Count = 1; Count <= Template.Count(); ++Count)
    Base.PutString(Template.At(static_cast<std::uint16_t>(Count)));
}

// Moves the next section from the front of Body into the message: its lines
// up to the "---" that ends it, which is dropped and never posted. An uncut
// body holds no separator and goes whole.
void PutSection(msgbase::TMessageBase& Base, TStrDynArray& Body) {
  while (Body.Count() > 0) {
    const std::string S = Body.PopFirst();
    if (S == SectionSeparator) break;
    Base.PutString(S);
  }
}

// The attributes from the switches, in a fixed order; received is always off.
void SetAttributes(msgbase::TMessageBase& Base) {
  using namespace msgbase;
  const std::pair<std::int32_t, bool> Table[] = {
      {maLocal, aLocal},       {maKillSent, aKillSnt},
      {maPrivate, aPvt},       {maHold, aHold},
      {maCrash, aCrash},       {maFileAttached, aFileF},
      {maFileRequest, aFreq},  {maReturnReceiptRequest, aRrq},
      {maAuditRequest, aArq},  {maSent, aSnt},
      {maUpdateRequest, aUrq}, {maInTransit, aTransit},
      {maReceived, false},
  };
  for (const auto& [Attribute, Value] : Table) Base.SetAttribute(Attribute, Value);
}

}  // namespace

int ReadTemplate(const std::string& Path, TStrDynArray& Target) {
  TTextReader Reader;
  if (!Reader.Open(Path)) return Reader.GetIOResult();
  std::string Line;
  while (Reader.ReadLn(Line))
    if ((Line.empty() || Line.front() != CSym) && !Target.Insert(Line)) return -1;
  return Reader.GetIOResult();
}

std::string TooLargeMessage(const std::string& Path, std::uint64_t Size) {
  return "File " + std::string(1, KAV) + Path + KAV + " is too large to post (" +
         std::to_string(Size) + " bytes; at most " + std::to_string(MaxUUEFileSize(Lines)) +
         " with " + std::to_string(Lines) + " lines per message)!";
}

std::string OpenBaseFailure(std::int32_t OpenStatus) {
  return "[!] Ombra: failed to open message base - " + msgbase::ExplainStatus(OpenStatus);
}

void PrepareComposition(TComposition& Work) {
  LoadTemplate(HeadTpl, Work.HT);
  LoadTemplate(FootTpl, Work.FT);
  TLMsg = PostingCredit;

  // Refuse a file whose lines or sections would not fit before any of it is
  // read, so a refused run leaves nothing behind.
  struct stat Info {};
  if (::stat(FileName.c_str(), &Info) != 0) RunError(IOErrorCode(errno), FileName);
  const auto Size = static_cast<std::uint64_t>(Info.st_size);
  if (!UUEFits(Size, Lines)) Error(TooLargeMessage(FileName, Size));

  int ErrNo = 0;
  if (!UUEncode(FileName, GetFileName(FileName), Work.Body, ErrNo)) {
    if (ErrNo != 0) RunError(IOErrorCode(ErrNo), FileName);
    // The file grew after its size was taken.
    Error(TooLargeMessage(FileName, Size));
  }
  Work.Parts = 1;
  if (Work.Body.Count() > Lines && !LCutUUE(Work.Body, Lines, Work.Parts))
    Error(TooLargeMessage(FileName, Size));
}

void PostComposition(TComposition& Work) {
  using namespace msgbase;
  PMessageBase Base;
  CatchInterrupts();
  // Another program (a tosser, an editor) may hold the base for a moment while
  // it writes: wait for it, once a second, about as long as such programs wait
  // for each other, before giving up.
  constexpr std::int32_t OpenTries = 10;
  if (!OpenMessageBaseEx(Base, EchoPath, OpenOrCreateMessageBase, OpenTries))
    Error(Interrupted != 0 ? InterruptedLine : OpenBaseFailure(GetOpenStatus()));
  Base->SetBaseType(MailType == TMailType::NetMail ? btNetmail : btEchomail);

  // The whole posting is one change: the base holds all of it or none.
  TProgress Progress(STDERR_FILENO);
  if (!Base->BeginTransaction())
    Abandon(Base, Progress, "[!] Ombra: can't write message - " + ExplainStatus(Base->GetStatus()));
  for (std::uint32_t Index = 1; Index <= Work.Parts; ++Index) {
    if (Interrupted != 0) Abandon(Base, Progress, InterruptedLine);
    Progress.Show(Index, Work.Parts);
    if (!Base->CreateNewMessage())
      Abandon(Base, Progress,
              "[!] Ombra: Can't create message - " + ExplainStatus(Base->GetStatus()));
    // The front end has checked both addresses; for echomail the recipient
    // may be empty and is not used, so neither result is looked at.
    TAddress Sender;
    TAddress Receiver;
    (void)StrToAddress(FAddr, Sender);
    (void)StrToAddress(TAddr, Receiver);
    if (MailType == TMailType::NetMail)
      Base->SetFromAndToAddress(Sender, Receiver, true);
    else
      Base->SetFromAddress(Sender, true);
    Base->SetFrom(FName);
    Base->SetTo(TName);
    Base->SetSubject(Subject);
    Base->PutString(PidLine);
    PutTemplate(*Base, Work.HT);
    PutSection(*Base, Work.Body);
    PutTemplate(*Base, Work.FT);
    if (!TagLine.empty()) Base->PutString(ShortString("... " + TagLine));
    Base->PutString(ShortString("--- " + TearLine));
    Base->PutOrigin(Sender, Origin);
    SetAttributes(*Base);
    if (!Base->WriteMessage())
      Abandon(Base, Progress,
              "[!] Ombra: can't write message - " + ExplainStatus(Base->GetStatus()));
    (void)Base->CloseMessage();  // it only releases the text, which is stored
  }
  // The commit returns once everything posted is on stable storage; a signal
  // after it no longer undoes the posting.
  if (Interrupted != 0) Abandon(Base, Progress, InterruptedLine);
  if (!Base->CommitTransaction())
    Abandon(Base, Progress, "[!] Ombra: can't write message - " + ExplainStatus(Base->GetStatus()));
  // Some formats write their base header only at Close: a failure there is a
  // posting that did not fully reach the disk, never a success.
  std::int32_t Status = stOk;
  const bool Closed = CloseMessageBaseEx(Base, Status);
  Progress.Clear();
  if (!Closed) Error("[!] Ombra: can't write message - " + ExplainStatus(Status));
  WaitPastLastSerial();
}

void WriteMsg() {
  TComposition Work;
  PrepareComposition(Work);
  PostComposition(Work);
  WriteLn("");
  WriteLn(std::string("Message") + (Work.Parts > 1 ? "'s" : "") + " was succefully generated! :-)");
}

}  // namespace vellumar
