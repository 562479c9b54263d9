// Byte streams under every base file and every message text, and the directory
// search. Base formats obtain them only through the factories below and never
// name the concrete classes, so other streams (the virtual base's adapter, for
// instance) fit under the same interface.
//
// A stream records the code of its first failure in its status (codes in
// msgbase/status.h), which is sticky until Reset: after a failure a file
// stream's reads deliver zero bytes, its writes, seeks and truncations do
// nothing, and GetPos and GetSize give -1. Memory streams never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace msgbase {

// Buffer size for one control line.
inline constexpr std::int32_t MaxLineSize = 16384;
// Size hint of message-text memory streams.
inline constexpr std::int32_t MaxMessageSize = 65536;

// Open modes of file streams: the low byte selects the kind, the second byte
// holds the sharing request.
inline constexpr std::int32_t smCreate = 0x01;     // make or empty the file, read and write
inline constexpr std::int32_t smReadWrite = 0x02;  // existing file, read and write
inline constexpr std::int32_t smRead = 0x04;       // existing file, read only
inline constexpr std::int32_t smWrite = 0x08;      // existing file, write only
// With smCreate: the name must be new. The open fails when anything stands at
// it (a file, a folder, a link, a dangling link) instead of emptying it or
// writing through it; every file the library makes is made this way. A plain
// smCreate empties an existing regular file but never follows a link either.
// A new file takes the group of the folder it is made in, and when the
// process runs as root the folder's owner too, so that the program that owns
// the area (a tosser) can update it; its permissions are 0666 less the umask
// until SetPermissions says otherwise.
inline constexpr std::int32_t smNew = 0x1000;
// Deny-write request ($20 in the second byte): the stream holds an exclusive
// advisory lock on the file (flock) from open to disposal; opening fails with
// stStreamOpenFailed while any other open stream holds it, in this process or
// another.
inline constexpr std::int32_t smDenyWrite = 0x2000;
// Deny-write for readers: a shared flock instead of the exclusive one, so any
// number of readers hold a file at once while a deny-write holder keeps them
// out (and they keep it out).
inline constexpr std::int32_t smDenyWriteShared = 0x4000;
// Also hold a POSIX record lock on the file's first byte, the lock other
// FidoNet software on Linux serialises its writers with: a write lock for a
// stream that may write, a read lock for a read-only one. It is an
// open-file-description lock (F_OFD_SETLK), so it stays while the stream lives
// even when another descriptor of the same file is closed; opening fails with
// stStreamOpenFailed while a conflicting lock is held.
inline constexpr std::int32_t smRecordLock = 0x8000;

// With smRead: the caller has just listed the name as a regular file itself,
// not a link to one (TMessageBaseFind::IsPlainFile), and reads it whole with
// ReadAtMost. The file is opened without following a link and not looked up
// again, which spares a system call a file: its size and identity are looked
// up only when asked for. Whatever was put at the name since fails to open (a
// link, a socket) or fails at the first read (a FIFO, a folder), never waits;
// only a device node would be read, and only the superuser can make one.
inline constexpr std::int32_t smKnownRegular = 0x10000;

// Directory-entry attribute bits of TMessageBaseFind.
inline constexpr std::int32_t faReadOnly = 0x01;  // the owner may not write it
inline constexpr std::int32_t faDirectory = 0x10;
inline constexpr std::int32_t faArchive = 0x20;  // any entry that is not a directory
inline constexpr std::int32_t faAnyFile = 0x3F;
// Not an entry's bit but a request to StartSearch: the caller needs names and
// the directory bit only. Where the directory listing itself tells a regular
// file from a directory, the entry is not looked up: its read-only bit, time
// and size are then 0. Saves one lookup per entry in large *.msg directories.
inline constexpr std::int32_t faNamesOnly = 0x40;

// Ends the program at once with run-time error 217: one report line on standard
// output, exit status 217. Every operation a class leaves abstract calls it.
[[noreturn]] void Abstract();

// What tells one file from another and from a later version of itself: its
// device and inode, its size and its modification time. A file rewritten in
// place changes its time; one written anew and renamed over has another inode.
struct TFileIdentity {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::int64_t Size = 0;
  std::int64_t ModifiedSeconds = 0;
  std::int64_t ModifiedNanoseconds = 0;
  bool operator==(const TFileIdentity&) const = default;
};

