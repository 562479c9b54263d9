// A plain byte-stream interface of the application's own object library,
// independent of the message-base streams, plus a growable in-memory
// implementation. A virtual message base reads and writes message text on any
// stream of this kind through TVirtualStreamLinker (virtual_base.h).
//
// Status is a signed 16-bit code: 0 while everything succeeded, otherwise the
// code of the first failure, sticky until Reset. While it is not 0 the memory
// stream's reads, writes, seeks and truncations do nothing (a read fills its
// buffer with zero bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace msgbase {

// Status codes of a TStream.
inline constexpr std::int16_t tsOk = 0;
inline constexpr std::int16_t tsError = -1;       // a general failure
inline constexpr std::int16_t tsReadError = -3;   // read past the end
inline constexpr std::int16_t tsWriteError = -4;  // write beyond the limit
inline constexpr std::int16_t tsSeekError = -7;   // negative position

class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Copies Count bytes at the current position into Buf and advances.
  virtual void Read(void* Buf, std::uint16_t Count) = 0;
  // Writes Count bytes from Buf at the current position and advances.
  virtual void Write(const void* Buf, std::uint16_t Count) = 0;
  virtual void Seek(std::int32_t Pos) = 0;
  [[nodiscard]] virtual std::int32_t GetPos() = 0;
  [[nodiscard]] virtual std::int32_t GetSize() = 0;
  virtual void Flush() = 0;
  // Makes the current position the end.
  virtual void Truncate() = 0;
  // Clears the error state: Status back to tsOk.
  virtual void Reset() { Status_ = tsOk; }

  [[nodiscard]] std::int16_t GetStatus() const { return Status_; }

 protected:
  // Records a failure; the first one sticks until Reset.
  void Fail(std::int16_t Code) {
    if (Status_ == tsOk) Status_ = Code;
  }

 private:
  std::int16_t Status_ = tsOk;
};

using PStream = std::unique_ptr<TStream>;

// Bytes in memory. A read past the end copies what there is, zero-fills the
// rest and fails with tsReadError; a write past the end grows the stream (a
// gap left by a seek beyond the end reads as zeros). MaxSize, when not 0,
// bounds the size: a write that would pass it writes nothing and fails with
// tsWriteError, which lets a caller model a full device.
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::int32_t MaxSize = 0) : MaxSize_(MaxSize) {}

  void Read(void* Buf, std::uint16_t Count) override;
  void Write(const void* Buf, std::uint16_t Count) override;
  void Seek(std::int32_t Pos) override;
  [[nodiscard]] std::int32_t GetPos() override;
  [[nodiscard]] std::int32_t GetSize() override;
  void Flush() override {}
  void Truncate() override;

  // The stored bytes, for the owner's inspection.
  [[nodiscard]] const std::vector<std::uint8_t>& GetBytes() const { return Data_; }

 private:
  std::vector<std::uint8_t> Data_;
  std::int32_t Position_ = 0;
  std::int32_t MaxSize_ = 0;
};

}  // namespace msgbase
