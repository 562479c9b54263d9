#include "msgbase/virtual/virtual_base.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_support.h"

namespace msgbase {
namespace {

using testing_support::TBytes;

// A memory stream that remembers the size of every read and write.
class TRecordingStream : public TMemoryStream {
 public:
  void Read(void* Buf, std::uint16_t Count) override {
    Reads.push_back(Count);
    TMemoryStream::Read(Buf, Count);
  }
  void Write(const void* Buf, std::uint16_t Count) override {
    Writes.push_back(Count);
    TMemoryStream::Write(Buf, Count);
  }
  std::vector<std::uint16_t> Reads;
  std::vector<std::uint16_t> Writes;
};

TBytes Pattern(std::size_t Size) {
  TBytes Bytes(Size);
  for (std::size_t I = 0; I < Size; ++I) Bytes[I] = static_cast<std::uint8_t>(I * 7 + I / 251);
  return Bytes;
}

TBytes StreamBytes(TMessageBaseStream& S) {
  TBytes Bytes(static_cast<std::size_t>(S.GetSize()));
  S.Seek(0);
  S.ReadBuffer(Bytes);
  return Bytes;
}

TEST(VirtualBaseTest, CopyFromTVStreamMovesPiecesOf4097) {
  const TBytes Data = Pattern(10000);
  TRecordingStream Source;
  Source.Write(Data.data(), static_cast<std::uint16_t>(Data.size()));
  Source.Seek(0);
  PMessageBaseStream Dest = CreateMessageBaseMemoryStream(MaxMessageSize);
  CopyFromTVStream(Source, *Dest, 10000);
  EXPECT_EQ(Source.Reads, (std::vector<std::uint16_t>{4097, 4097, 1806}));
  EXPECT_BYTES_EQ(Data, StreamBytes(*Dest));
}

TEST(VirtualBaseTest, CopyFromOmbraStreamMovesPiecesOf4097) {
  const TBytes Data = Pattern(10000);
  PMessageBaseStream Source = CreateMessageBaseMemoryStream(MaxMessageSize);
  Source->WriteBuffer(Data);
  Source->Seek(0);
  TRecordingStream Dest;
  CopyFromOmbraStream(*Source, Dest, 10000);
  EXPECT_EQ(Dest.Writes, (std::vector<std::uint16_t>{4097, 4097, 1806}));
  EXPECT_BYTES_EQ(Data, Dest.GetBytes());
}

TEST(VirtualBaseTest, CopyOfZeroOrNegativeCountCopiesNothing) {
  TRecordingStream Plain;
  PMessageBaseStream Ram = CreateMessageBaseMemoryStream(MaxMessageSize);
  for (const std::int32_t Count : {0, -1, -5000}) {
    CopyFromTVStream(Plain, *Ram, Count);
    CopyFromOmbraStream(*Ram, Plain, Count);
  }
  EXPECT_TRUE(Plain.Reads.empty());
  EXPECT_TRUE(Plain.Writes.empty());
  EXPECT_EQ(Ram->GetSize(), 0);
}

TEST(VirtualBaseTest, CopiesStartAtTheCurrentPositions) {
  TMemoryStream Source;
  const std::string Text = "0123456789";
  Source.Write(Text.data(), static_cast<std::uint16_t>(Text.size()));
  Source.Seek(4);
  PMessageBaseStream Dest = CreateMessageBaseMemoryStream(MaxMessageSize);
  Dest->WriteBuffer(TBytes{'x', 'y'});
  CopyFromTVStream(Source, *Dest, 3);
  EXPECT_BYTES_EQ((TBytes{'x', 'y', '4', '5', '6'}), StreamBytes(*Dest));
}

// What the registration hooks saw.
std::string SeenName;
std::int32_t SeenMode = -1;
int Closed = 0;
void RecordOpen(const std::string& FileName, std::int32_t Mode, TMessageBaseStream&) {
  SeenName = FileName;
  SeenMode = Mode;
}
void RecordClose(TMessageBaseStream&) {
  ++Closed;
}

class VirtualBaseHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SeenName.clear();
    SeenMode = -1;
    Closed = 0;
    RegisterFileOpen = RecordOpen;
    RegisterFileClose = RecordClose;
  }
  void TearDown() override {
    RegisterFileOpen = DefaultRegisterFileOpen;
    RegisterFileClose = DefaultRegisterFileClose;
  }
};