// The identity of the file a name stands for (through a link); false when
// there is none.
[[nodiscard]] bool GetFileIdentity(const std::string& Name, TFileIdentity& Identity);
// The permission bits of the file a name stands for; false when there is none.
[[nodiscard]] bool GetFilePermissions(const std::string& Name, std::uint32_t& Mode);

// Why the last file stream that failed to open did so: stStreamNotRegular,
// stStreamAccessDenied, stStreamLocked, stStreamExists or stStreamOpenFailed
// (anything else); stOk when none failed since ResetFileOpenFailure. The
// stream's own status stays stStreamOpenFailed: this is for a caller that
// must tell a held base from one it may not touch. Module state, like the
// hooks.
[[nodiscard]] std::int32_t GetFileOpenFailure();
void ResetFileOpenFailure();

class TMessageBaseStream;
using PMessageBaseStream = std::unique_ptr<TMessageBaseStream>;

// Hooks that see every stream being constructed and disposed of, memory
// streams included (empty name, mode 0). They run inside the stream's
// constructor and destructor, so they may remember the stream's address, name
// and mode but must not call its operations. The program never replaces them.
using TRegisterFileOpenProc = void (*)(const std::string& FileName, std::int32_t Mode,
                                       TMessageBaseStream& Stream);
using TRegisterFileCloseProc = void (*)(TMessageBaseStream& Stream);
void DefaultRegisterFileOpen(const std::string& FileName, std::int32_t Mode,
                             TMessageBaseStream& Stream);
void DefaultRegisterFileClose(TMessageBaseStream& Stream);
inline TRegisterFileOpenProc RegisterFileOpen = DefaultRegisterFileOpen;
inline TRegisterFileCloseProc RegisterFileClose = DefaultRegisterFileClose;

class TMessageBaseStream {
 public:
  // Status 0; remembers FileName (cut to 255 characters) and Mode; calls
  // RegisterFileOpen.
  TMessageBaseStream(const std::string& FileName, std::int32_t Mode);
  // Calls RegisterFileClose; a concrete stream has released its resources before.
  virtual ~TMessageBaseStream();
  TMessageBaseStream(const TMessageBaseStream&) = delete;
  TMessageBaseStream& operator=(const TMessageBaseStream&) = delete;

  // Copies Count bytes from Source's position to this stream's position in
  // 16384-byte pieces. Statuses are not tested between pieces: a failing source
  // delivers zero bytes, which are written all the same.
  virtual void CopyFrom(TMessageBaseStream& Source, std::int32_t Count);
  // Reads Count bytes at the position into Buf and advances the position.
  // Bytes the stream cannot deliver are zero in Buf.
  virtual void Read(void* Buf, std::uint16_t Count);
  // Writes Count bytes of Buf at the position and advances it.
  virtual void Write(const void* Buf, std::uint16_t Count);
  // Sets the position in bytes from the start; a negative position counts as 0.
  // A position beyond the end is allowed; a write there fills the gap with
  // zero bytes.
  virtual void Seek(std::int32_t Pos);
  [[nodiscard]] virtual std::int32_t GetPos();
  [[nodiscard]] virtual std::int32_t GetSize();
  // Puts everything written so far on stable storage (file streams:
  // fdatasync; a failure is recorded as stStreamWriteFailed).
  virtual void Flush();
  // Makes the current position the end.
  virtual void Truncate();
  // Clears the error state: status back to 0.
  virtual void Reset();

  // Whole buffers of any length, moved in pieces of at most 65535 bytes.
  void ReadBuffer(std::span<std::uint8_t> Buf);
  // Reads into Buf what there is at the position, up to its length, and
  // advances the position: the count, fewer only where the data ends; -1 on
  // a failure (recorded in the status, nothing counted as read).
  [[nodiscard]] virtual std::int32_t ReadAtMost(std::span<std::uint8_t> Buf);
  void WriteBuffer(std::span<const std::uint8_t> Buf);

  // The identity of the open file; false for a stream that is not over one.
  // A file stream answers with the file as it was opened until it writes to
  // it itself: the version that was read, which a check for a later change
  // wants.
  [[nodiscard]] virtual bool GetIdentity(TFileIdentity& Identity);
  // Gives the open file the permission bits Mode (07777 at most); nothing for
  // a stream that is not over a file. A failure is not recorded: the file is
  // whole either way.
  virtual void SetPermissions(std::uint32_t Mode);

