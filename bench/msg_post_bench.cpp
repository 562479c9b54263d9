// A posting into a *.msg base through the library alone, without the encoder
// and without the serial pace: the base's own cost of writing messages, to be
// timed as a whole process. Each message carries Lines text lines of 61
// characters, as a section of an encoded file does.
//
// Usage: msg_post_bench FOLDER MESSAGES [LINES [each]]
// FOLDER must not exist yet. The messages are one transaction, or with
// "each" every message its own change.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "msgbase/msg/msg_base.h"

int main(int Argc, char** Argv) {
  if (Argc < 3) {
    std::fprintf(stderr, "usage: msg_post_bench FOLDER MESSAGES [LINES [each]]\n");
    return 2;
  }
  const std::string Folder = Argv[1];
  const int Messages = std::atoi(Argv[2]);
  const int Lines = Argc > 3 ? std::atoi(Argv[3]) : 50;
  const bool Each = Argc > 4 && std::string(Argv[4]) == "each";
  const std::string Line(61, 'M');
  msgbase::TFidoMessageBase Base;
  if (!Base.Create(Folder) || (!Each && !Base.BeginTransaction())) return 1;
  for (int Message = 0; Message < Messages; ++Message) {
    if (!Base.CreateNewMessage()) return 1;
    Base.SetSubject("bench " + std::to_string(Message + 1));
    for (int I = 0; I < Lines; ++I) Base.PutString(Line);
    if (!Base.WriteMessage() || !Base.CloseMessage()) return 1;
  }
  if (!Each && !Base.CommitTransaction()) return 1;
  Base.Close();
  return 0;
}
