// The record of one file-changing call, as the recorder module writes it to
// its log and the crash model reads it back: a fixed head, then Len1 bytes
// (a path, or the data written) and Len2 bytes (the second path of a rename
// or a link). Only calls that succeeded are recorded: a failed one changed
// nothing. Paths are absolute as the program meant them (a relative one is
// joined to the working directory or to the folder of its descriptor), not
// resolved through links.
#pragma once

#include <cstdint>

namespace powercut {

enum TCallKind : std::uint32_t {
  ckOpen = 1,           // Path; Flags; Result = descriptor; Extra: cfCreated, cfDirectory
  ckWrite = 2,          // Fd; Offset (-1 where the descriptor has none); data
  ckTruncate = 3,       // Fd; Offset = new size
  ckSync = 4,           // Fd (fsync, fdatasync)
  ckSyncAll = 5,        // syncfs, sync
  ckSyncRange = 6,      // sync_file_range: no durability promise, recorded only
  ckRename = 7,         // Path, Path2
  ckLink = 8,           // Path (existing), Path2 (new)
  ckUnlink = 9,         // Path (a file or, from rmdir, a folder)
  ckMkdir = 10,         // Path
  ckClose = 11,         // Fd
  ckTruncatePath = 12,  // Path; Offset = new size
};

inline constexpr std::int32_t cfCreated = 1;    // the open made the file
inline constexpr std::int32_t cfDirectory = 2;  // the descriptor is a folder

struct TRecordHead {
  std::uint32_t Kind = 0;
  std::int32_t Fd = -1;
  std::int64_t Result = 0;
  std::int64_t Offset = 0;
  std::int32_t Flags = 0;
  std::int32_t Extra = 0;
  std::uint32_t Len1 = 0;
  std::uint32_t Len2 = 0;
};

// The environment of a recorded run: where the log goes, and (set to 1)
// fsync, fdatasync and syncfs made into no-ops that succeed.
inline constexpr const char* LogVariable = "POWERCUT_LOG";
inline constexpr const char* NoSyncVariable = "POWERCUT_NO_SYNC";

}  // namespace powercut