  [[nodiscard]] std::int32_t GetStatus() const { return Status_; }
  [[nodiscard]] std::int32_t GetMode() const { return Mode_; }
  [[nodiscard]] const std::string& GetFileName() const { return FileName_; }

 protected:
  // Plain assignment; concrete streams keep the first failure themselves.
  void SetStatus(std::int32_t Status) { Status_ = Status; }

 private:
  std::int32_t Status_ = 0;
  std::int32_t Mode_ = 0;
  std::string FileName_;
};

// A stream over one open POSIX file descriptor, owned by the stream, with no
// buffering of its own. The stream keeps its position itself and moves bytes
// with pread/pwrite at it, so a seek costs no system call. Flush syncs the file's data (fdatasync)
// when it was written, truncated or created since the last Flush, and does nothing else.
class TMessageBaseFileStream : public TMessageBaseStream {
 public:
  // Opens FileName in the kind of Mode's low byte (which the factory has
  // checked); failure leaves status stStreamOpenFailed and no file open. Only
  // a regular file opens: a FIFO, device, socket or folder is refused at once,
  // never waited on. A create with the deny-write request empties the file
  // only after the lock is held, so it never destroys a file another stream
  // holds.
  TMessageBaseFileStream(const std::string& FileName, std::int32_t Mode);
  // Releases the lock and closes the file.
  ~TMessageBaseFileStream() override;

  void Read(void* Buf, std::uint16_t Count) override;
  // One system call, whatever the length (a regular file gives fewer bytes
  // than asked only at its end).
  [[nodiscard]] std::int32_t ReadAtMost(std::span<std::uint8_t> Buf) override;
  void Write(const void* Buf, std::uint16_t Count) override;
  void Seek(std::int32_t Pos) override;
  [[nodiscard]] std::int32_t GetPos() override;
  [[nodiscard]] std::int32_t GetSize() override;
  void Flush() override;
  void Truncate() override;
  void Reset() override;
  [[nodiscard]] bool GetIdentity(TFileIdentity& Identity) override;
  void SetPermissions(std::uint32_t Mode) override;

 private:
  // Records Code unless an earlier failure is recorded already.
  void UpdateStatus(std::int32_t Code);

  int Fd_ = -1;
  std::int64_t Position_ = 0;
  // The size the open found, good for a GetSize before any other operation
  // (-1 once something else has been done); it spares a second fstat.
  std::int64_t SizeAtOpen_ = -1;
  // The identity the open found, kept until this stream changes the file
  // (it spares GetIdentity an fstat).
  TFileIdentity IdentityAtOpen_;
  bool HasIdentityAtOpen_ = false;
  // Opened only to read under the shared deny-write lock: SizeAtOpen_ stays
  // the answer for as long as the stream is open (writes are refused by the
  // mode, and every writer by the lock).
  bool SizeHeld_ = false;
  bool Dirty_ = false;  // changed since the last Flush
  // Read ahead, only while SizeHeld_ (nothing can change the file): a small
  // read fetches AheadSize bytes from its position, and reads that fall
  // wholly inside them are served from memory. Walking a base message by
  // message reads index records, frame and message headers a few bytes at
  // a time; one system call now serves many of them.
  static constexpr std::size_t AheadSize = std::size_t{16} << 10;
  static constexpr std::uint16_t SmallRead = 2048;
  [[nodiscard]] bool ReadAhead(std::uint8_t* Bytes, std::uint16_t Count);
  std::vector<std::uint8_t> Ahead_;
  std::int64_t AheadAt_ = 0;
};

// A growable in-memory stream for message texts. Memory is allocated in whole
// 8192-byte blocks that never move once written: the capacity is always a
// multiple of 8192 and, once anything has been written, greater than the size
// (one byte needs 8192, exactly 8192 bytes need 16384). Bytes between the size
// and the capacity read as zero.
class TMessageBaseRamStream : public TMessageBaseStream {
 public:
  static constexpr std::int32_t BlockSize = 8192;
  // The largest size whose allocation still fits a 32-bit position.
  static constexpr std::int32_t MaxRamStreamSize = 0x7FFFFFFF - BlockSize;

  TMessageBaseRamStream();
  ~TMessageBaseRamStream() override;

