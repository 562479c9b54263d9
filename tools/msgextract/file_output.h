// Writing the files msgextract rebuilds: under a temporary name in the target
// directory first, renamed into place only when whole, never over an existing
// file unless asked to, with the begin line's mode limited to 0666 and the
// umask; a signal removes the temporary file and reports what was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace msgextract {

// The owner may always read and write a rebuilt file.
inline constexpr std::uint32_t OwnerReadWrite = 0600;
// Bytes gathered before a write to the file: a buffer made once at its full
// size and reused, so that its pages are touched once (grown by doubling to a
// megabyte it cost a third of a run's page faults).
inline constexpr std::size_t WriteChunk = std::size_t{64} << 10;

// Hands a file's bytes, in order, to Put; false with a reason in Problem when
// they cannot be had, or false when Put refused them.
using TPut = std::function<bool(std::string_view)>;
using TPartSource = std::function<bool(const TPut& Put, std::string& Problem)>;
// A source of bytes already in memory.
[[nodiscard]] TPartSource PartsSource(std::vector<std::string_view> Parts);

// Writes what Source gives as Directory/FileName: into a new temporary file
// in Directory, then renamed into place, so the name never shows a partial
// file. With Flush the file and then the directory are flushed to disk before
// the answer (a caller that deletes the file's source afterwards needs that).
// Without Force an existing file is never replaced: false with Exists set.
// False with a reason in Problem on any other failure, which leaves no
// temporary file behind. The file's mode is Mode & 0666 less the umask, with
// the owner's read and write bits always set.
[[nodiscard]] bool WriteFileSafely(const std::string& Directory, const std::string& FileName,
                                   const TPartSource& Source, std::uint32_t Mode, bool Force,
                                   bool Flush, bool& Exists, std::string& Problem);
// Whether Path is a regular file of Size bytes that holds what Source gives.
[[nodiscard]] bool HoldsSameBytes(const std::string& Path, std::uint64_t Size,
                                  const TPartSource& Source);
// Flushes the file Path and its directory to disk.
[[nodiscard]] bool FlushFile(const std::string& Path);

// From now on SIGINT and SIGTERM remove the temporary file being written and
// report how many files were written before the program ends by the signal.
void CleanUpOnSignals();
// The number of files written so far, for that report.
void NoteFilesWritten(std::uint64_t Count);

}  // namespace msgextract
