// The stored records and constants of the Squish base: the 256-byte base
// header at the start of the data file (.sqd), the 28-byte frame header in
// front of every frame, the 238-byte message header at the start of a message
// frame's room, and the 12-byte index record (.sqi). The byte layout, the
// chain invariants and a dump of a small base are in docs/squish_format.md.
//
// Every record is a plain struct with host-typed fields in stored order.
// Encode writes exactly Size bytes; Decode refuses (false, nothing read) a
// buffer shorter than Size. Numbers are little-endian, unsigned unless noted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "msgbase/address.h"

namespace msgbase {

// Signature in the first dword of every frame header (bytes 53 44 AE AF).
inline constexpr std::uint32_t SquishFrameId = 0xAFAE4453;

// FrameType values.
inline constexpr std::uint16_t sqfMessage = 0;
inline constexpr std::uint16_t sqfFree = 1;

// Written into every new base and never enforced: there is no purge by count
// or by age.
inline constexpr std::uint32_t SquishMaxMsg = 65535;
inline constexpr std::uint16_t SquishKeepDays = 32767;

// The control area of one message (its leading control lines and a NUL): the
// writer assembles it in a buffer of SquishControlBufferSize bytes, and a
// reader refuses a ClenLength above SquishMaxClenLength (an area that, with one
// byte for an end mark, would not fit 65520 bytes). The writer keeps every
// area within that limit.
inline constexpr std::size_t SquishControlBufferSize = 65521;
inline constexpr std::uint32_t SquishMaxClenLength = 65519;

// Attribute bits of TSquishMessageHeader.Attr beyond the common ones.
inline constexpr std::uint32_t sqaPrivate = 0x00000001;
inline constexpr std::uint32_t sqaCrash = 0x00000002;
inline constexpr std::uint32_t sqaReceived = 0x00000004;
inline constexpr std::uint32_t sqaSent = 0x00000008;
inline constexpr std::uint32_t sqaFileAttached = 0x00000010;
inline constexpr std::uint32_t sqaInTransit = 0x00000020;
inline constexpr std::uint32_t sqaOrphan = 0x00000040;
inline constexpr std::uint32_t sqaKillSent = 0x00000080;
inline constexpr std::uint32_t sqaLocal = 0x00000100;
inline constexpr std::uint32_t sqaHold = 0x00000200;
inline constexpr std::uint32_t sqaFileRequest = 0x00000800;
inline constexpr std::uint32_t sqaReturnReceiptRequest = 0x00001000;
inline constexpr std::uint32_t sqaIsReturnReceipt = 0x00002000;
inline constexpr std::uint32_t sqaAuditRequest = 0x00004000;
inline constexpr std::uint32_t sqaUpdateRequest = 0x00008000;
inline constexpr std::uint32_t sqaScanned = 0x00010000;
// Set in every message this library creates.
inline constexpr std::uint32_t sqaUid = 0x00020000;
// The read mark of GetRead/SetRead.
inline constexpr std::uint32_t sqaRead = 0x00080000;

// The data file's header, offset 0 of the .sqd file.
struct TSquishBaseHeader {
  static constexpr std::size_t Size = 256;
  static constexpr std::size_t BaseNameSize = 80;

  std::uint16_t Len = 0;                      // size of this header (256)
  std::uint16_t Reserved1 = 0;                //
  std::uint32_t NumMsg = 0;                   // messages in the base
  std::uint32_t HighMsg = 0;                  // highest message number; moves with NumMsg
  std::uint32_t SkipMsg = 0;                  // unused here
  std::uint32_t HighWater = 0;                // high-water mark, a message id
  std::uint32_t Uid = 0;                      // id the next new message receives
  std::array<char, BaseNameSize> BaseName{};  // base path without its final "."
  std::uint32_t BeginFrame = 0;               // first frame of the message chain, 0 when empty
  std::uint32_t LastFrame = 0;                // last frame of the message chain, 0 when empty
  std::uint32_t FreeFrame = 0;                // first frame of the free chain, 0 when empty
  std::uint32_t LastFreeFrame = 0;            // last frame of the free chain, 0 when empty
  std::uint32_t EndFrame = 0;                 // just past the last frame appended at the end
  std::uint32_t MaxMsg = 0;                   // SquishMaxMsg; never read back
  std::uint16_t KeepDays = 0;                 // SquishKeepDays; never read back
  std::uint16_t SzSqHdr = 0;                  // size of the message header (238)
  std::array<std::uint8_t, 124> Reserved2{};

