// Opening a message base by its identifier: one format letter directly followed
// by the base's path ("S/var/spool/fido/files", "J~/jam/area", "F./netmail").
// This is the one unit that knows every format: it turns the letter into an
// object of the right class, opens the base (or creates it when it does not
// exist yet) and releases it again. The outcome of the last call is kept in
// OpenStatus; nothing here prints.
#pragma once

#include <cstdint>
#include <string>

#include "msgbase/message_base.h"

namespace msgbase {

enum class TMessageBaseFormat : std::int32_t {
  mbfJam = 0,
  mbfFido = 1,
  mbfSquish = 2,
  mbfUnknown = 3,
};

// Status of the last opening call: stOpenUnrecognizedId (256) after any
// success or an unknown identifier, stOpenSharingViolation (257),
// stOpenAttemptsExpired (258), or the code a base reported for a failed Open
// or Create. Meaningful only after a failure.
[[nodiscard]] std::int32_t GetOpenStatus();
void SetOpenStatus(std::int32_t Status);

// An opening operation: fills Base and answers whether the base is open.
using TMessageBaseOpenProcess = bool (*)(PMessageBase& Base, const std::string& Id);

// First character -> format (J/j JAM; F/f/M/m/* *.msg; S/s Squish; else
// unknown). Path is the rest for a known format, the whole identifier for an
// unknown one, and left as it was for an empty identifier.
void SplitID(const std::string& Id, TMessageBaseFormat& Format, std::string& Path);

// The format and the path every opener would use for Id, "~/" and "./"
// expanded, without looking at the files. False, with OpenStatus set, for
// an unknown identifier (256), one without a path (stOpenEmptyPath) or a
// "~/" path while HOME is unset or empty (stOpenNoHome).
[[nodiscard]] bool ResolveMessageBaseId(const std::string& Id, TMessageBaseFormat& Format,
                                        std::string& Path);

// Creates an unopened object of the identifier's class. False (Base null) for
// an empty or unknown identifier. Sets OpenStatus to 256.
[[nodiscard]] bool InitMessageBase(PMessageBase& Base, const std::string& Id);
// Releases the object; answers whether there was one. Base is null afterwards.
bool DoneMessageBase(PMessageBase& Base);

// Opens an existing base. On failure Base is null and OpenStatus holds why.
[[nodiscard]] bool OpenMessageBase(PMessageBase& Base, const std::string& Id);
// Opens an existing base for looking only (omReadOnly, see TOpenMode): no
// file is written, truncated or created, and several readers may hold the
// base at once. On failure Base is null and OpenStatus holds why: a base
// whose files are there but held by a writer gives stOpenSharingViolation,
// so OpenMessageBaseEx can wait for it; one with a file missing gives the
// base's "absent ..." status.
[[nodiscard]] bool OpenMessageBaseReadOnly(PMessageBase& Base, const std::string& Id);
// Opens the base, or creates it when its files do not exist. A base that
// exists but cannot be opened is never created over: it is taken as held by
// another program (257), or, when some of its files are missing or too short
// for their header, the base's own status ("absent ...", "damaged ...") is
// passed on. Files that hold no byte (what a stopped creation leaves) make no
// base: it is created over them.
[[nodiscard]] bool OpenOrCreateMessageBase(PMessageBase& Base, const std::string& Id);
// Calls Process up to Tries times (at least once), waiting one second after
// every sharing violation; 258 when the tries run out.
[[nodiscard]] bool OpenMessageBaseEx(PMessageBase& Base, const std::string& Id,
                                     TMessageBaseOpenProcess Process, std::int32_t Tries);
// Closes and releases the base; false when Base is null.
bool CloseMessageBase(PMessageBase& Base);
// The same for a caller that must know whether the close's own writes (a
// base header, for instance) reached the disk: Status receives the code the
// base reported for its Close, stOk when all went well. False when Base is
// null or Status is not stOk; Base is released either way.
[[nodiscard]] bool CloseMessageBaseEx(PMessageBase& Base, std::int32_t& Status);
// True when the files of the identified base exist.
[[nodiscard]] bool ExistMessageBase(const std::string& Id);

// The program's own path as started (argument 0); GetCurrentDir and "./"
// paths are resolved against its directory.
void SetProgramPath(const std::string& Argv0);
// Everything before the last '/' of the program path. When the program was
// found through PATH (no '/' in argument 0), the directory of the running
// executable instead.
[[nodiscard]] std::string GetCurrentDir();
// Expands a leading "~/" (HOME) and then a leading "./" (GetCurrentDir); any
// other path is returned unchanged. The result holds at most 255 characters.
// HOME unset or empty makes "~/x" "/x": openers refuse that case first.
[[nodiscard]] std::string ParsePath(const std::string& Path);

}  // namespace msgbase
