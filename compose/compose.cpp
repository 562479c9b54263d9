#include "compose/compose.h"

#include <sys/stat.h>

#include <cerrno>

#include "encode/section_cutter.h"
#include "encode/uuencode.h"
#include "front/output.h"
#include "front/settings.h"
#include "front/text_file.h"
#include "front/text_utils.h"

namespace vellumar {

namespace {

// Reads a template into Target or stops the program.
void LoadTemplate(const std::string& Path, TStrDynArray& Target) {
  const int Result = ReadTemplate(Path, Target);
  if (Result < 0) Error("Template " + std::string(1, KAV) + Path + KAV + " has too many lines!");
  if (Result > 0) RunError(Result, Path);
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

void WriteMsg() {
  TComposition Work;
  PrepareComposition(Work);
  // POSTING GOES HERE, once the message-base layer can open a base:
  //   open (or create) the base named by EchoPath and set its type from
  //   MailType; for each section 1..Work.Parts create a message, put the
  //   address control lines, names, subject, PID line, Work.HT (macros expanded
  //   with ParseStr), the section's lines from the front of Work.Body up to and
  //   without its "---" separator, Work.FT, tagline, tearline and origin, set
  //   the attributes and write it; close the base; print the success line.
}

}  // namespace vellumar
