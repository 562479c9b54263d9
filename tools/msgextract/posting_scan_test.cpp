#include "tools/msgextract/posting_scan.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace msgextract {
namespace {

// A message holding Lines from the sender 2:5020/100.
TMessageText Message(std::int32_t Number, std::vector<std::string> Lines,
                     const std::string& Sender = "2:5020/100") {
  // The lines stay for the whole test program, so the views stay valid.
  static std::deque<std::vector<std::string>> Kept;
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
  // Blanks stripped: the blank after the header and the zero-length line.
  std::vector<std::string> Lines{
      "section 1 of 1 of file y", "", "begin 600 dir/y  ", FullLine, "", "`", "end  "};
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
  // The same short line where zeros are backquotes lost characters instead.
  S = Scan({Message(1, {"begin 644 z", "#80", "`", "end"})});
  EXPECT_EQ(psBad, CheckPosting(S.Postings.at(0), S.Pieces).State);
}

TEST(PostingScanTest, RepeatedSectionStartsANewPosting) {
  // Posted twice, the first time losing section 2.
  TScan S = Scan({Message(1, Section(1, 2, {FullLine})), Message(2, Section(1, 2, {FullLine})),
                  Message(3, Section(2, 2, {"#86)C"}))});
  ASSERT_EQ(2u, S.Postings.size());
  const TPostingCheck First = CheckPosting(S.Postings[0], S.Pieces);
  EXPECT_EQ(psIncomplete, First.State);
  EXPECT_EQ("sections 2 of 2 missing", First.Problem);
  EXPECT_EQ(psComplete, CheckPosting(S.Postings[1], S.Pieces).State);
}

TEST(PostingScanTest, SenderNameAndCountKeepPostingsApart) {
  TScan S = Scan(
      {Message(1, Section(1, 2, {FullLine})), Message(2, Section(2, 2, {"#86)C"}), "2:5020/200"),
       Message(3, Section(2, 3, {FullLine})), Message(4, Section(2, 2, {"#86)C"}, "z.bin"))});
  EXPECT_EQ(4u, S.Postings.size());
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
      {{Section(1, 2, {FullLine}), Section(2, 2, {"#86)Cxx"})}, 2, "data line 1 is bad"},
      {{Section(1, 2, {"#86)C"}), Section(2, 2, {"#86)C"})}, 1, "its data ends before"},
      {{Section(1, 1, {"#86)C", FullLine})}, 1, "data line 2 follows the end"},
      {{Section(1, 3, {FullLine}), Section(2, 3, {FullLine, FullLine}), Section(3, 3, {"!80``"})},
       2,
       "it holds 2 data lines"},
      {{Section(1, 2, {FullLine}), Section(2, 2, {FullLine, "!80``"})}, 2, "it holds more"},
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
      {{Section(1, 1, {"!80``"},
                "a\x01"
                "b")},
       1,
       "the file name in its begin line holds"},
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
  std::vector<std::string> Lines(200000, "begin 644 a");
  Lines.back() = "end";
  TScan S = Scan({Message(1, Lines)});
  ASSERT_EQ(100000u, S.Pieces.size());
  // The last begin line meets "end" at once: an empty file.
  EXPECT_EQ("", S.Pieces.back().Error);
  S.Pieces.pop_back();
  for (const TPiece& Piece : S.Pieces) {
    EXPECT_EQ(0u, Piece.Error.find("data line 1 is bad")) << Piece.Error;
    EXPECT_LE(Piece.Data.capacity(), 64u);
  }
}

TEST(PostingScanTest, SafeFileNameKeepsTheLastComponentOnly) {
  std::string Name, Problem;
  EXPECT_TRUE(SafeFileName("../../etc/passwd", Name, Problem));
  EXPECT_EQ("passwd", Name);
  EXPECT_TRUE(SafeFileName("/abs/x.zip", Name, Problem));
  EXPECT_EQ("x.zip", Name);
  EXPECT_TRUE(SafeFileName("C:\\dos\\y.arj", Name, Problem));
  EXPECT_EQ("y.arj", Name);
  for (const std::string& Bad :
       std::vector<std::string>{"", "dir/", ".", "a/..", "x\ty", std::string(256, 'n')})
    EXPECT_FALSE(SafeFileName(Bad, Name, Problem)) << Bad;
}

}  // namespace
}  // namespace msgextract
