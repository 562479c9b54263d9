// On-disk records and constants of the JAM base, shared by its writing and
// reading code. A base is four files named by one path plus the upper-case
// extensions JHR (1024-byte base header, then one 76-byte message header and
// its subfields per message), JDX (8-byte index records), JDT (message texts)
// and JLR (16-byte lastread records). Every number is little-endian and every
// record packed without gaps; docs/jam_format.md has the field tables, the
// invariants and a hex dump of a small base.
//
// Each record is a plain struct in stored order with its size as Size; the
// encoders give exactly Size bytes, the decoders check the buffer's size first
// and answer false when it is too short.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace msgbase {

// "JAM" and a zero byte: opens the base header and every message header.
inline constexpr std::array<char, 4> JamSignature{'J', 'A', 'M', '\0'};
// Revision of the message headers this base writes.
inline constexpr std::uint16_t JamRevision = 1;
// A CRC field or password that holds nothing.
inline constexpr std::uint32_t JamNoCrc = 0xFFFFFFFF;
// HdrOffset of an index record whose message has been removed.
inline constexpr std::uint32_t JamRemovedOffset = 0xFFFFFFFF;
// Room for the subfields of one message, in memory and when read back.
inline constexpr std::size_t JamSubfieldsSize = 16384;
// The largest message number and the largest offset into a file the base
// hands out or follows: the streams' positions are signed 32-bit numbers.
inline constexpr std::int64_t JamMaxNumber = std::numeric_limits<std::int32_t>::max();

// The four files of a base, in this order.
enum TJamFile : std::size_t { jfHeader = 0, jfIndex = 1, jfText = 2, jfLastRead = 3 };

// Subfield ids (the LoId word; HiId is written as 0 and ignored when read).
inline constexpr std::uint16_t jsfOAddress = 0;  // origin address
inline constexpr std::uint16_t jsfDAddress = 1;  // destination address
inline constexpr std::uint16_t jsfSenderName = 2;
inline constexpr std::uint16_t jsfReceiverName = 3;
inline constexpr std::uint16_t jsfMsgId = 4;
inline constexpr std::uint16_t jsfReplyId = 5;
inline constexpr std::uint16_t jsfSubject = 6;
inline constexpr std::uint16_t jsfPid = 7;
inline constexpr std::uint16_t jsfTrace = 8;  // a "Via" line
inline constexpr std::uint16_t jsfEnclosedFile = 9;
inline constexpr std::uint16_t jsfEnclosedFreq = 11;  // file request
inline constexpr std::uint16_t jsfFtsKludge = 2000;   // any other control line
inline constexpr std::uint16_t jsfSeenBy2D = 2001;
inline constexpr std::uint16_t jsfPath2D = 2002;
inline constexpr std::uint16_t jsfFlags = 2003;

// Attribute bits of a message header.
inline constexpr std::uint32_t jaLocal = 0x00000001;
inline constexpr std::uint32_t jaInTransit = 0x00000002;
inline constexpr std::uint32_t jaPrivate = 0x00000004;
inline constexpr std::uint32_t jaReceived = 0x00000008;
inline constexpr std::uint32_t jaSent = 0x00000010;
inline constexpr std::uint32_t jaKillSent = 0x00000020;
inline constexpr std::uint32_t jaHold = 0x00000080;
inline constexpr std::uint32_t jaCrash = 0x00000100;
inline constexpr std::uint32_t jaFileRequest = 0x00001000;
inline constexpr std::uint32_t jaFileAttach = 0x00002000;
inline constexpr std::uint32_t jaReceiptRequest = 0x00010000;
inline constexpr std::uint32_t jaConfirmRequest = 0x00020000;
inline constexpr std::uint32_t jaOrphan = 0x00040000;
inline constexpr std::uint32_t jaTypeLocal = 0x00800000;
inline constexpr std::uint32_t jaTypeEcho = 0x01000000;
inline constexpr std::uint32_t jaTypeNet = 0x02000000;
// Marked deleted by other software: the message keeps its index record and
// its number but no longer counts in ActiveMsgs.
inline constexpr std::uint32_t jaDeleted = 0x80000000;

