// The Squish base, reading and navigation: the index, moving between
// messages, and loading a message's header, control lines and text.
#include "msgbase/squish/squish_base.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
#include "msgbase/squish/squish_layout.h"
#include "msgbase/status.h"

namespace msgbase {

using namespace squish_layout;

namespace {

constexpr std::uint8_t CarriageReturn = 0x0D;

}  // namespace

// --- Index and navigation ---

bool TSquishMessageBase::GetIndex(std::int32_t Pos, TSquishIndex& Idx) {
  if (Pos < 0) return false;
  if (static_cast<std::int64_t>(Pos) + IndexRecordSize > CountedIndexBytes()) return false;
  IndexStream_->Seek(Pos);
  return ReadRecord(*IndexStream_, Idx);
}

bool TSquishMessageBase::SetIndex(std::int32_t Pos, const TSquishIndex& Idx) {
  if (IndexStream_ == nullptr || Pos < 0 || Pos > MaxStreamPos - IndexRecordSize) return false;
  if (!Protect(sfIndex, Pos, IndexRecordSize) ||
      !JournalBytes(*IndexStream_, Pos, IndexRecordSize)) {
    return false;
  }
  IndexStream_->Reset();
  IndexStream_->Seek(Pos);
  WriteRecord(*IndexStream_, Idx);
  return IndexStream_->GetStatus() == stOk;
}

bool TSquishMessageBase::CheckIndex(std::int32_t Message, TSquishIndex& Idx, std::int32_t& Pos,
                                    bool Nearest) {
  Pos = 0;
  std::int64_t Count = CountedIndexBytes() / IndexRecordSize;
  if (Count <= 0) return false;
  IndexStream_->Seek(0);
  while (Count > 0) {
    if (!ReadRecord(*IndexStream_, Idx)) return false;
    const auto Id = static_cast<std::int32_t>(Idx.UMsgId);
    if (Id == Message || (Nearest && Id >= Message)) return true;
    --Count;
    Pos += IndexRecordSize;
  }
  return false;
}

bool TSquishMessageBase::Exists(std::int32_t Message) {
  TSquishIndex Idx;
  std::int32_t Pos = 0;
  return CheckIndex(Message, Idx, Pos, false);
}

void TSquishMessageBase::Seek(std::int32_t Message) {
  if (CheckIndex(Message, CurrentIndex_, IndexPosition_, true)) {
    SetCurrent(static_cast<std::int32_t>(CurrentIndex_.UMsgId));
  } else {
    SetCurrent(0);
    IndexPosition_ = 0;
  }
}

void TSquishMessageBase::SeekHighWater() {
  Seek(static_cast<std::int32_t>(BaseHeader_.HighWater));
}

void TSquishMessageBase::SetLocation(std::int32_t Location) {
  if (Location % IndexRecordSize == 0 && GetIndex(Location, CurrentIndex_)) {
    IndexPosition_ = Location;
    SetCurrent(static_cast<std::int32_t>(CurrentIndex_.UMsgId));
  } else {
    if (IndexStream_ != nullptr) IndexStream_->Reset();
    IndexPosition_ = 0;
    SetCurrent(0);
  }
}

void TSquishMessageBase::SeekNext() {
  const std::int64_t Next = static_cast<std::int64_t>(IndexPosition_) + IndexRecordSize;
  SetLocation(Next > MaxStreamPos ? -1 : static_cast<std::int32_t>(Next));
}

void TSquishMessageBase::SeekPrev() {
  const std::int64_t Prev = static_cast<std::int64_t>(IndexPosition_) - IndexRecordSize;
  SetLocation(Prev < 0 ? -1 : static_cast<std::int32_t>(Prev));
}

std::int32_t TSquishMessageBase::GetLocation() {
  return IndexPosition_;
}

std::int32_t TSquishMessageBase::GetHighest() {
  return static_cast<std::int32_t>(BaseHeader_.Uid - 1);
}

std::int32_t TSquishMessageBase::GetCount() {
  return static_cast<std::int32_t>(BaseHeader_.NumMsg);
}

// --- Reading a message ---

void TSquishMessageBase::PutControlLines(const std::vector<std::uint8_t>& Area) {
  TMessageBaseStream* Text = GetMessageTextStream();
  std::string Line;
  const auto Flush = [&] {
    if (Line.empty()) return;
    Text->WriteBuffer({reinterpret_cast<const std::uint8_t*>(Line.data()), Line.size()});
    Text->Write(&CarriageReturn, 1);
    Line.clear();
  };
  for (std::size_t I = 0; I < Area.size(); ++I) {
    const std::uint8_t C = Area[I];
    if (C == KludgeByte && I != 0) Flush();
    // NUL bytes vanish; a line longer than the line buffer is cut.
    if (C != 0 && Line.size() < static_cast<std::size_t>(MaxLineSize - 1)) {
      Line.push_back(static_cast<char>(C));
    }
  }
  Flush();
}

bool TSquishMessageBase::LoadMessage(bool WithText) {
  (void)CloseMessage();  // false only when there was no text to release
  FramePosition_ = 0;
  if (DataStream_ == nullptr || IndexStream_ == nullptr) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  if (Current() == 0) {
    SetStatus(stSquishMsgNotExists);
    return false;
  }
  const std::uint32_t Pos = CurrentIndex_.Ofs;
  if (Pos == 0) {
    SetStatus(stSquishIndexProblems);
    return false;
  }
  // The file's size is asked once, and the header, control information and
  // text (which follow the frame header in one piece) are read in one call.
  const std::int64_t Size = StreamSize(DataStream_.get());
  TSquishFrame Frame;
  if (Pos < FirstFramePos || static_cast<std::int64_t>(Pos) + FrameHeaderSize > Size) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  DataStream_->Seek(static_cast<std::int32_t>(Pos));
  if (!ReadRecord(*DataStream_, Frame)) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  const std::int64_t Room = Size - static_cast<std::int64_t>(Pos) - FrameHeaderSize;
  if (Frame.Id != SquishFrameId || Frame.FrameType != sqfMessage ||
      Frame.ClenLength > SquishMaxClenLength || Frame.MsgLength > Frame.FrameLength ||
      static_cast<std::int64_t>(Frame.MsgLength) > Room ||
      static_cast<std::int64_t>(Frame.MsgLength) < MessageHeaderSize + Frame.ClenLength) {
    SetStatus(stSquishGrungedFrame);
    return false;
  }

  const auto HeadLength = static_cast<std::size_t>(MessageHeaderSize);
  std::vector<std::uint8_t> Body(WithText ? Frame.MsgLength : HeadLength + Frame.ClenLength);
  DataStream_->ReadBuffer(Body);
  TSquishMessageHeader Header;
  if (DataStream_->GetStatus() != stOk ||
      !Header.Decode(std::span<const std::uint8_t>(Body).first(HeadLength))) {
    SetStatus(stSquishDataProblems);
    return false;
  }
  const std::vector<std::uint8_t> Area(Body.begin() + static_cast<std::ptrdiff_t>(HeadLength),
                                       Body.begin() + static_cast<std::ptrdiff_t>(HeadLength) +
                                           static_cast<std::ptrdiff_t>(Frame.ClenLength));

  SetMessageTextStream(CreateMessageBaseMemoryStream(MaxMessageSize));
  PutControlLines(Area);
  if (WithText) {
    std::span<const std::uint8_t> Text =
        std::span<const std::uint8_t>(Body).subspan(HeadLength + Frame.ClenLength);
    // Drop the text's terminating NUL, but only when it is one: text stored
    // without it keeps its last byte.
    if (!Text.empty() && Text.back() == 0) Text = Text.first(Text.size() - 1);
    GetMessageTextStream()->WriteBuffer(Text);
  }
  SetTextPos(0);

  MessageHeader_ = Header;
  CurrentFrame_ = Frame;
  FramePosition_ = Pos;
  MessageIndex_ = CurrentIndex_;
  MessageIndexPosition_ = IndexPosition_;
  NewMessage_ = false;
  HeaderOnly_ = !WithText;
  return true;
}

bool TSquishMessageBase::OpenMessage() {
  return LoadMessage(true);
}

bool TSquishMessageBase::OpenMessageHeader() {
  return LoadMessage(false);
}

}  // namespace msgbase
