// The JAM base, repair at open: what a writer that died left past the last
// header and text the index refers to is cut away.
#include "msgbase/jam/jam_base.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_set>

#include "msgbase/address.h"
#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/status.h"

namespace msgbase {

bool TJamMessageBase::TrimUnreferencedTails() {
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  const std::int64_t DataSize = DataStream_->GetSize();
  const std::int64_t Records = Records_;
  constexpr auto FixedSize = static_cast<std::int64_t>(TJamMessageHeaderFirst::Size);
  // Where the message of index record N ends in the header and text files;
  // false when the record or its header cannot be read whole.
  const auto Ends = [&](std::int64_t N, std::int64_t& HeaderEnd, std::int64_t& TextEnd) {
    std::array<std::uint8_t, TJamIndex::Size> RawIndex{};
    IndexStream_->Seek(static_cast<std::int32_t>(N * static_cast<std::int64_t>(TJamIndex::Size)));
    IndexStream_->ReadBuffer(RawIndex);
    TJamIndex Index;
    if (IndexStream_->GetStatus() != stOk || !DecodeJamIndex(RawIndex, Index) ||
        Index.HdrOffset < TJamHeaderInfo::Size ||
        static_cast<std::int64_t>(Index.HdrOffset) + FixedSize > HeaderSize) {
      return false;
    }
    std::array<std::uint8_t, TJamMessageHeaderFirst::Size> RawHeader{};
    HeaderStream_->Seek(static_cast<std::int32_t>(Index.HdrOffset));
    HeaderStream_->ReadBuffer(RawHeader);
    TJamMessageHeaderFirst Header;
    if (HeaderStream_->GetStatus() != stOk || !DecodeJamMessageHeader(RawHeader, Header) ||
        Header.Signature != JamSignature) {
      return false;
    }
    HeaderEnd = static_cast<std::int64_t>(Index.HdrOffset) + FixedSize + Header.SubfieldLen;
    TextEnd = static_cast<std::int64_t>(Header.Offset) + Header.TxtLen;
    return HeaderEnd <= HeaderSize && TextEnd <= DataSize;
  };
  // Usually the last message ends both files and nothing is to be done.
  std::int64_t HeaderEnd = TJamHeaderInfo::Size;
  std::int64_t TextEnd = 0;
  if (Records > 0 && !Ends(Records - 1, HeaderEnd, TextEnd)) return ResetAll(), true;
  if (HeaderEnd == HeaderSize && TextEnd == DataSize) return true;
  // Bytes past the end of every message the index refers to were appended
  // by a writer that died before its index record: nothing refers to them,
  // and they go. A base whose records cannot all be read is left alone.
  for (std::int64_t N = 0; N + 1 < Records; ++N) {
    std::int64_t H = 0;
    std::int64_t T = 0;
    if (!Ends(N, H, T)) return ResetAll(), true;
    HeaderEnd = std::max(HeaderEnd, H);
    TextEnd = std::max(TextEnd, T);
  }
  for (const auto& [Stream, End] :
       {std::pair{HeaderStream_.get(), HeaderEnd}, std::pair{DataStream_.get(), TextEnd}}) {
    if (Stream->GetSize() > End) {
      Stream->Seek(static_cast<std::int32_t>(End));
      Stream->Truncate();
    }
  }
  return SyncAll();
}

}  // namespace msgbase
