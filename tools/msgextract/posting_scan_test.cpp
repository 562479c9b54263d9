#include "tools/msgextract/posting_scan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace msgextract {
namespace {

// A message holding Lines from the sender 2:5020/100, with a ^AMSGID line of
// the serial Serial first when that is not 0.
TMessageText Message(std::int32_t Number, std::vector<std::string> Lines,
                     const std::string& Sender = "2:5020/100", std::uint32_t Serial = 0) {
  // The lines stay for the whole test program, so the views stay valid.
  static std::deque<std::vector<std::string>> Kept;
  if (Serial != 0) {
    char Hex[9];
    std::snprintf(Hex, sizeof Hex, "%08x", Serial);
    Lines.insert(Lines.begin(), std::string("\x01") + "MSGID: " + Sender + " " + Hex);
  }
  Kept.push_back(std::move(Lines));
  TMessageText Text;
  Text.Number = Number;
  Text.Sender = Sender;
  Text.Subject = "subject " + std::to_string(Number);
  Text.Lines.assign(Kept.back().begin(), Kept.back().end());
  return Text;
}

// "abc" encodes as "#86)C", one 'a' as "!80``", 45 of them as this line.
const std::string FullLine = [] {
  std::string S = "M";
  for (int I = 0; I < 15; ++I) S += "86%A";
  return S;
}();
const std::string FullData(45, 'a');

std::vector<std::string> Section(int I, int N, std::vector<std::string> Data,
                                 const std::string& Name = "x.bin") {
  std::vector<std::string> Lines{"Header template line", "",
                                 "Section " + std::to_string(I) + " of " + std::to_string(N) +
                                     " of file " + Name + "  [by Vellumar/LNX v0.1beta]",
                                 " "};
  if (I == 1) Lines.push_back("begin 644 " + Name);
  Lines.insert(Lines.end(), Data.begin(), Data.end());
  for (const char* L : {"`", "end", "---", "--- Vellumar", " * Origin: x (2:5020/100)",
                        "SEEN-BY: 5020/1", "\x01PATH: 5020/100"})
    Lines.push_back(L);
  return Lines;
}

std::string Joined(const TPosting& Posting, const std::vector<TPiece>& Pieces) {
  std::string Data;
  for (const std::string_view Part : FileParts(Posting, Pieces)) Data += Part;
  return Data;
}

struct TScan {
  std::vector<TPiece> Pieces;
  std::vector<TPosting> Postings;
};

TScan Scan(const std::vector<TMessageText>& Messages) {
  TScan S;
  for (const TMessageText& M : Messages) ScanMessage(M, S.Pieces);
  S.Postings = JoinPieces(S.Pieces);
  return S;
}

TEST(PostingScanTest, FullLineDecodesToFortyFiveBytes) {
  TScan S = Scan({Message(1, Section(1, 1, {FullLine, " "}))});
  ASSERT_EQ(1u, S.Pieces.size());
  EXPECT_EQ("", S.Pieces[0].Error);
  EXPECT_EQ(FullData, S.Pieces[0].Data);
}

TEST(PostingScanTest, SectionsJoinInAnyOrderAmidOtherMessages) {
  TScan S = Scan({Message(1, Section(3, 3, {"#86)C"})), Message(2, {"Hello", "begin here"}),
                  Message(3, Section(1, 3, {FullLine})), Message(4, Section(2, 3, {FullLine}))});
  ASSERT_EQ(1u, S.Postings.size());
  const TPostingCheck Check = CheckPosting(S.Postings[0], S.Pieces);
  EXPECT_EQ(psComplete, Check.State) << Check.Problem;
  EXPECT_EQ("x.bin", Check.FileName);
  EXPECT_EQ(0644u, Check.Mode);
  EXPECT_EQ(93u, Check.Size);
  EXPECT_EQ(FullData + FullData + "abc", Joined(S.Postings[0], S.Pieces));
  EXPECT_EQ("subject 3", S.Postings[0].Subject);  // section 1's message
}

TEST(PostingScanTest, TransportDamageWithinReasonIsTolerated) {
  // Blanks stripped, lines indented by quoting software, every line end
  // doubled (the end-to-end tests take each apart, on real bases).
  std::vector<std::string> Lines;
  for (const std::string& Line : std::vector<std::string>{
           "section 1 of 1 of file y", "", "begin 600 dir/y  ", FullLine, "", "`", "end  "}) {
    Lines.push_back("  " + Line);
    Lines.emplace_back();
  }
  TScan S = Scan({Message(1, Lines)});
  const TPostingCheck Check = CheckPosting(S.Postings.at(0), S.Pieces);
  EXPECT_EQ(psComplete, Check.State) << Check.Problem;
  EXPECT_EQ("y", Check.FileName);
  EXPECT_EQ(FullData, Joined(S.Postings[0], S.Pieces));
}

TEST(PostingScanTest, FilePostedWholeHasNoBlankLineAfterItsHeader) {
  TScan S = Scan({Message(1, {"section 1 of 1 of file w   [by Vellumar/LNX v0.1beta]",
                              "begin 644 w", "#86)C", "`", "end"})});
  ASSERT_EQ(1u, S.Postings.size());
  EXPECT_EQ(pkSection, S.Postings[0].Kind);
  EXPECT_EQ(psComplete, CheckPosting(S.Postings[0], S.Pieces).State);
  EXPECT_EQ("abc", Joined(S.Postings[0], S.Pieces));
}

TEST(PostingScanTest, ForeignBlockInOneMessageIsAPostingOfItsOwn) {
  TScan S = Scan({Message(7, {"Here it is:", "begin 755 tool.sh", "#86)C", " ", "end", "bye"})});
  ASSERT_EQ(1u, S.Postings.size());
  EXPECT_EQ(pkBlock, S.Postings[0].Kind);
  const TPostingCheck Check = CheckPosting(S.Postings[0], S.Pieces);
  EXPECT_EQ(psComplete, Check.State) << Check.Problem;
  EXPECT_EQ(0755u, Check.Mode);
  EXPECT_EQ("abc", Joined(S.Postings[0], S.Pieces));
}

TEST(PostingScanTest, BlankStyleBlockMayLoseItsTrailingBlanks) {
  std::string Full = "M", Want;
  for (int I = 0; I < 15; ++I) {
    Full += "  !A";  // 00 00 61, zeros written as blanks
    Want += std::string("\0\0a", 3);
  }
  // "a" 00 00 is "#80  ": both blanks stripped.
  TScan S = Scan({Message(1, {"begin 644 z", Full, "#80", " ", "end"})});
  const TPostingCheck Check = CheckPosting(S.Postings.at(0), S.Pieces);
  EXPECT_EQ(psComplete, Check.State) << Check.Problem;
  EXPECT_EQ(Want + std::string("a\0\0", 3), Joined(S.Postings[0], S.Pieces));
  // Such an encoder closes the data with a blank line, stripped too: no
  // zero-length line, so a section before the last goes on.
  S = Scan({Message(1, {"Section 1 of 2 of file z", " ", "begin 644 z", Full, "", "end"}),
            Message(2, {"Section 2 of 2 of file z", " ", "#80", "", "end"})});
  EXPECT_EQ(psComplete, CheckPosting(S.Postings.at(0), S.Pieces).State);
  // The same short line where zeros are backquotes lost characters instead.
  S = Scan({Message(1, {"begin 644 z", "#80", "`", "end"})});
  EXPECT_EQ(psBad, CheckPosting(S.Postings.at(0), S.Pieces).State);
}

TEST(PostingScanTest, PiecesJoinOnlyWhereEverythingAgrees) {
  const std::string Other = "2:5020/200";
  const std::vector<std::string> One = {FullLine}, Two = {FullLine, FullLine}, Abc = {"#86)C"};
  const struct {
    std::vector<TMessageText> Messages;
    std::vector<std::string> States;  // c complete, i incomplete, b bad; one per posting
    std::size_t Copies;               // pieces dropped as copies
    const char* What;
  } Cases[] = {
      {{Message(1, Section(1, 2, One)), Message(2, Section(2, 2, Abc), Other),
        Message(3, Section(2, 3, One)), Message(4, Section(2, 2, Abc, "z.bin"))},
       {"i", "i", "i", "i"},
       0,
       "sender, name and count"},
      {{Message(1, Section(1, 3, Two)), Message(2, Section(2, 3, One)),
        Message(3, Section(3, 3, Abc))},
       {"i", "i"},
       0,
       "lines per section"},
      {{Message(1, Section(1, 2, One)), Message(2, Section(1, 2, One, "x.bin"), "2:5020/100", 5),
        Message(3, Section(2, 2, Abc))},
       {"i", "c"},
       0,
       "a repost, told apart by its identifier"},
      {{Message(1, Section(1, 2, One)), Message(2, Section(1, 2, One)),
        Message(3, Section(2, 2, Abc))},
       {"c"},
       1,
       "a copy where no identifiers tell"},
      {{Message(1, Section(1, 2, One)), Message(2, Section(2, 2, Abc)),
        Message(3, Section(2, 2, {"!80``"}))},
       {"c", "i"},
       0,
       "two different sections 2"},
  };
  for (const auto& Case : Cases) {
    TScan S = Scan(Case.Messages);
    std::vector<std::string> States;
    std::size_t Copies = 0;
    for (const TPosting& Posting : S.Postings) {
      States.push_back(std::string(1, "cib"[CheckPosting(Posting, S.Pieces).State]));
      Copies += Posting.Duplicates.size();
    }
    EXPECT_EQ(Case.States, States) << Case.What;
    EXPECT_EQ(Case.Copies, Copies) << Case.What;
  }
}

TEST(PostingScanTest, MissingRangesAreCountedNotListed) {
  std::vector<std::string> Lines = Section(2, 65535, {FullLine});
  TScan S = Scan({Message(1, Lines)});
  const TPostingCheck Check = CheckPosting(S.Postings.at(0), S.Pieces);
  EXPECT_EQ(psIncomplete, Check.State);
  EXPECT_EQ("sections 1, 3-65535 of 65535 missing", Check.Problem);
  EXPECT_EQ("2", RangesText(SectionRanges(S.Postings[0], true)));
}

TEST(PostingScanTest, FaultsMakeThePostingBadAndNameTheSection) {
  const struct {
    std::vector<std::vector<std::string>> Messages;
    std::uint64_t Section;
    std::string Problem;  // the start of it
  } Cases[] = {
      {{Section(1, 1, {"M86)C"})}, 1, "data line 1 is bad"},
      {{Section(1, 2, {FullLine}), Section(2, 2, {FullLine, "#86)Cxx"})}, 2, "data line 2 is bad"},
      {{Section(1, 2, {"#86)C"}), Section(2, 2, {"#86)C"})}, 1, "its data ends before"},
      {{Section(1, 1, {"#86)C", FullLine})}, 1, "data line 2 follows the end"},
      {{Section(1, 1, {"#86)", "C", FullLine})}, 1, "data line 1 is cut in two"},
      {{{"Section 1 of 99999999999 of file big", " ", "begin 644 big", "!80``", "`", "end"}},
       1,
       "its header counts section 1 of 18446744073709551615"},
      {{{"Section 0 of 1 of file zero", " ", "!80``", "`", "end"}}, 0, "its header counts"},
      {{{"Section 1 of 1 of file n", " ", "!80``", "`", "end"}}, 1, "it has no begin line"},
      {{Section(1, 2, {FullLine}), {"Section 2 of 2 of file x.bin", " ", "begin 644 x", "end"}},
       2,
       "it holds a begin line"},
      {{{"begin 644 cut", "#86)C"}}, 1, "it has no end line"},
      {{Section(1, 1, {"!80``"}, "../..")}, 1, "the file name in its begin line names no file"},
  };
  for (const auto& Case : Cases) {
    std::vector<TMessageText> Messages;
    for (const auto& Lines : Case.Messages)
      Messages.push_back(Message(static_cast<std::int32_t>(Messages.size() + 1), Lines));
    TScan S = Scan(Messages);
    ASSERT_EQ(1u, S.Postings.size()) << Case.Problem;
    const TPostingCheck Check = CheckPosting(S.Postings[0], S.Pieces);
    EXPECT_EQ(psBad, Check.State) << Case.Problem;
    EXPECT_EQ(Case.Section, Check.Section) << Case.Problem;
    EXPECT_EQ(0u, Check.Problem.find(Case.Problem)) << Check.Problem;
  }
}

TEST(PostingScanTest, HostileTextIsReadInFewPasses) {
  // Every begin line opens a block that never ends: read naively, each one
  // would look through the rest of the text and keep room for all of it.
  std::vector<std::string> Lines;
  for (int I = 0; I < 100000; ++I) {
    Lines.push_back("begin 644 a");
    Lines.push_back("#86)C");
  }
  Lines.push_back("end");
  TIgnoredLines Ignored;
  std::vector<TPiece> Pieces;
  ScanMessage(Message(1, Lines), Pieces, &Ignored);
  // Each bad line is the next begin line; a few pieces are kept, the rest counted.
  ASSERT_EQ(MaxBadKept, Pieces.size());
  EXPECT_EQ(50000u - MaxBadKept, Ignored.BadNotKept);
  for (const TPiece& Piece : Pieces) {
    EXPECT_EQ(0u, Piece.Error.find("data line 2 is bad")) << Piece.Error;
    EXPECT_EQ(std::string().capacity(), Piece.Data.capacity());  // no room kept
  }
  // Lines that only look like starts are counted, and only a few kept; an
  // indented one is tried for a repair, which finds no end.
  ScanMessage(Message(2, std::vector<std::string>(200000, "begin 644 a")), Pieces, &Ignored);
  ScanMessage(Message(3, std::vector<std::string>(200000, " begin 644 a")), Pieces, &Ignored);
  EXPECT_EQ(MaxBadKept, Pieces.size());
  EXPECT_EQ(200000u, Ignored.Count);
  EXPECT_EQ(MaxIgnoredKept, Ignored.Lines.size());
}

TEST(PostingScanTest, SafeFileNameRewritesByRule) {
  const struct {
    std::string Name, Want;  // Want empty: refused
  } Cases[] = {
      {"../../etc/passwd", "passwd"},
      {"/abs/x.zip", "x.zip"},
      {"C:\\dos\\y.arj", "y.arj"},
      {".bashrc", "_bashrc"},
      {"-rf", "_rf"},
      {"x\ty\x7f", "x_y_"},
      {"ab\xe2\x80\xaegpj.exe", "ab_gpj.exe"},  // a right-to-left override
      {"\xe2\x81\xa6"
       "a\xc2\x85",
       "_a_"},
      {"con", "_con"},
      {"LPT1.txt", "_LPT1.txt"},
      {"console", "console"},
      {"photo 1.jpg", "photo 1.jpg"},
      {"", ""},
      {"dir/", ""},
      {".", ""},
      {"a/..", ""},
      {std::string(256, 'n'), ""},
  };
  for (const auto& Case : Cases) {
    std::string Name, Problem;
    EXPECT_EQ(!Case.Want.empty(), SafeFileName(Case.Name, Name, Problem)) << Case.Name;
    EXPECT_EQ(Case.Want, Name) << Case.Name;
  }
}

}  // namespace
}  // namespace msgextract
