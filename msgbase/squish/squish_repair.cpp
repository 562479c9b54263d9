// The Squish base, repair at open of a base without a transaction record (one
// an earlier version or other software left): what a writer that died left
// past its last commit, and nothing counted refers to, is cut away.
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

bool TSquishMessageBase::RepairAfterCrash() {
  TMessageBaseStream& Data = *DataStream_;
  TMessageBaseStream& Index = *IndexStream_;
  const std::int64_t IndexSize = StreamSize(&Index);
  const std::int64_t Counted = static_cast<std::int64_t>(BaseHeader_.NumMsg) * IndexRecordSize;
  if (IndexSize < 0 || StreamSize(&Data) < FirstFramePos) return false;
  bool Repaired = false;

  // Index records past the count go when every one of them carries an id
  // the base header has not given out yet: a writer that died before its
  // commit wrote them. Any other record is left as it is.
  if (IndexSize > Counted) {
    bool Uncommitted = true;
    TSquishIndex Idx;
    for (std::int64_t Pos = Counted; Pos + IndexRecordSize <= IndexSize && Uncommitted;
         Pos += IndexRecordSize) {
      Index.Seek(static_cast<std::int32_t>(Pos));
      Uncommitted = ReadRecord(Index, Idx) && Idx.UMsgId >= BaseHeader_.Uid;
    }
    if (Uncommitted) {
      Index.Seek(static_cast<std::int32_t>(Counted));
      Index.Truncate();
      Repaired = true;
    }
  }

  // The tail of the data file past EndFrame (a frame written, whole or torn,
  // by a writer that died before its commit) goes when nothing counted lies
  // there: no chain end and no counted index record.
  const std::uint32_t End = BaseHeader_.EndFrame;
  if (End >= FirstFramePos && StreamSize(&Data) > End && BaseHeader_.BeginFrame < End &&
      BaseHeader_.LastFrame < End && BaseHeader_.FreeFrame < End &&
      BaseHeader_.LastFreeFrame < End) {
    std::vector<std::uint8_t> Records(static_cast<std::size_t>(
        std::min(Counted, StreamSize(&Index)) / IndexRecordSize * IndexRecordSize));
    Index.Seek(0);
    Index.ReadBuffer(Records);
    bool Inside = Index.GetStatus() == stOk;
    for (std::size_t At = 0; Inside && At < Records.size(); At += IndexRecordSize) {
      TSquishIndex Idx;
      Inside = Idx.Decode(std::span<const std::uint8_t>(Records).subspan(At, IndexRecordSize)) &&
               Idx.Ofs < End;
    }
    if (Inside) {
      Data.Seek(static_cast<std::int32_t>(End));
      Data.Truncate();
      Repaired = true;
    }
  }

  // The last counted frame leads nowhere: a link to a frame whose message id
  // the header has not given out, or to no frame at all, is cut.
  TSquishFrame Last;
  if (ReadFrame(BaseHeader_.LastFrame, Last) && Last.Id == SquishFrameId && Last.NextFrame != 0) {
    TSquishFrame Next;
    TSquishMessageHeader Header;
    bool Dangling = !ReadFrame(Last.NextFrame, Next) || Next.Id != SquishFrameId;
    if (!Dangling && Next.FrameType == sqfMessage) {
      Data.Seek(static_cast<std::int32_t>(Last.NextFrame + FrameHeaderSize));
      Dangling = !ReadRecord(Data, Header) || Header.UMsgId >= BaseHeader_.Uid;
    }
    if (Dangling) {
      Last.NextFrame = 0;
      if (!SetFrame(BaseHeader_.LastFrame, Last)) return false;
      Repaired = true;
    }
  }

  // The free chain only serves writers. One that a writer left broken (a
  // frame taken from it but not yet counted) is given up whole: its frames
  // are lost for reuse, never a message.
  if (!FreeChainSound()) {
    BaseHeader_.FreeFrame = 0;
    BaseHeader_.LastFreeFrame = 0;
    if (!SaveBaseHeader()) return false;
    Repaired = true;
  }
  if (!Repaired) return true;
  Data.Flush();
  Index.Flush();
  return Data.GetStatus() == stOk && Index.GetStatus() == stOk;
}

bool TSquishMessageBase::FreeChainSound() {
  const std::int64_t Size = StreamSize(DataStream_.get());
  const std::int64_t MaxSteps = (Size - FirstFramePos) / FrameHeaderSize + 1;
  std::uint32_t Prev = 0;
  std::uint32_t Pos = BaseHeader_.FreeFrame;
  for (std::int64_t Step = 0; Pos != 0; ++Step) {
    TSquishFrame Frame;
    if (Step >= MaxSteps || !ReadFrame(Pos, Frame) || Frame.Id != SquishFrameId ||
        Frame.FrameType != sqfFree || Frame.PrevFrame != Prev ||
        static_cast<std::int64_t>(Pos) + FrameHeaderSize + Frame.FrameLength > Size) {
      return false;
    }
    Prev = Pos;
    Pos = Frame.NextFrame;
  }
  return Prev == BaseHeader_.LastFreeFrame;
}

}  // namespace msgbase
