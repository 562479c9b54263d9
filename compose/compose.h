// Message composition: the last phase of a run. WriteMsg reads the header and
// footer templates, uuencodes the file named by the settings, cuts the encoded
// lines into sections when they are more than Lines, and posts one message per
// section into the message base named by the settings. Everything comes from
// the settings, which CheckParams has checked; every failure stops the program
// through Error or RunError.
#pragma once

#include <cstdint>
#include <string>

#include "encode/dyn_array.h"

namespace vellumar {

// The credit text of every section header line of a posting.
inline constexpr const char* PostingCredit = "  [by Vellumar/LNX v0.1beta]";

// What a posting is made of, from the templates to the sections.
struct TComposition {
  TStrDynArray HT;          // header template lines, comments removed, macros expanded
  TStrDynArray FT;          // footer template lines, comments removed, macros expanded
  TStrDynArray Body;        // the encoded lines, cut into sections when needed
  std::uint16_t Parts = 1;  // number of sections, one message each
};

// Appends the lines of the template file at Path to Target, leaving out those
// that begin with '#'. Returns 0, the classic run-time error number of a failed
// open or read, or -1 when Target would grow past 65535 elements.
[[nodiscard]] int ReadTemplate(const std::string& Path, TStrDynArray& Target);

// The refusal for a file too large to post with the current Lines.
[[nodiscard]] std::string TooLargeMessage(const std::string& Path, std::uint64_t Size);

// The refusal for a base that could not be opened (or created), with the
// opening status's text.
[[nodiscard]] std::string OpenBaseFailure(std::int32_t OpenStatus);

// Everything before the message base is touched: templates read (macros
// expanded), the file
// checked for size, encoded and cut. Stops the program on any failure, before
// anything is written.
void PrepareComposition(TComposition& Work);

// Opens (or creates) the base named by EchoPath and posts one message per
// section of Work.Body, consuming it. Stops the program through Error when the
// base cannot be opened, a message cannot be created or written, or the base
// cannot be closed because its last write (a base header) failed; after the
// base was opened, the message and the base are closed first.
void PostComposition(TComposition& Work);

// The whole phase: prepares the composition, posts it and prints the success
// line.
void WriteMsg();

}  // namespace vellumar