  void Encode(std::span<std::uint8_t, Size> Out) const;
  [[nodiscard]] bool Decode(std::span<const std::uint8_t> In);
};

// The header in front of every frame of the data file. A frame is this header
// and FrameLength bytes of room; a message uses the first MsgLength of them.
struct TSquishFrame {
  static constexpr std::size_t Size = 28;

  std::uint32_t Id = 0;           // SquishFrameId
  std::uint32_t NextFrame = 0;    // next frame of the same chain, 0 at the end
  std::uint32_t PrevFrame = 0;    // previous frame of the same chain, 0 at the start
  std::uint32_t FrameLength = 0;  // bytes of room after this header
  std::uint32_t MsgLength = 0;    // room in use: message header, control area, text, NUL
  std::uint32_t ClenLength = 0;   // control area including its NUL
  std::uint16_t FrameType = 0;    // sqfMessage or sqfFree
  std::uint16_t Reserved = 0;

  void Encode(std::span<std::uint8_t, Size> Out) const;
  [[nodiscard]] bool Decode(std::span<const std::uint8_t> In);
};

// Ids of the answers to a message.
using TSquishMessageReplies = std::array<std::uint32_t, 9>;

// The header at the start of a message frame's room.
struct TSquishMessageHeader {
  static constexpr std::size_t Size = 238;
  static constexpr std::size_t NameSize = 36;
  static constexpr std::size_t SubjectSize = 72;
  static constexpr std::size_t FtscDateSize = 20;

  std::uint32_t Attr = 0;                     // sqa* bits
  std::array<char, NameSize> From{};          // at most 35 characters and a NUL
  std::array<char, NameSize> To{};            // at most 35 characters and a NUL
  std::array<char, SubjectSize> Subject{};    // at most 71 characters and a NUL
  TAddress Orig;                              // four signed words
  TAddress Dest;                              // four signed words
  std::uint32_t DateWritten = 0;              // DOS date word first, then time word
  std::uint32_t DateArrived = 0;              // same form
  std::uint16_t UtcOfs = 0;                   // always 0 here
  std::uint32_t ReplyTo = 0;                  // id of the message answered, 0 if none
  TSquishMessageReplies Replies{};            // ids of answers, 0 where empty
  std::uint32_t UMsgId = 0;                   // the message's unique id
  std::array<char, FtscDateSize> FtscDate{};  // "06 Dec 26  14:05:08" and a NUL

  void Encode(std::span<std::uint8_t, Size> Out) const;
  [[nodiscard]] bool Decode(std::span<const std::uint8_t> In);
};

// One record of the index file per message, in ascending UMsgId order.
struct TSquishIndex {
  static constexpr std::size_t Size = 12;

  std::uint32_t Ofs = 0;     // offset of the message's frame in the data file
  std::uint32_t UMsgId = 0;  // the message's unique id
  std::uint32_t Hash = 0;    // MakeHash of the message's To name

  void Encode(std::span<std::uint8_t, Size> Out) const;
  [[nodiscard]] bool Decode(std::span<const std::uint8_t> In);
};

// Bytes of one lastread entry (.sql): user N's lastread id at offset 4 * N.
inline constexpr std::size_t SquishLastReadSize = 4;

}  // namespace msgbase