// The base header at offset 0 of the header file.
struct TJamHeaderInfo {
  static constexpr std::size_t Size = 1024;
  std::array<char, 4> Signature{};
  std::uint32_t DateCreated = 0;  // Unix seconds, local clock
  std::uint32_t ModCounter = 0;   // one more for every message written
  std::uint32_t ActiveMsgs = 0;   // records in the index file
  std::uint32_t PasswordCrc = 0;
  std::uint32_t BaseMsgNum = 0;               // number of the first message
  std::array<std::uint8_t, 1000> Reserved{};  // kept as read
};

// The fixed part of a message header; SubfieldLen bytes of subfields follow it.
struct TJamMessageHeaderFirst {
  static constexpr std::size_t Size = 76;
  std::array<char, 4> Signature{};
  std::uint16_t Revision = 0;
  std::uint16_t ReservedWord = 0;
  std::uint32_t SubfieldLen = 0;
  std::uint32_t TimesRead = 0;
  std::uint32_t MsgIdCrc = 0;
  std::uint32_t ReplyCrc = 0;
  std::uint32_t ReplyTo = 0;
  std::uint32_t ReplyFirst = 0;
  std::uint32_t ReplyNext = 0;
  std::uint32_t DateWritten = 0;    // Unix seconds
  std::uint32_t DateReceived = 0;   // Unix seconds
  std::uint32_t DateProcessed = 0;  // Unix seconds: the arrived date
  std::uint32_t MessageNumber = 0;  // as written; removal does not renumber it
  std::uint32_t Attribute = 0;      // ja... bits
  std::uint32_t Attribute2 = 0;
  std::uint32_t Offset = 0;  // of the text in the text file
  std::uint32_t TxtLen = 0;
  std::uint32_t PasswordCrc = 0;
  std::uint32_t Cost = 0;
};

// The fixed part of one subfield; DatLen data bytes follow it.
struct TJamSubfield {
  static constexpr std::size_t Size = 8;
  std::uint16_t LoId = 0;
  std::uint16_t HiId = 0;
  std::uint32_t DatLen = 0;
};

// One record of the index file; record i belongs to message BaseMsgNum + i.
struct TJamIndex {
  static constexpr std::size_t Size = 8;
  std::uint32_t UserCrc = 0;    // name CRC of the recipient
  std::uint32_t HdrOffset = 0;  // of the message header; JamRemovedOffset: removed
};

// One record of the lastread file.
struct TJamLastRead {
  static constexpr std::size_t Size = 16;
  std::uint32_t UserCrc = 0;
  std::uint32_t UserId = 0;  // the key of a lookup
  std::uint32_t LastReadMsg = 0;
  std::uint32_t HighReadMsg = 0;
};

[[nodiscard]] std::array<std::uint8_t, TJamHeaderInfo::Size> EncodeJamHeaderInfo(
    const TJamHeaderInfo& R);
[[nodiscard]] bool DecodeJamHeaderInfo(std::span<const std::uint8_t> In, TJamHeaderInfo& R);

[[nodiscard]] std::array<std::uint8_t, TJamMessageHeaderFirst::Size> EncodeJamMessageHeader(
    const TJamMessageHeaderFirst& R);
[[nodiscard]] bool DecodeJamMessageHeader(std::span<const std::uint8_t> In,
                                          TJamMessageHeaderFirst& R);

[[nodiscard]] std::array<std::uint8_t, TJamSubfield::Size> EncodeJamSubfield(const TJamSubfield& R);
[[nodiscard]] bool DecodeJamSubfield(std::span<const std::uint8_t> In, TJamSubfield& R);

[[nodiscard]] std::array<std::uint8_t, TJamIndex::Size> EncodeJamIndex(const TJamIndex& R);
[[nodiscard]] bool DecodeJamIndex(std::span<const std::uint8_t> In, TJamIndex& R);

[[nodiscard]] std::array<std::uint8_t, TJamLastRead::Size> EncodeJamLastRead(const TJamLastRead& R);
[[nodiscard]] bool DecodeJamLastRead(std::span<const std::uint8_t> In, TJamLastRead& R);

}  // namespace msgbase
