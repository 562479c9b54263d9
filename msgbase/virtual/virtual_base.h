// Message bases without files: a TMessageBase whose message text is a stream
// handed in by its user. They give every text-level operation of the abstract
// base (lines, control-line search and editing, addresses from control lines,
// the origin line) on any stream without opening a base. Base-level and
// message-level operations stay those of TMessageBase, which end the program
// with run-time error 217.
//
// Two kinds: TVirtualMessageBase over a TStream of the application's object
// library (object_stream.h), reached through TVirtualStreamLinker, and
// TVirtualMessageBaseOmbra over a message-base stream, which the *.msg base
// uses to scan the control lines of a message file in place. Two copy
// procedures move bytes between the two kinds of stream.
#pragma once

#include <cstdint>

#include "msgbase/message_base.h"
#include "msgbase/stream.h"
#include "msgbase/virtual/object_stream.h"

namespace msgbase {

// Pseudo file name and mode under which a linker announces itself to the
// RegisterFileOpen hook.
inline constexpr const char* VirtualStreamName = "$LOCKKESTREL";
inline constexpr std::int32_t VirtualStreamMode = 1;

// Adapts a TStream (not owned; it must outlive the linker) to the message-base
// stream interface. Read, Write, Seek, Flush, Truncate and Reset copy the
// wrapped stream's status, sign-extended, into the linker's status afterwards;
// GetPos and GetSize leave it alone. CopyFrom is the message-base stream's own.
class TVirtualStreamLinker : public TMessageBaseStream {
 public:
  explicit TVirtualStreamLinker(TStream& Stream);

  void Read(void* Buf, std::uint16_t Count) override;
  void Write(const void* Buf, std::uint16_t Count) override;
  void Seek(std::int32_t Pos) override;
  [[nodiscard]] std::int32_t GetPos() override;
  [[nodiscard]] std::int32_t GetSize() override;
  void Flush() override;
  void Truncate() override;
  void Reset() override;

 private:
  void TakeStatus() { SetStatus(Stream_.GetStatus()); }

  TStream& Stream_;
};

// A virtual base over a TStream. The base owns only the linker: destroying the
// base disposes of the linker, and Stream stays usable by its owner.
class TVirtualMessageBase : public TMessageBase {
 public:
  explicit TVirtualMessageBase(TStream& Stream);
  ~TVirtualMessageBase() override;
};

// A virtual base over a message-base stream, which it owns: destroying the base
// disposes of the stream. A user that must keep the stream takes it back first
// with ReleaseMessageTextStream.
class TVirtualMessageBaseOmbra : public TMessageBase {
 public:
  explicit TVirtualMessageBaseOmbra(PMessageBaseStream Stream);
  ~TVirtualMessageBaseOmbra() override;
};

// Copy Count bytes from the current position of Source to the current position
// of Dest, in pieces of at most 4097 bytes. Statuses are not tested and an
// error does not stop the copy; a Count of 0 or less copies nothing.
void CopyFromOmbraStream(TMessageBaseStream& Source, TStream& Dest, std::int32_t Count);
void CopyFromTVStream(TStream& Source, TMessageBaseStream& Dest, std::int32_t Count);

}  // namespace msgbase
