// The Squish base's sources (squish_base.cpp, squish_read.cpp,
// squish_write.cpp, squish_repair.cpp) share these: where frames start, the
// sizes of the records and how far a stream reaches, and one record read or
// written whole through its encoder. Private to those sources.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "msgbase/squish/squish_format.h"
#include "msgbase/status.h"
#include "msgbase/stream.h"

namespace msgbase::squish_layout {

// Frames start after the base header; nothing below this offset is a frame.
inline constexpr std::uint32_t FirstFramePos = TSquishBaseHeader::Size;
inline constexpr std::int64_t FrameHeaderSize = TSquishFrame::Size;
inline constexpr std::int64_t MessageHeaderSize = TSquishMessageHeader::Size;
inline constexpr std::int32_t IndexRecordSize = TSquishIndex::Size;
inline constexpr std::int64_t MaxStreamPos = std::numeric_limits<std::int32_t>::max();

inline constexpr std::uint8_t KludgeByte = 0x01;

// The data, index and lastread files, in this order (also in the record of a
// transaction).
enum TSquishFile : std::size_t { sfData = 0, sfIndex = 1, sfLastRead = 2 };

template <typename TRecord>
void WriteRecord(TMessageBaseStream& Stream, const TRecord& Record) {
  std::array<std::uint8_t, TRecord::Size> Buf{};
  Record.Encode(Buf);
  Stream.WriteBuffer(Buf);
}

// False when the stream fails; Record is then left as it was.
template <typename TRecord>
bool ReadRecord(TMessageBaseStream& Stream, TRecord& Record) {
  std::array<std::uint8_t, TRecord::Size> Buf{};
  Stream.ReadBuffer(Buf);
  if (Stream.GetStatus() != stOk) return false;
  return Record.Decode(Buf);
}

}  // namespace msgbase::squish_layout
