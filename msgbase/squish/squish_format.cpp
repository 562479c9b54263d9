#include "msgbase/squish/squish_format.h"

#include <cstring>

#include "msgbase/le_codec.h"

namespace msgbase {

namespace {

// Each record's last field: its offset plus its width is the record's size.
static_assert(132 + 124 == TSquishBaseHeader::Size);
static_assert(26 + 2 == TSquishFrame::Size);
static_assert(218 + TSquishMessageHeader::FtscDateSize == TSquishMessageHeader::Size);
static_assert(8 + 4 == TSquishIndex::Size);

void PutAddress(std::uint8_t* P, const TAddress& A) {
  PutLEInt16(P + 0, A.Zone);
  PutLEInt16(P + 2, A.Net);
  PutLEInt16(P + 4, A.Node);
  PutLEInt16(P + 6, A.Point);
}

void GetAddress(const std::uint8_t* P, TAddress& A) {
  A.Zone = GetLEInt16(P + 0);
  A.Net = GetLEInt16(P + 2);
  A.Node = GetLEInt16(P + 4);
  A.Point = GetLEInt16(P + 6);
}

}  // namespace

void TSquishBaseHeader::Encode(std::span<std::uint8_t, Size> Out) const {
  std::uint8_t* P = Out.data();
  PutLE16(P + 0, Len);
  PutLE16(P + 2, Reserved1);
  PutLE32(P + 4, NumMsg);
  PutLE32(P + 8, HighMsg);
  PutLE32(P + 12, SkipMsg);
  PutLE32(P + 16, HighWater);
  PutLE32(P + 20, Uid);
  PutFixedText(P + 24, BaseName);
  PutLE32(P + 104, BeginFrame);
  PutLE32(P + 108, LastFrame);
  PutLE32(P + 112, FreeFrame);
  PutLE32(P + 116, LastFreeFrame);
  PutLE32(P + 120, EndFrame);
  PutLE32(P + 124, MaxMsg);
  PutLE16(P + 128, KeepDays);
  PutLE16(P + 130, SzSqHdr);
  std::memcpy(P + 132, Reserved2.data(), Reserved2.size());
}

bool TSquishBaseHeader::Decode(std::span<const std::uint8_t> In) {
  if (In.size() < Size) return false;
  const std::uint8_t* P = In.data();
  Len = GetLE16(P + 0);
  Reserved1 = GetLE16(P + 2);
  NumMsg = GetLE32(P + 4);
  HighMsg = GetLE32(P + 8);
  SkipMsg = GetLE32(P + 12);
  HighWater = GetLE32(P + 16);
  Uid = GetLE32(P + 20);
  GetFixedText(P + 24, BaseName);
  BeginFrame = GetLE32(P + 104);
  LastFrame = GetLE32(P + 108);
  FreeFrame = GetLE32(P + 112);
  LastFreeFrame = GetLE32(P + 116);
  EndFrame = GetLE32(P + 120);
  MaxMsg = GetLE32(P + 124);
  KeepDays = GetLE16(P + 128);
  SzSqHdr = GetLE16(P + 130);
  std::memcpy(Reserved2.data(), P + 132, Reserved2.size());
  return true;
}

void TSquishFrame::Encode(std::span<std::uint8_t, Size> Out) const {
  std::uint8_t* P = Out.data();
  PutLE32(P + 0, Id);
  PutLE32(P + 4, NextFrame);
  PutLE32(P + 8, PrevFrame);
  PutLE32(P + 12, FrameLength);
  PutLE32(P + 16, MsgLength);
  PutLE32(P + 20, ClenLength);
  PutLE16(P + 24, FrameType);
  PutLE16(P + 26, Reserved);
}

bool TSquishFrame::Decode(std::span<const std::uint8_t> In) {
  if (In.size() < Size) return false;
  const std::uint8_t* P = In.data();
  Id = GetLE32(P + 0);
  NextFrame = GetLE32(P + 4);
  PrevFrame = GetLE32(P + 8);
  FrameLength = GetLE32(P + 12);
  MsgLength = GetLE32(P + 16);
  ClenLength = GetLE32(P + 20);
  FrameType = GetLE16(P + 24);
  Reserved = GetLE16(P + 26);
  return true;
}

void TSquishMessageHeader::Encode(std::span<std::uint8_t, Size> Out) const {
  std::uint8_t* P = Out.data();
  PutLE32(P + 0, Attr);
  PutFixedText(P + 4, From);
  PutFixedText(P + 40, To);
  PutFixedText(P + 76, Subject);
  PutAddress(P + 148, Orig);
  PutAddress(P + 156, Dest);
  PutLE32(P + 164, DateWritten);
  PutLE32(P + 168, DateArrived);
  PutLE16(P + 172, UtcOfs);
  PutLE32(P + 174, ReplyTo);
  for (std::size_t I = 0; I < Replies.size(); ++I) PutLE32(P + 178 + 4 * I, Replies[I]);
  PutLE32(P + 214, UMsgId);
  PutFixedText(P + 218, FtscDate);
}

bool TSquishMessageHeader::Decode(std::span<const std::uint8_t> In) {
  if (In.size() < Size) return false;
  const std::uint8_t* P = In.data();
  Attr = GetLE32(P + 0);
  GetFixedText(P + 4, From);
  GetFixedText(P + 40, To);
  GetFixedText(P + 76, Subject);
  GetAddress(P + 148, Orig);
  GetAddress(P + 156, Dest);
  DateWritten = GetLE32(P + 164);
  DateArrived = GetLE32(P + 168);
  UtcOfs = GetLE16(P + 172);
  ReplyTo = GetLE32(P + 174);
  for (std::size_t I = 0; I < Replies.size(); ++I) Replies[I] = GetLE32(P + 178 + 4 * I);
  UMsgId = GetLE32(P + 214);
  GetFixedText(P + 218, FtscDate);
  return true;
}

void TSquishIndex::Encode(std::span<std::uint8_t, Size> Out) const {
  std::uint8_t* P = Out.data();
  PutLE32(P + 0, Ofs);
  PutLE32(P + 4, UMsgId);
  PutLE32(P + 8, Hash);
}

bool TSquishIndex::Decode(std::span<const std::uint8_t> In) {
  if (In.size() < Size) return false;
  const std::uint8_t* P = In.data();
  Ofs = GetLE32(P + 0);
  UMsgId = GetLE32(P + 4);
  Hash = GetLE32(P + 8);
  return true;
}

}  // namespace msgbase
