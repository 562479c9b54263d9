// A posting through the message-base library alone, without the composer and
// without the pace of the message serials: Messages messages of Lines lines of
// 61 characters (a uuencoded section's lines) into a new Squish base at Path,
// as one transaction. Timed from outside as a whole process; the program
// posting a file does the same work and waits for the serials besides.
//
// Usage: squish_post_bench PATH [MESSAGES (1192)] [LINES (50)]
#include <cstdlib>
#include <iostream>
#include <string>

#include "msgbase/squish/squish_base.h"

int main(int Argc, char** Argv) {
  if (Argc < 2) {
    std::cerr << "usage: squish_post_bench PATH [MESSAGES] [LINES]\n";
    return 2;
  }
  const int Messages = Argc > 2 ? std::atoi(Argv[2]) : 1192;
  const int Lines = Argc > 3 ? std::atoi(Argv[3]) : 50;
  const std::string Line(61, 'M');
  msgbase::TSquishMessageBase Base;
  if (!Base.Create(Argv[1]) || !Base.BeginTransaction()) return 1;
  for (int N = 1; N <= Messages; ++N) {
    if (!Base.CreateNewMessage()) return 1;
    Base.SetFrom("Sender Name");
    Base.SetTo("All");
    Base.SetSubject("file.bin [" + std::to_string(N) + "/" + std::to_string(Messages) + "]");
    for (int L = 0; L < Lines; ++L) Base.PutString(Line);
    if (!Base.WriteMessage() || !Base.CloseMessage()) return 1;
  }
  if (!Base.CommitTransaction()) return 1;
  Base.Close();
  return Base.GetStatus() == 0 ? 0 : 1;
}