TEST_F(VirtualBaseHookTest, LinkerAnnouncesItsPseudoFile) {
  TMemoryStream Plain;
  {
    TVirtualStreamLinker Linker(Plain);
    EXPECT_EQ(SeenName, "$LOCKKESTREL");
    EXPECT_EQ(SeenMode, 1);
    EXPECT_EQ(Linker.GetFileName(), "$LOCKKESTREL");
  }
  EXPECT_EQ(Closed, 1);
}

TEST_F(VirtualBaseHookTest, OmbraDisposesOfItsStreamUnlessTakenBack) {
  { TVirtualMessageBaseOmbra Ombra(CreateMessageBaseMemoryStream(MaxMessageSize)); }
  EXPECT_EQ(Closed, 1);
  PMessageBaseStream Kept;
  {
    TVirtualMessageBaseOmbra Ombra(CreateMessageBaseMemoryStream(MaxMessageSize));
    Ombra.PutString("line");
    Kept = Ombra.ReleaseMessageTextStream();
  }
  EXPECT_EQ(Closed, 1);
  ASSERT_NE(Kept, nullptr);
  EXPECT_EQ(Kept->GetSize(), 5);
}

TEST(VirtualBaseTest, LinkerForwardsAndMirrorsTheWrappedStatus) {
  TMemoryStream Plain;
  TVirtualStreamLinker Linker(Plain);
  const std::string Text = "abc";
  Linker.Write(Text.data(), 3);
  EXPECT_EQ(Linker.GetPos(), 3);
  EXPECT_EQ(Linker.GetSize(), 3);
  Linker.Seek(1);
  Linker.Truncate();
  EXPECT_EQ(Plain.GetSize(), 1);
  char Buf[4] = {};
  Linker.Read(Buf, 4);
  EXPECT_EQ(Linker.GetStatus(), tsReadError);
  Linker.Reset();
  EXPECT_EQ(Linker.GetStatus(), 0);
  EXPECT_EQ(Plain.GetStatus(), tsOk);
  Linker.Seek(-2);
  EXPECT_EQ(Linker.GetStatus(), tsSeekError);
}

TEST(VirtualBaseTest, WrappedStreamOutlivesTheBase) {
  TMemoryStream Plain;
  {
    TVirtualMessageBase Base(Plain);
    Base.PutString("Hello");
  }
  EXPECT_EQ(Plain.GetStatus(), tsOk);
  Plain.Seek(0);
  char Buf[6] = {};
  Plain.Read(Buf, 6);
  EXPECT_EQ(std::string(Buf, 6), "Hello\r");
  Plain.Write("!", 1);
  EXPECT_EQ(Plain.GetSize(), 7);
}

std::string AsText(const TMemoryStream& S) {
  return std::string(S.GetBytes().begin(), S.GetBytes().end());
}

TEST(VirtualBaseTest, KludgeEditingThroughAVirtualBase) {
  TMemoryStream Plain;
  TVirtualMessageBase Base(Plain);
  Base.PutString("AREA:TEST");
  Base.PutString("\x01MSGID: 2:5020/1 0000abcd");
  Base.PutString("Body line");
  Base.AddKludge("\x01PID: x");
  EXPECT_EQ(AsText(Plain), "AREA:TEST\r\x01MSGID: 2:5020/1 0000abcd\r\x01PID: x\rBody line\r");
  Base.SetKludge("\x01MSGID:", "\x01MSGID: 2:5020/2 11112222");
  Base.DeleteKludge("\x01PID");
  EXPECT_EQ(AsText(Plain), "AREA:TEST\r\x01MSGID: 2:5020/2 11112222\rBody line\r");
  EXPECT_EQ(Base.GetTextPos(), Base.GetTextSize());

  std::string Value;
  ASSERT_TRUE(Base.GetKludge("\x01MSGID:", Value));
  EXPECT_EQ(Value, "\x01MSGID: 2:5020/2 11112222");
  TAddress From;
  Base.GetFromAddress(From);
  EXPECT_EQ(AddressToStr(From), "2:5020/2.0");
}

TEST(VirtualBaseTest, ReadsLinesOfAStreamLaidOverFromOutside) {
  TMemoryStream Plain;
  const std::string Text = "AB\r\nC";
  Plain.Write(Text.data(), static_cast<std::uint16_t>(Text.size()));
  TVirtualMessageBase Base(Plain);
  Base.SetTextPos(0);
  EXPECT_EQ(Base.GetString(), "AB");
  EXPECT_EQ(Base.GetString(), "C");
  EXPECT_TRUE(Base.EndOfMessage());
}

}  // namespace
}  // namespace msgbase
