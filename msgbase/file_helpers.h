// File-system and text helpers shared by every base format: existence tests and
// directory search wrappers, deleting, renaming, making directories, the
// directory part of a path, a millisecond pause, decimal conversions, word
// extraction and bounded zero-terminated buffers (the 255-character limit of
// texts, which they use too, is msgbase/text_limit.h).
// None of them prints or stops the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/text_limit.h"

namespace msgbase {

// True when a directory entry matches Name (wildcards '*' and '?' in its last
// part act as wildcards; a directory of that name counts).
[[nodiscard]] bool FileExists(const std::string& Name);
// True when Name exists and is not an empty regular file (a directory of
// that name counts).
[[nodiscard]] bool FileHoldsBytes(const std::string& Name);
// True when A and B name one file (same device and inode, symbolic links
// followed).
[[nodiscard]] bool SameFile(const std::string& A, const std::string& B);
// Of two names A and B in Directory (ending in '/', or empty) of one file,
// the one to open it under, the same in every run: a name that is no
// symbolic link before one that is (a tosser writes through the real name,
// and a file it replaces is replaced there), then Given, then the smaller
// in byte order.
[[nodiscard]] std::string PreferredName(const std::string& Directory, const std::string& A,
                                        const std::string& B, const std::string& Given);
// The paths of every entry in Path's directory whose name is the last part of
// Path with ASCII letters folded ("area.JHR" finds "area.jhr"), any kind.
[[nodiscard]] std::vector<std::string> FindNamesAnyCase(const std::string& Path);
// Looks for the last part of Path in its directory with ASCII letters folded,
// the way other software on the same system may have named a base's files
// ("area.JHR" finds "area.jhr"). Returns the number of distinct files that
// match, names of one file (symbolic or hard links) counting once: with
// exactly one, Found is its path under the name PreferredName gives;
// otherwise Found is Path. Two or more are different files under names that
// differ only in case, which the caller must not guess between.
[[nodiscard]] std::int32_t FindFileAnyCase(const std::string& Path, std::string& Found);
// The files of one base, Base followed by each of a list of extensions, as
// they are on disk. Name[I] is the path of file I whatever the case of its
// name; a file that is not there gets Base and its extension as given, or in
// the case of the first file's extension when that was found all in lower or
// all in upper case, so that a base keeps one style of names.
struct TBaseFileNames {
  std::vector<std::string> Name;
  std::vector<bool> Present;
};
// False when two different files are there under names that differ only in
// case: which one holds the base is not for the library to guess.
[[nodiscard]] bool FindBaseFiles(const std::string& Base,
                                 const std::vector<std::string>& Extensions, TBaseFileNames& Files);

// Before a base is made over names FindBaseFiles found: every file of it that
// is there must be an empty regular file under its own name (what a creation
// that was stopped leaves), and those are removed, so that each file is then
// made new. False, with nothing removed and Blocking the index of the first
// such file, when any is a link, no regular file or holds bytes: such a base
// is there, or partly there, and is never created over.
[[nodiscard]] bool ClearStoppedCreation(const TBaseFileNames& Files, std::size_t& Blocking);
// True when Path is an existing directory that opens for reading, as a
// search of Path + "/*" needs (an empty Path means "/"); no entry is read.
[[nodiscard]] bool DirectoryExists(const std::string& Path);
// Deletes the file; true on success. Failures are reported only by the result.
[[nodiscard]] bool KillFile(const std::string& Name);
// Renames OldName to NewName unless NewName exists; true on success (errno
// EEXIST when NewName was there).
[[nodiscard]] bool RenameFile(const std::string& OldName, const std::string& NewName);
// Puts the directory's entries (names made, renamed or removed in it) on
// stable storage; true on success.
[[nodiscard]] bool SyncDirectory(const std::string& Path);
// Creates every missing directory along Path, each synced into its parent;
// failures are ignored and the result is always true (callers test
// DirectoryExists when it matters).
bool CreateDirectory(const std::string& Path);
// The directory part of the absolute form of FileName without a trailing '/';
// empty when the absolute form has no '/' after its first character.
[[nodiscard]] std::string ExtractPathName(const std::string& FileName);
// Absolute form of Path against the working directory; "." and ".." parts are
// resolved textually (the path need not exist).
[[nodiscard]] std::string ExpandPath(const std::string& Path);
// Sleeps Ms milliseconds; only the low 16 bits of Ms count (at most 65535 ms).
void Delay(std::int32_t Ms);

// Signed decimal, without leading zeros or spaces.
[[nodiscard]] std::string LongToStr(std::int32_t Value);
// True when S is a signed 32-bit decimal number (optional sign, digits only).
[[nodiscard]] bool StrToNumber(const std::string& S);
// Empty S: Value = 0, true. Otherwise S is read as a signed 32-bit decimal
// number and Value receives its low 16 bits; a text that is not a number
// stores 0 and gives false.
[[nodiscard]] bool StrToInteger(const std::string& S, std::int16_t& Value);
// S read as an unsigned decimal number, low 16 bits stored; not a number: 0.
void StrToWord(const std::string& S, std::uint16_t& Value);
// The N-th word of S (from 1); words are separated by runs of characters from
// Delims. A word number of 0 or beyond the last word gives empty text.
[[nodiscard]] std::string ExtractWord(std::uint8_t N, const std::string& S,
                                      std::string_view Delims);

// Zero-terminated buffers. Limit is always the buffer's size in bytes; no
// helper reads or writes beyond it, and a buffer with no zero inside its Limit
// is taken to end at Limit.
//
// Copies S into P, cut to Limit - 1 characters, and terminates it (Limit 0:
// nothing is written).
void ToASCIIZ(const std::string& S, char* P, std::size_t Limit);
// The text in P, cut to its first MaxTextLength characters.
[[nodiscard]] std::string FromASCIIZ(const char* P, std::size_t Limit);
// Appends Src (zero-terminated within SrcLimit) to the text in Dest, as far as
// Dest's Limit allows, and keeps Dest terminated.
void ConcatASCIIZ(char* Dest, std::size_t Limit, const char* Src, std::size_t SrcLimit);
// Number of characters before the terminating zero (at most Limit).
[[nodiscard]] std::size_t LenASCIIZ(const char* P, std::size_t Limit);
// Pointer to the first occurrence of the text Sub inside the text S, or
// nullptr (what is sought comes first). An empty Sub is found at S.
[[nodiscard]] const char* PosASCIIZ(const char* Sub, std::size_t SubLimit, const char* S,
                                    std::size_t Limit);
// Compares at most N characters of A and B as unsigned bytes, stopping at a
// terminating zero: negative, 0 or positive.
[[nodiscard]] int CompLASCIIZ(const char* A, const char* B, std::size_t N);

}  // namespace msgbase