  // Grows the allocation like Write would for Count bytes, then has Source
  // read straight into the blocks.
  void CopyFrom(TMessageBaseStream& Source, std::int32_t Count) override;
  // Copies at most up to the capacity; the rest of Buf is zero. The position
  // advances by the bytes copied.
  void Read(void* Buf, std::uint16_t Count) override;
  // Grows as needed; a write that would end beyond MaxRamStreamSize writes
  // nothing.
  void Write(const void* Buf, std::uint16_t Count) override;
  void Seek(std::int32_t Pos) override;
  [[nodiscard]] std::int32_t GetPos() override;
  [[nodiscard]] std::int32_t GetSize() override;
  void Flush() override;
  // Size := position, and the allocation shrinks to fit it.
  void Truncate() override;
  // Memory streams never fail, so there is nothing to reset; the status stays 0.
  void Reset() override;

  // Sets the allocation to (NewSize div 8192 + 1) * 8192 bytes, growing or
  // shrinking at the tail; never changes the size and never drops bytes below
  // it (NewSize counts as at least the size).
  void SetSize(std::int32_t NewSize);
  [[nodiscard]] std::int32_t GetCapacity() const;

 private:
  // Zeroes the bytes between the size and the position, which a write at the
  // position is about to make part of the stream.
  void FillGap();

  using TBlock = std::unique_ptr<std::uint8_t[]>;
  std::vector<TBlock> Blocks_;
  std::int32_t Position_ = 0;
  std::int32_t Size_ = 0;
};

// Wildcard search over one directory.
class TMessageBaseFind {
 public:
  TMessageBaseFind() = default;
  virtual ~TMessageBaseFind() = default;
  TMessageBaseFind(const TMessageBaseFind&) = delete;
  TMessageBaseFind& operator=(const TMessageBaseFind&) = delete;

  // Begins a search: Mask is a path whose last part may hold '*' and '?' ('*'
  // also matches names that begin with a dot). An entry is returned only when
  // all of its attribute bits are contained in Attr (faAnyFile: everything;
  // faArchive | faReadOnly: regular files). True when an entry was found; then
  // GetName/GetAttr/GetTime/GetSize describe it.
  [[nodiscard]] virtual bool StartSearch(const std::string& Mask, std::int32_t Attr);
  // The next matching entry; same result and fields.
  [[nodiscard]] virtual bool NextSearch();
  // Ends the search and releases the directory listing.
  virtual void StopSearch();

  // The bare name (without directory) of the entry found.
  [[nodiscard]] const std::string& GetName() const { return Name_; }
  [[nodiscard]] std::int32_t GetAttr() const { return Attr_; }
  // Modification time as a packed DOS stamp (time in the low 16 bits).
  [[nodiscard]] std::int32_t GetTime() const { return Time_; }
  // Length in bytes (0 for a directory).
  [[nodiscard]] std::int32_t GetSize() const { return Size_; }
  // Whether the listing itself named the entry a regular file (not a link to
  // one): such a file may be opened with smKnownRegular.
  [[nodiscard]] bool IsPlainFile() const { return PlainFile_; }

 protected:
  std::string Name_;
  std::int32_t Attr_ = 0;
  std::int32_t Time_ = 0;
  std::int32_t Size_ = 0;
  bool PlainFile_ = false;
};
using PMessageBaseFind = std::unique_ptr<TMessageBaseFind>;

// The platform search: opendir/readdir over the mask's directory.
class TMessageBaseFileFind : public TMessageBaseFind {
 public:
  TMessageBaseFileFind() = default;
  ~TMessageBaseFileFind() override;

  [[nodiscard]] bool StartSearch(const std::string& Mask, std::int32_t Attr) override;
  [[nodiscard]] bool NextSearch() override;
  void StopSearch() override;

 private:
  void* Dir_ = nullptr;  // DIR*, kept opaque so the header needs no POSIX includes
  std::string Directory_;
  std::string Pattern_;
  std::int32_t SearchAttr_ = 0;
};

// A new file stream; empty when Mode's low byte is not 1, 2, 4 or 8. Otherwise a
// stream is always returned and its status tells whether the file is open
// (0) or not (stStreamOpenFailed). The caller owns it.
[[nodiscard]] PMessageBaseStream CreateMessageBaseFileStream(const std::string& FileName,
                                                             std::int32_t Mode);
// A new, empty memory stream. The hint neither limits nor pre-allocates.
[[nodiscard]] PMessageBaseStream CreateMessageBaseMemoryStream(std::int32_t SizeHint);
// A new directory search object.
[[nodiscard]] PMessageBaseFind CreateMessageBaseFind();

}  // namespace msgbase
