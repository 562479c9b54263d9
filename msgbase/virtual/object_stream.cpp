#include "msgbase/virtual/object_stream.h"

#include <cstring>
#include <limits>

namespace msgbase {

void TMemoryStream::Read(void* Buf, std::uint16_t Count) {
  auto* Out = static_cast<std::uint8_t*>(Buf);
  std::memset(Out, 0, Count);
  if (GetStatus() != tsOk) return;
  const auto Size = static_cast<std::int64_t>(Data_.size());
  const std::int64_t Available = Size > Position_ ? Size - Position_ : 0;
  const auto Taken = static_cast<std::size_t>(Available < Count ? Available : Count);
  if (Taken > 0) std::memcpy(Out, Data_.data() + Position_, Taken);
  Position_ += static_cast<std::int32_t>(Taken);
  if (Taken < Count) Fail(tsReadError);
}

void TMemoryStream::Write(const void* Buf, std::uint16_t Count) {
  if (GetStatus() != tsOk) return;
  const std::int64_t End = static_cast<std::int64_t>(Position_) + Count;
  const std::int64_t Limit = MaxSize_ > 0 ? MaxSize_ : std::numeric_limits<std::int32_t>::max();
  if (End > Limit) {
    Fail(tsWriteError);
    return;
  }
  if (End > static_cast<std::int64_t>(Data_.size())) Data_.resize(static_cast<std::size_t>(End));
  if (Count > 0) std::memcpy(Data_.data() + Position_, Buf, Count);
  Position_ = static_cast<std::int32_t>(End);
}

void TMemoryStream::Seek(std::int32_t Pos) {
  if (GetStatus() != tsOk) return;
  if (Pos < 0) {
    Fail(tsSeekError);
    return;
  }
  Position_ = Pos;
}

std::int32_t TMemoryStream::GetPos() {
  return GetStatus() == tsOk ? Position_ : -1;
}

std::int32_t TMemoryStream::GetSize() {
  return GetStatus() == tsOk ? static_cast<std::int32_t>(Data_.size()) : -1;
}

void TMemoryStream::Truncate() {
  if (GetStatus() != tsOk) return;
  Data_.resize(static_cast<std::size_t>(Position_));
}

}  // namespace msgbase
