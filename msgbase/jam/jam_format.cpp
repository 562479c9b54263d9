#include "msgbase/jam/jam_format.h"

#include <algorithm>

#include "msgbase/le_codec.h"

namespace msgbase {

static_assert(24 + 1000 == TJamHeaderInfo::Size, "Reserved ends the base header");
static_assert(72 + 4 == TJamMessageHeaderFirst::Size, "Cost ends the message header");
static_assert(4 + 4 == TJamSubfield::Size, "DatLen ends the subfield header");
static_assert(4 + 4 == TJamIndex::Size, "HdrOffset ends the index record");
static_assert(12 + 4 == TJamLastRead::Size, "HighReadMsg ends the lastread record");

std::array<std::uint8_t, TJamHeaderInfo::Size> EncodeJamHeaderInfo(const TJamHeaderInfo& R) {
  std::array<std::uint8_t, TJamHeaderInfo::Size> Out{};
  std::uint8_t* P = Out.data();
  PutFixedText(P + 0, R.Signature);
  PutLE32(P + 4, R.DateCreated);
  PutLE32(P + 8, R.ModCounter);
  PutLE32(P + 12, R.ActiveMsgs);
  PutLE32(P + 16, R.PasswordCrc);
  PutLE32(P + 20, R.BaseMsgNum);
  std::copy(R.Reserved.begin(), R.Reserved.end(), P + 24);
  return Out;
}

bool DecodeJamHeaderInfo(std::span<const std::uint8_t> In, TJamHeaderInfo& R) {
  if (In.size() < TJamHeaderInfo::Size) return false;
  const std::uint8_t* P = In.data();
  GetFixedText(P + 0, R.Signature);
  R.DateCreated = GetLE32(P + 4);
  R.ModCounter = GetLE32(P + 8);
  R.ActiveMsgs = GetLE32(P + 12);
  R.PasswordCrc = GetLE32(P + 16);
  R.BaseMsgNum = GetLE32(P + 20);
  std::copy(P + 24, P + 24 + R.Reserved.size(), R.Reserved.begin());
  return true;
}

std::array<std::uint8_t, TJamMessageHeaderFirst::Size> EncodeJamMessageHeader(
    const TJamMessageHeaderFirst& R) {
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size> Out{};
  std::uint8_t* P = Out.data();
  PutFixedText(P + 0, R.Signature);
  PutLE16(P + 4, R.Revision);
  PutLE16(P + 6, R.ReservedWord);
  PutLE32(P + 8, R.SubfieldLen);
  PutLE32(P + 12, R.TimesRead);
  PutLE32(P + 16, R.MsgIdCrc);
  PutLE32(P + 20, R.ReplyCrc);
  PutLE32(P + 24, R.ReplyTo);
  PutLE32(P + 28, R.ReplyFirst);
  PutLE32(P + 32, R.ReplyNext);
  PutLE32(P + 36, R.DateWritten);
  PutLE32(P + 40, R.DateReceived);
  PutLE32(P + 44, R.DateProcessed);
  PutLE32(P + 48, R.MessageNumber);
  PutLE32(P + 52, R.Attribute);
  PutLE32(P + 56, R.Attribute2);
  PutLE32(P + 60, R.Offset);
  PutLE32(P + 64, R.TxtLen);
  PutLE32(P + 68, R.PasswordCrc);
  PutLE32(P + 72, R.Cost);
  return Out;
}

bool DecodeJamMessageHeader(std::span<const std::uint8_t> In, TJamMessageHeaderFirst& R) {
  if (In.size() < TJamMessageHeaderFirst::Size) return false;
  const std::uint8_t* P = In.data();
  GetFixedText(P + 0, R.Signature);
  R.Revision = GetLE16(P + 4);
  R.ReservedWord = GetLE16(P + 6);
  R.SubfieldLen = GetLE32(P + 8);
  R.TimesRead = GetLE32(P + 12);
  R.MsgIdCrc = GetLE32(P + 16);
  R.ReplyCrc = GetLE32(P + 20);
  R.ReplyTo = GetLE32(P + 24);
  R.ReplyFirst = GetLE32(P + 28);
  R.ReplyNext = GetLE32(P + 32);
  R.DateWritten = GetLE32(P + 36);
  R.DateReceived = GetLE32(P + 40);
  R.DateProcessed = GetLE32(P + 44);
  R.MessageNumber = GetLE32(P + 48);
  R.Attribute = GetLE32(P + 52);
  R.Attribute2 = GetLE32(P + 56);
  R.Offset = GetLE32(P + 60);
  R.TxtLen = GetLE32(P + 64);
  R.PasswordCrc = GetLE32(P + 68);
  R.Cost = GetLE32(P + 72);
  return true;
}

std::array<std::uint8_t, TJamSubfield::Size> EncodeJamSubfield(const TJamSubfield& R) {
  std::array<std::uint8_t, TJamSubfield::Size> Out{};
  std::uint8_t* P = Out.data();
  PutLE16(P + 0, R.LoId);
  PutLE16(P + 2, R.HiId);
  PutLE32(P + 4, R.DatLen);
  return Out;
}

bool DecodeJamSubfield(std::span<const std::uint8_t> In, TJamSubfield& R) {
  if (In.size() < TJamSubfield::Size) return false;
  const std::uint8_t* P = In.data();
  R.LoId = GetLE16(P + 0);
  R.HiId = GetLE16(P + 2);
  R.DatLen = GetLE32(P + 4);
  return true;
}

std::array<std::uint8_t, TJamIndex::Size> EncodeJamIndex(const TJamIndex& R) {
  std::array<std::uint8_t, TJamIndex::Size> Out{};
  std::uint8_t* P = Out.data();
  PutLE32(P + 0, R.UserCrc);
  PutLE32(P + 4, R.HdrOffset);
  return Out;
}

bool DecodeJamIndex(std::span<const std::uint8_t> In, TJamIndex& R) {
  if (In.size() < TJamIndex::Size) return false;
  const std::uint8_t* P = In.data();
  R.UserCrc = GetLE32(P + 0);
  R.HdrOffset = GetLE32(P + 4);
  return true;
}

std::array<std::uint8_t, TJamLastRead::Size> EncodeJamLastRead(const TJamLastRead& R) {
  std::array<std::uint8_t, TJamLastRead::Size> Out{};
  std::uint8_t* P = Out.data();
  PutLE32(P + 0, R.UserCrc);
  PutLE32(P + 4, R.UserId);
  PutLE32(P + 8, R.LastReadMsg);
  PutLE32(P + 12, R.HighReadMsg);
  return Out;
}

bool DecodeJamLastRead(std::span<const std::uint8_t> In, TJamLastRead& R) {
  if (In.size() < TJamLastRead::Size) return false;
  const std::uint8_t* P = In.data();
  R.UserCrc = GetLE32(P + 0);
  R.UserId = GetLE32(P + 4);
  R.LastReadMsg = GetLE32(P + 8);
  R.HighReadMsg = GetLE32(P + 12);
  return true;
}

}  // namespace msgbase
