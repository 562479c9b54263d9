#include "msgbase/virtual/virtual_base.h"

#include <array>
#include <memory>
#include <utility>

namespace msgbase {

namespace {

// Piece size of the copy procedures, and the buffer that carries one piece.
constexpr std::int32_t CopyPieceSize = 4097;
using TCopyBuffer = std::array<std::uint8_t, 4100>;
static_assert(CopyPieceSize <= static_cast<std::int32_t>(sizeof(TCopyBuffer)));

// Both kinds of stream share Read and Write with the same shape, so one loop
// serves either direction.
template <typename TSource, typename TDest>
void CopyInPieces(TSource& Source, TDest& Dest, std::int32_t Count) {
  TCopyBuffer Buffer{};
  while (Count > 0) {
    const auto Piece = static_cast<std::uint16_t>(Count < CopyPieceSize ? Count : CopyPieceSize);
    Source.Read(Buffer.data(), Piece);
    Dest.Write(Buffer.data(), Piece);
    Count -= Piece;
  }
}

}  // namespace

TVirtualStreamLinker::TVirtualStreamLinker(TStream& Stream)
    : TMessageBaseStream(VirtualStreamName, VirtualStreamMode), Stream_(Stream) {}

void TVirtualStreamLinker::Read(void* Buf, std::uint16_t Count) {
  Stream_.Read(Buf, Count);
  TakeStatus();
}

void TVirtualStreamLinker::Write(const void* Buf, std::uint16_t Count) {
  Stream_.Write(Buf, Count);
  TakeStatus();
}

void TVirtualStreamLinker::Seek(std::int32_t Pos) {
  Stream_.Seek(Pos);
  TakeStatus();
}

std::int32_t TVirtualStreamLinker::GetPos() {
  return Stream_.GetPos();
}

std::int32_t TVirtualStreamLinker::GetSize() {
  return Stream_.GetSize();
}

void TVirtualStreamLinker::Flush() {
  Stream_.Flush();
  TakeStatus();
}

void TVirtualStreamLinker::Truncate() {
  Stream_.Truncate();
  TakeStatus();
}

void TVirtualStreamLinker::Reset() {
  Stream_.Reset();
  TakeStatus();
}

TVirtualMessageBase::TVirtualMessageBase(TStream& Stream) {
  SetMessageTextStream(std::make_unique<TVirtualStreamLinker>(Stream));
}

TVirtualMessageBase::~TVirtualMessageBase() {
  SetMessageTextStream(nullptr);
}

TVirtualMessageBaseOmbra::TVirtualMessageBaseOmbra(PMessageBaseStream Stream) {
  SetMessageTextStream(std::move(Stream));
}

TVirtualMessageBaseOmbra::~TVirtualMessageBaseOmbra() {
  SetMessageTextStream(nullptr);
}

void CopyFromOmbraStream(TMessageBaseStream& Source, TStream& Dest, std::int32_t Count) {
  CopyInPieces(Source, Dest, Count);
}

void CopyFromTVStream(TStream& Source, TMessageBaseStream& Dest, std::int32_t Count) {
  CopyInPieces(Source, Dest, Count);
}

}  // namespace msgbase
