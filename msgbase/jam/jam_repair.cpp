// The JAM base, repair at open: without a record of an unfinished change,
// nothing stored is cut. Whole message headers past the last index record
// get their records back, a zeroed index record is rebuilt from the headers,
// and what cannot be mended is left as it is and reported. A read-only open
// only reports.
#include <algorithm>
#include <unordered_set>

#include "msgbase/jam/jam_base.h"
#include "msgbase/status.h"

namespace msgbase {

namespace {

std::string Plural(std::size_t N, const std::string& One, const std::string& Many) {
  return std::to_string(N) + " " + (N == 1 ? One : Many);
}

}  // namespace

bool TJamMessageBase::ReadSignedHeader(std::uint32_t Offset, TJamMessageHeaderFirst& Header) {
  constexpr auto FixedSize = static_cast<std::int64_t>(TJamMessageHeaderFirst::Size);
  if (Offset < TJamHeaderInfo::Size || Offset == JamRemovedOffset ||
      static_cast<std::int64_t>(Offset) + FixedSize > HeaderStream_->GetSize()) {
    return false;
  }
  std::array<std::uint8_t, TJamMessageHeaderFirst::Size> Raw{};
  HeaderStream_->Seek(static_cast<std::int32_t>(Offset));
  HeaderStream_->ReadBuffer(Raw);
  if (HeaderStream_->GetStatus() != stOk || !DecodeJamMessageHeader(Raw, Header)) {
    ResetAll();
    return false;
  }
  return Header.Signature == JamSignature;
}

bool TJamMessageBase::ReadWholeHeader(std::uint32_t Offset, TJamMessageHeaderFirst& Header) {
  return ReadSignedHeader(Offset, Header) && Header.SubfieldLen <= JamSubfieldsSize &&
         static_cast<std::int64_t>(Offset) +
                 static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen <=
             HeaderStream_->GetSize() &&
         static_cast<std::int64_t>(Header.Offset) + Header.TxtLen <= DataStream_->GetSize();
}

std::vector<TJamMessageBase::THeaderScan> TJamMessageBase::ScanHeaders(std::int64_t From,
                                                                       std::int64_t& End) {
  std::vector<THeaderScan> Found;
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  End = From;
  TJamMessageHeaderFirst Header;
  while (End < HeaderSize && End <= JamMaxNumber &&
         ReadWholeHeader(static_cast<std::uint32_t>(End), Header)) {
    THeaderScan Scan{static_cast<std::uint32_t>(End), JamNoCrc,
                     (Header.Attribute & jaDeleted) != 0};
    // The receiver's name CRC from the subfields.
    std::vector<std::uint8_t> Area(Header.SubfieldLen);
    HeaderStream_->ReadBuffer(Area);
    for (std::size_t At = 0; HeaderStream_->GetStatus() == stOk && Area.size() - At >= 8;) {
      TJamSubfield Field;
      if (!DecodeJamSubfield(std::span(Area).subspan(At), Field) ||
          Field.DatLen > Area.size() - At - TJamSubfield::Size) {
        break;
      }
      if (Field.LoId == jsfReceiverName) {
        Scan.UserCrc = StrCRC32(std::string(
            reinterpret_cast<const char*>(Area.data() + At + TJamSubfield::Size), Field.DatLen));
      }
      At += TJamSubfield::Size + Field.DatLen;
    }
    ResetAll();
    Found.push_back(Scan);
    End += static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen;
  }
  return Found;
}

bool TJamMessageBase::ReindexHeaders() {
  IndexStream_->Reset();
  std::vector<std::uint8_t> Raw(static_cast<std::size_t>(Records_) * TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) return ResetAll(), true;  // left to the readers
  std::vector<TJamIndex> Index(Records_);
  for (std::size_t N = 0; N < Index.size(); ++N) {
    (void)DecodeJamIndex(std::span(Raw).subspan(N * TJamIndex::Size), Index[N]);
  }
  // Usually the last record's message ends the header file and every record
  // refers to a header: nothing to look for.
  const std::int64_t HeaderSize = HeaderStream_->GetSize();
  TJamMessageHeaderFirst Header;
  // A record that refers to no signed header is lost and rebuilt; one whose
  // header other software wrote with odd lengths is left to the readers.
  const auto Bad = [&](const TJamIndex& I) { return !ReadSignedHeader(I.HdrOffset, Header); };
  if (Index.empty()
          ? HeaderSize == static_cast<std::int64_t>(TJamHeaderInfo::Size)
          : (ReadWholeHeader(Index.back().HdrOffset, Header) &&
             static_cast<std::int64_t>(Index.back().HdrOffset) +
                     static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen ==
                 HeaderSize &&
             std::none_of(Index.begin(), Index.end(), [&](const TJamIndex& I) {
               return I.HdrOffset < TJamHeaderInfo::Size ||
                      static_cast<std::int64_t>(I.HdrOffset) >= HeaderSize;
             }))) {
    return true;
  }
  std::int64_t End = 0;
  const std::vector<THeaderScan> Headers = ScanHeaders(TJamHeaderInfo::Size, End);
  std::unordered_set<std::uint32_t> Referenced;
  std::uint32_t Last = 0;
  for (const TJamIndex& I : Index) {
    if (!Bad(I)) {
      Referenced.insert(I.HdrOffset);
      Last = std::max(Last, I.HdrOffset);
    }
  }
  // Headers no record refers to and that were not removed, in file order.
  std::vector<THeaderScan> Loose;
  for (const THeaderScan& H : Headers) {
    if (!H.Deleted && Referenced.count(H.Offset) == 0) Loose.push_back(H);
  }
  bool Changed = false;
  std::size_t Unmended = 0;
  // A run of bad records is rebuilt when exactly as many loose headers lie
  // between the records around it.
  for (std::size_t N = 0; N < Index.size();) {
    if (!Bad(Index[N])) {
      ++N;
      continue;
    }
    std::size_t Run = N;
    while (Run < Index.size() && Bad(Index[Run])) ++Run;
    const std::uint32_t Low = N == 0 ? 0 : Index[N - 1].HdrOffset;
    const std::uint32_t High = Run == Index.size() ? JamRemovedOffset : Index[Run].HdrOffset;
    std::vector<THeaderScan> Between;
    for (const THeaderScan& H : Loose) {
      if (H.Offset > Low && H.Offset < High) Between.push_back(H);
    }
    if (Between.size() == Run - N) {
      for (std::size_t K = 0; K < Between.size(); ++K) {
        Index[N + K] = TJamIndex{Between[K].UserCrc, Between[K].Offset};
        Referenced.insert(Between[K].Offset);
        Last = std::max(Last, Between[K].Offset);
      }
      Changed = true;
    } else {
      Unmended += Run - N;
    }
    N = Run;
  }
  // Whole headers past the last one the index refers to: messages stored
  // whole whose records were lost. They are indexed again.
  for (const THeaderScan& H : Loose) {
    if (H.Offset > Last && Referenced.count(H.Offset) == 0) {
      Index.push_back(TJamIndex{H.UserCrc, H.Offset});
      Changed = true;
    }
  }
  if (Unmended > 0) {
    Inconsistencies_.push_back(Plural(Unmended, "index record refers", "index records refer") +
                               " to no whole message header and could not be rebuilt");
  }
  if (End < HeaderSize) {
    Inconsistencies_.push_back("the header file holds " + std::to_string(HeaderSize - End) +
                               " bytes past its last whole message header");
  }
  if (!Changed) return true;
  if (static_cast<std::int64_t>(HeaderInfo_.BaseMsgNum) + static_cast<std::int64_t>(Index.size()) +
          1 >
      JamMaxNumber) {
    return true;
  }
  std::vector<std::uint8_t> Out;
  Out.reserve(Index.size() * TJamIndex::Size);
  for (const TJamIndex& I : Index) {
    const auto Record = EncodeJamIndex(I);
    Out.insert(Out.end(), Record.begin(), Record.end());
  }
  if (!Protect(jfIndex, 0, static_cast<std::int64_t>(Raw.size())) ||
      !WriteAt(*IndexStream_, 0, Out)) {
    return false;
  }
  Records_ = static_cast<std::uint32_t>(Index.size());
  std::uint32_t Live = 0;
  for (const TJamIndex& I : Index) Live += Bad(I) || !IsDeletedAt(I.HdrOffset) ? 1U : 0U;
  HeaderInfo_.ActiveMsgs = Live;
  return true;
}

void TJamMessageBase::NoteInconsistencies(std::int32_t StoredCount) {
  TIntent Intent;
  const TIntentState State = ReadIntent(RecordPath(), Intent);
  if (State == TIntentState::Whole) {
    Inconsistencies_.push_back("an unfinished change begun by process " +
                               std::to_string(Intent.Pid) +
                               " is there, for the next open for writing to finish or undo");
  } else if (State != TIntentState::None) {
    Inconsistencies_.push_back("an unfinished change's record is there and cannot be read");
  }
  // What lies past the counted ends then belongs to that change.
  if (State != TIntentState::None) return;
  // The index as it lies on disk; records marked removed are no messages.
  const std::int32_t Size = std::max(IndexStream_->GetSize(), 0);
  std::vector<std::uint8_t> Raw(static_cast<std::size_t>(Size) -
                                static_cast<std::size_t>(Size) % TJamIndex::Size);
  IndexStream_->Seek(0);
  IndexStream_->ReadBuffer(Raw);
  if (IndexStream_->GetStatus() != stOk) return ResetAll();
  std::vector<std::uint32_t> Offsets;
  std::uint32_t Zeroed = 0;
  std::uint32_t LastOffset = 0;
  for (std::size_t At = 0; At < Raw.size(); At += TJamIndex::Size) {
    TJamIndex Index;
    if (!DecodeJamIndex(std::span(Raw).subspan(At), Index) || Index.HdrOffset == JamRemovedOffset) {
      continue;
    }
    Offsets.push_back(Index.HdrOffset);
    if (Index.HdrOffset < TJamHeaderInfo::Size) ++Zeroed;
    LastOffset = std::max(LastOffset, Index.HdrOffset);
  }
  // Other software leaves messages marked deleted out of the count: the
  // headers are read only when the count is not the number of records.
  if (static_cast<std::int64_t>(StoredCount) != static_cast<std::int64_t>(Offsets.size())) {
    std::uint32_t Live = 0;
    for (const std::uint32_t Offset : Offsets) Live += IsDeletedAt(Offset) ? 0U : 1U;
    if (static_cast<std::int64_t>(StoredCount) != Live) {
      Inconsistencies_.push_back(
          "the base header counts " +
          Plural(static_cast<std::uint32_t>(StoredCount), "message", "messages") +
          " but the index holds " + std::to_string(Live));
    }
  }
  // Headers past the end of the last message the index refers to (when
  // that message is whole: otherwise the end is not known).
  TJamMessageHeaderFirst Header;
  std::int64_t LastEnd = TJamHeaderInfo::Size;
  if (!Offsets.empty()) {
    LastEnd = ReadWholeHeader(LastOffset, Header)
                  ? static_cast<std::int64_t>(LastOffset) +
                        static_cast<std::int64_t>(TJamMessageHeaderFirst::Size) + Header.SubfieldLen
                  : HeaderStream_->GetSize();
  }
  if (Zeroed > 0) {
    Inconsistencies_.push_back(Plural(Zeroed, "index record is", "index records are") + " zeroed");
  }
  if (LastEnd < HeaderStream_->GetSize()) {
    std::int64_t End = 0;
    std::size_t Loose = 0;
    for (const THeaderScan& H : ScanHeaders(LastEnd, End)) Loose += H.Deleted ? 0 : 1;
    if (Loose > 0) {
      Inconsistencies_.push_back(Plural(Loose, "message header lies", "message headers lie") +
                                 " past the last index record without a record of its own");
    }
  }
}

}  // namespace msgbase
