// The transaction record every format shares: what a writer has begun and not
// yet committed, kept beside the base under a name other software never opens.
//
// The shape of every change to a base:
//   1. Before it touches anything a reader may look at, the writer writes a
//      record (TIntent) holding each file's size and the old bytes of every
//      range it will overwrite, and syncs it and its folder (BeginIntent).
//   2. It does its work where readers do not look yet (past the recorded
//      ends, in free space, under temporary names) and syncs it.
//   3. Where the format's commit cannot be one small write, it may first
//      append a second record to the same file (AppendIntent) saying what the
//      commit will be, so that the next writer can tell a whole commit from a
//      torn one and finish it.
//   4. It commits with the format's own single step, then removes the record
//      and syncs the folder (EndIntent). Only after that is the change
//      reported as done.
// The next open for writing that finds a record reads its last whole entry
// (ReadIntent) and either finishes the change the entry proves was committed,
// or undoes it (RollBack: old bytes back, files cut to their old sizes,
// files that did not exist removed). Both are safe to repeat, so a crash
// during recovery is recovered from the same way. A read-only open changes
// nothing and only reports the record.
//
// Record file layout (little-endian), one or more entries one after another:
//   entry    = u32 magic "VTX1" | u32 payload length | u32 CRC-32 of payload | payload
//   payload  = u32 kind | u32 phase | i32 pid | u32 file count | files
//              | u32 image count | images | u32 extra length | extra bytes
//   file     = u16 name length | name | i64 old size (-1: the file did not exist)
//   image    = u32 file index | i64 offset | u32 length | bytes
// An entry whose magic, length or CRC does not hold is torn: it and whatever
// follows it are ignored. A record whose first entry is torn was never
// complete, so no change was made after it; it is simply removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "msgbase/stream.h"

namespace msgbase {

struct TIntentFile {
  std::string Name;        // full path
  std::int64_t Size = -1;  // before the change; -1 when the file did not exist
};

struct TIntentImage {
  std::uint32_t File = 0;  // index into TIntent::Files
  std::int64_t Offset = 0;
  std::string Bytes;  // the bytes there before the change
};

struct TIntent {
  std::uint32_t Kind = 0;   // the format's operation code
  std::uint32_t Phase = 0;  // the format's step (0: begun)
  std::int32_t Pid = 0;     // the writer's process
  std::vector<TIntentFile> Files;
  std::vector<TIntentImage> Images;
  std::string Extra;  // the format's own bytes (target sizes, names, ...)

  // Adds a file taking part with its size now; returns its index.
  std::uint32_t AddFile(const std::string& Name, std::int64_t Size);
  // Keeps Length bytes at Offset of file Index as they are now on disk; bytes
  // at or past the recorded size need no image (cutting the file undoes them).
  // False when the file cannot be read there.
  [[nodiscard]] bool SaveBefore(std::uint32_t Index, std::int64_t Offset, std::uint32_t Length);
};

enum class TIntentState : std::int32_t {
  None = 0,        // no record
  Whole = 1,       // at least one whole entry; Intent holds the last one
  Torn = 2,        // a record whose first entry is not whole
  Unreadable = 3,  // a record that exists but cannot be read (permissions, not a file)
};

// Encodes and decodes one entry (exposed for the tests and fuzzing).
[[nodiscard]] std::string EncodeIntent(const TIntent& Intent);
// Reads the entries of Record; returns the state and the last whole entry.
[[nodiscard]] TIntentState DecodeIntent(const std::string& Record, TIntent& Intent);

// Creates the record at Path (never over an existing file or through a link),
// writes Intent, syncs it and its folder. False (errno kept) on failure, and
// then nothing is left at Path.
[[nodiscard]] bool BeginIntent(const std::string& Path, const TIntent& Intent);
// Appends a further entry to the record at Path and syncs it.
[[nodiscard]] bool AppendIntent(const std::string& Path, const TIntent& Intent);
// Removes the record and syncs its folder: the last step of a change.
[[nodiscard]] bool EndIntent(const std::string& Path);
// Reads the record at Path.
[[nodiscard]] TIntentState ReadIntent(const std::string& Path, TIntent& Intent);

// The first step of every recovery at an open for writing: reads the record
// at Path. True with Found set when a whole record is in Intent, to be
// finished or rolled back; true with Found clear when there is none or when
// it was torn (never whole, so nothing was changed after it: it is removed);
// false when it cannot be read or removed.
[[nodiscard]] bool TakeIntent(const std::string& Path, TIntent& Intent, bool& Found);

// Undoes the change Intent describes: writes every image back, cuts each file
// to its recorded size (removes the ones that did not exist) and syncs them
// and their folders. Safe to repeat. False when a file could not be restored.
[[nodiscard]] bool RollBack(const TIntent& Intent);

// For readers of a base whose change was not committed: a read-only stream
// over File (taken over, with its locks) that shows file Index of Intent as it
// was before the change: the recorded size (none: empty) and the old bytes
// back where the change wrote. Writing through it fails.
[[nodiscard]] PMessageBaseStream CreateCommittedView(PMessageBaseStream File, const TIntent& Intent,
                                                     std::uint32_t Index);

// Syncs an open descriptor's data; false on failure.
[[nodiscard]] bool SyncDescriptor(int Fd);
// Whether process Pid is known to be gone (never true for this process).
[[nodiscard]] bool ProcessGone(std::int32_t Pid);

}  // namespace msgbase
