#include "tools/msgextract/foreign_parts.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace msgextract {
namespace {

using TLinesText = std::vector<std::string>;
using TMail = std::pair<std::string, TLinesText>;  // subject, text lines

// 45 bytes 'a' in each encoding, and the 48-byte file they start.
const std::string UUFull = "M" + [] {
  std::string S;
  for (int I = 0; I < 15; ++I) S += "86%A";
  return S;
}();
const std::string XXFull = "h" + [] {
  std::string S;
  for (int I = 0; I < 15; ++I) S += "MK3V";
  return S;
}();
const std::string YFull(45, '\x8b');
const std::string File = std::string(45, 'a') + "abc";

// What tossers and editors put around a posting's lines.
TLinesText Wrapped(const TLinesText& Lines) {
  TLinesText Text = {"\x01MSGID: 2:5020/100 1", "Hello All,", " JD> a quoted line", ""};
  Text.insert(Text.end(), Lines.begin(), Lines.end());
  for (const char* L : {"", "-- ", "Sig", "--- tear", " * Origin: x (2:5020/100)",
                        "SEEN-BY: 5020/1", "\x01PATH: 5020/100"})
    Text.emplace_back(L);
  return Text;
}

struct TOutcome {
  std::size_t Postings = 0;
  TPostingCheck Check;
  std::string Bytes;
};

TOutcome Rebuild(const std::vector<TMail>& Mails) {
  std::vector<TPiece> Pieces;
  std::vector<TLinesText> Texts;
  Texts.reserve(Mails.size());
  std::int32_t Number = 0;
  for (const auto& [Subject, Lines] : Mails) {
    Texts.push_back(Wrapped(Lines));
    TMessageText Message;
    Message.Number = ++Number;
    Message.Sender = "2:5020/100";
    Message.Subject = Subject;
    Message.Lines.assign(Texts.back().begin(), Texts.back().end());
    ScanMessage(Message, Pieces);
  }
  TOutcome Outcome;
  const std::vector<TPosting> Postings = JoinPieces(Pieces);
  Outcome.Postings = Postings.size();
  if (Postings.size() != 1) return Outcome;
  for (const std::string_view Part : FileParts(Postings[0], Pieces)) Outcome.Bytes += Part;
  // Checked as past the memory budget, where the bytes are given back.
  for (TPiece& Piece : Pieces) std::string().swap(Piece.Data);
  Outcome.Check = CheckPosting(Postings[0], Pieces);
  return Outcome;
}

const TLinesText UU1 = {"begin 644 f.bin", UUFull}, UU2 = {"#86)C", "`", "end"};
const TLinesText XX1 = {"begin 644 f.bin", XXFull}, XX2 = {"1MK7X", "+", "end"};
const TLinesText Y1 = {"=ybegin part=1 total=2 line=128 size=48 name=f.bin",
                       "=ypart begin=1 end=45", YFull, "=yend size=45 part=1 pcrc32=1fb8c8c4"};
const TLinesText Y2 = {"=ybegin part=2 total=2 line=128 size=48 name=f.bin",
                       "=ypart begin=46 end=48", "\x8b\x8c\x8d",
                       "=yend size=3 part=2 pcrc32=352441c2 crc32=651b19b9"};

TLinesText With(TLinesText Head, const TLinesText& Tail) {
  Head.insert(Head.end(), Tail.begin(), Tail.end());
  return Head;
}

TEST(ForeignPartsTest, EveryConventionRebuildsTheFile) {
  const TLinesText Mime = {"Content-Type: application/octet-stream",
                           "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;",
                           "\tfilename=\"f.bin\"", ""};
  const std::string B64Full(76, 'A');  // 57 zero bytes
  const struct {
    const char* Convention;
    std::vector<TMail> Mails;
    std::string Want;
  } Cases[] = {
      {"(i/n)", {{"f.bin (1/2)", UU1}, {"f.bin (2/2)", UU2}}, File},
      {"[i/n]", {{"[1/2] f.bin", XX1}, {"[2/2] f.bin", XX2}}, File},
      {"i/n", {{"f.bin 1/2", UU1}, {"f.bin 2/2", UU2}}, File},
      {"part i of n", {{"f.bin part 1 of 2", UU1}, {"f.bin Part 2 of 2", UU2}}, File},
      {"section i of n, in reverse", {{"section 2 of 2 f", UU2}, {"section 1 of 2 f", UU1}}, File},
      {"numbers in subject, last one counts",
       {{"[1/9] x (1/2)", UU1}, {"[1/9] x (2/2)", UU2}},
       File},
      {"_=_ Part",
       {{"any", With({"_=_ ", "_=_ Part 001 of 002 of file f.bin", "_=_ ", ""}, UU1)},
        {"other", With({"_=_ Part 002 of 002 of file f.bin", ""}, UU2)}},
       File},
      {"classic header, counted by its end",
       {{"f.bin", With({"section 1 of uuencode 5.25 of file f.bin    by sender", ""}, UU1)},
        {"f.bin", With({"section 2 of uuencode 5.25 of file f.bin    by sender", ""}, UU2)}},
       File},
      {"MIME message/partial",
       {{"Files",
         With(With({"Content-Type: Message/Partial; number=1; total=2;", "\tid=\"u1\"", ""}, Mime),
              {B64Full})},
        {"Files", {"Content-Type: message/partial; number=2; total=2; id=\"u1\"", "", "YWJj"}}},
       std::string(57, '\0') + "abc"},
      {"yEnc parts", {{"f.bin yEnc", Y1}, {"f.bin yEnc", Y2}}, File},
      {"begin-base64", {{"x", {"begin-base64 644 f.bin", "YWJj", "===="}}}, "abc"},
      {"MIME file part", {{"x", With(Mime, {"YWJj", "", "--boundary--"})}}, "abc"},
      {"xxencode block", {{"x", {"begin 644 f.bin", "1MK7X", "+", "end"}}}, "abc"},
      {"yEnc block",
       {{"x",
         {"=ybegin line=128 size=3 name=f.bin", "\x8b\x8c\x8d", "=yend size=3 crc32=352441c2"}}},
       "abc"},
  };
  for (const auto& Case : Cases) {
    const TOutcome Outcome = Rebuild(Case.Mails);
    ASSERT_EQ(1u, Outcome.Postings) << Case.Convention;
    EXPECT_EQ(psComplete, Outcome.Check.State) << Case.Convention << ": " << Outcome.Check.Problem;
    EXPECT_EQ("f.bin", Outcome.Check.FileName) << Case.Convention;
    EXPECT_EQ(Case.Want, Outcome.Bytes) << Case.Convention;
    EXPECT_EQ(Case.Want.size(), Outcome.Check.Size) << Case.Convention;
  }
}

TEST(ForeignPartsTest, DoubtfulPostingsWriteNothingAndSayWhy) {
  TLinesText BadY1 = Y1;
  BadY1[2][7] = '\x8c';  // one byte changed: the part's CRC-32 no longer fits
  TLinesText BadFile = Y2;
  BadFile[3] = "=yend size=3 part=2 crc32=00000001";
  TLinesText Damaged = With(UU1, {UUFull.substr(0, 58) + "~~~"});
  const struct {
    std::vector<TMail> Mails;
    TPostingState State;
    std::string Problem;  // the start of it
  } Cases[] = {
      {{{"x", {"=ybegin line=128 size=3 name=f.bin", "\x8b\x8c\x8d", "=yend size=3 crc32=1"}}},
       psBad,
       "its CRC-32 is 352441c2 where its =yend line says 00000001"},
      {{{"f", BadY1}, {"f", Y2}}, psBad, "its CRC-32 is"},
      {{{"f", Y1}, {"f", BadFile}}, psBad, "the file's CRC-32 is 651b19b9"},
      {{{"x (2/2)", With({"_=_ Part 001 of 002 of file f.bin"}, UU1)}},
       psBad,
       "its numberings disagree"},
      {{{"f (1/2)", UU1}, {"f (2/2)", XX2}},
       psBad,
       "it is in xxencode where part 1 is in uuencode"},
      {{{"f (1/3)", Damaged}}, psBad, "data line 2 is bad"},
      {{{"f (1/2)", {"#86)C", "`", "end"}}, {"f (2/2)", UU2}}, psBad, "its data ends before"},
      {{{"f (1/2)", UU1}, {"f (2/2)", {UUFull}}}, psBad, "it has no end line"},
      {{{"f (2/2)", UU1}, {"f (1/2)", {UUFull}}}, psBad, "it holds a begin line"},
      {{{"f (1/2)", UU1}}, psIncomplete, "sections 2 of 2 missing"},
      {{{"f", With({"section 2 of uuencode 5.25 of file f.bin", ""}, UU2)},
        {"f", With({"section 4 of uuencode 5.25 of file f.bin", ""}, {UUFull})}},
       psBad,
       "it is numbered past part 2"},
  };
  for (const auto& Case : Cases) {
    const TOutcome Outcome = Rebuild(Case.Mails);
    ASSERT_EQ(1u, Outcome.Postings) << Case.Problem;
    EXPECT_EQ(Case.State, Outcome.Check.State) << Case.Problem;
    EXPECT_EQ(0u, Outcome.Check.Problem.find(Case.Problem)) << Outcome.Check.Problem;
  }
}

// Parts of one sender and name join only where their dates run in part
// order (the MSGID serials need not: a gateway may make them from a hash),
// and a copy with the same MSGID is dropped: an older, incomplete posting of
// the same name is never spliced in.
TEST(ForeignPartsTest, PartsJoinOnlyWhereNothingContradicts) {
  struct TSent {
    TMail Mail;
    int Date, Serial;  // of its message, and of its MSGID (of one origin)
  };
  const struct {
    const char* What;
    std::vector<TSent> Sent;
    std::vector<TPostingState> States;
    std::size_t Dropped;
  } Cases[] = {
      {"remnants of an older posting",
       {{{"f.bin (2/3)", {UUFull}}, 1, 1},
        {{"f.bin (3/3)", UU2}, 2, 2},
        {{"f.bin (1/3)", UU1}, 3, 3},
        {{"f.bin (2/3)", {UUFull}}, 4, 4},
        {{"f.bin (3/3)", UU2}, 5, 5}},
       {psIncomplete, psComplete},
       0},
      {"serials out of order",
       {{{"f.bin (2/2)", UU2}, 2, 7}, {{"f.bin (1/2)", UU1}, 1, 9}},
       {psComplete},
       0},
      {"a dupe",
       {{{"f.bin (1/2)", UU1}, 1, 1}, {{"f.bin (2/2)", UU2}, 2, 2}, {{"f.bin (2/2)", UU2}, 2, 2}},
       {psComplete},
       1},
  };
  for (const auto& Case : Cases) {
    std::vector<TPiece> Pieces;
    std::vector<TLinesText> Texts;
    Texts.reserve(Case.Sent.size());
    for (const TSent& Sent : Case.Sent) {
      Texts.push_back(
          With({"\x01MSGID: 2:5020/100 " + std::to_string(Sent.Serial)}, Sent.Mail.second));
      TMessageText Message;
      Message.Number = static_cast<std::int32_t>(Texts.size());
      Message.Sender = "2:5020/100";
      Message.Subject = Sent.Mail.first;
      Message.Date = Sent.Date;
      Message.Lines.assign(Texts.back().begin(), Texts.back().end());
      ScanMessage(Message, Pieces);
    }
    const std::vector<TPosting> Postings = JoinPieces(Pieces);
    std::vector<TPostingState> States;
    std::size_t Dropped = 0;
    for (const TPosting& Posting : Postings) {
      States.push_back(CheckPosting(Posting, Pieces).State);
      Dropped += Posting.Duplicates.size();
      EXPECT_EQ(0u, Posting.LinesPerSection) << Case.What;  // no partial file of parts
    }
    EXPECT_EQ(Case.States, States) << Case.What;
    EXPECT_EQ(Case.Dropped, Dropped) << Case.What;
  }
}

// Whether the message is taken for another tool's posting (the project's
// scanner reads it otherwise).
bool Claimed(const std::string& Subject, const TLinesText& Lines) {
  TMessageText Message;
  Message.Subject = Subject;
  Message.Lines.assign(Lines.begin(), Lines.end());
  std::vector<TPiece> Pieces;
  const bool Claims = ScanForeignMessage(Message, Pieces);
  EXPECT_EQ(Claims, !Pieces.empty()) << Subject;
  return Claims;
}

TEST(ForeignPartsTest, TextThatOnlyLooksNumberedIsNoPosting) {
  for (const TMail& Mail : std::vector<TMail>{{"Meeting 1/2", {"See you at 10.", "Okay"}},
                                              {"Re: (1/3) photos", {"Nice, thanks!"}},
                                              {"Trip (1/2)", {"begin 10 minutes later we met."}},
                                              {"f.bin (1/2)", Wrapped(UU1)}})
    EXPECT_EQ(Mail.first == "f.bin (1/2)", Claimed(Mail.first, Mail.second)) << Mail.first;
}

TEST(ForeignPartsTest, HostileTextsAreReadInFewPasses) {
  // Runs that a naive reader would look through again from every line.
  TLinesText Blanks(200000, " "), Begins(100000, "begin 644 f");
  Blanks.front() = "begin 644 f";
  Blanks.back() = "end";
  const TOutcome Outcome = Rebuild({{"f (1/1)", Blanks}});
  EXPECT_EQ(psComplete, Outcome.Check.State) << Outcome.Check.Problem;
  EXPECT_EQ(0u, Outcome.Check.Size);
  EXPECT_FALSE(Claimed("f (1/2)", Begins));
  // A subject is looked at up to a length no real one has.
  TPartNumber Number;
  EXPECT_FALSE(SubjectPartNumber(std::string(100000, '(') + "1/2)", Number));
}

TEST(ForeignPartsTest, SubjectNumbersAndTheirKeys) {
  const struct {
    std::string Subject;
    std::uint64_t Index, Count;
    std::string Key;
  } Cases[] = {
      {"[ data.bin ] (001/004)", 1, 4, "[ data.bin ]"},
      {"- data.bin - ( 2 / 3 )", 2, 3, "- data.bin -"},
      {"pics.zip part 3 of 12", 3, 12, "pics.zip"},
      {"[01/10] - \"a.rar\" yEnc (7/30)", 7, 30, "[01/10] - \"a.rar\" yEnc"},
      {"4/5", 4, 5, ""},
  };
  for (const auto& Case : Cases) {
    TPartNumber Number;
    ASSERT_TRUE(SubjectPartNumber(Case.Subject, Number)) << Case.Subject;
    EXPECT_EQ(Case.Index, Number.Index) << Case.Subject;
    EXPECT_EQ(Case.Count, Number.Count) << Case.Subject;
    EXPECT_EQ(Case.Key, Number.Key) << Case.Subject;
  }
  TPartNumber Number;
  for (const char* None : {"12/07/26 meeting", "a1/2", "(1/2", "Files"})
    EXPECT_FALSE(SubjectPartNumber(None, Number)) << None;
}

}  // namespace
}  // namespace msgextract
