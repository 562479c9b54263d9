// Status codes of the message-base library and their texts. Operations answer
// with a success flag and record the reason of a failure as one of these
// numbers: streams in their own status, a base object in its status, opening
// by identifier in its module status. 0 is success; the negative numbers are
// the stream codes; the positive ones are grouped by their high byte, one group
// per layer (0x01xx opening, 0x10xx *.msg, 0x20xx JAM, 0x30xx Squish).
// ExplainStatus is the single table of their texts.
#pragma once

#include <cstdint>
#include <string>

namespace msgbase {

inline constexpr std::int32_t stOk = 0;

// File streams (sticky until Reset; callers test only for non-zero).
inline constexpr std::int32_t stStreamTruncateFailed = -1;  // truncating or closing failed
inline constexpr std::int32_t stStreamOpenFailed = -2;      // opening or creating failed
inline constexpr std::int32_t stStreamReadFailed = -3;      // read failed or passed the end
inline constexpr std::int32_t stStreamWriteFailed = -4;
inline constexpr std::int32_t stStreamSeekFailed = -7;
// Finer reasons of a failed open, told by GetFileOpenFailure.
inline constexpr std::int32_t stStreamAccessDenied = -5;  // the permissions forbid it
inline constexpr std::int32_t stStreamLocked = -6;        // another holder's lock
inline constexpr std::int32_t stStreamNotRegular = -8;    // a FIFO, device, socket or folder
inline constexpr std::int32_t stStreamExists = -9;        // a new file's name is taken

// Opening a base by its identifier.
inline constexpr std::int32_t stOpenUnrecognizedId = 0x0100;
inline constexpr std::int32_t stOpenSharingViolation = 0x0101;
inline constexpr std::int32_t stOpenAttemptsExpired = 0x0102;
// The identifier names a format but no path ("S", "J"): never the root
// directory or the working directory by accident.
inline constexpr std::int32_t stOpenEmptyPath = 0x0103;
// A file of the base may not be opened as the change needs (its permissions),
// or is no regular file: neither passes by waiting, so neither is taken for a
// held base.
inline constexpr std::int32_t stOpenAccessDenied = 0x0104;
inline constexpr std::int32_t stOpenNotRegularFile = 0x0105;

// The *.msg base.
inline constexpr std::int32_t stMsgWrongPath = 0x1000;
inline constexpr std::int32_t stMsgNotFound = 0x1001;
inline constexpr std::int32_t stMsgCantCreateStream = 0x1002;
inline constexpr std::int32_t stMsgAlreadyClosed = 0x1003;
inline constexpr std::int32_t stMsgBufferOverflow = 0x1004;
inline constexpr std::int32_t stMsgReadOnly = 0x1005;  // a change to a base opened read-only
// A file of the base is there under two names that differ only in case.
inline constexpr std::int32_t stMsgTwoNames = 0x1006;
inline constexpr std::int32_t stMsgDamagedFile = 0x1007;  // shorter than its header

// The JAM base.
inline constexpr std::int32_t stJamAbsentJhr = 0x2000;
inline constexpr std::int32_t stJamAbsentJdx = 0x2001;
inline constexpr std::int32_t stJamAbsentJdt = 0x2002;
inline constexpr std::int32_t stJamCantOpenJhr = 0x2003;
inline constexpr std::int32_t stJamCantOpenJdx = 0x2004;
inline constexpr std::int32_t stJamCantOpenJdt = 0x2005;
inline constexpr std::int32_t stJamStreamProblems = 0x2006;
inline constexpr std::int32_t stJamWrongHeaderLocation = 0x2007;
inline constexpr std::int32_t stJamWrongDataLocation = 0x2008;
inline constexpr std::int32_t stJamUnknownSubfield = 0x2009;
inline constexpr std::int32_t stJamCantCreateJhr = 0x200A;
inline constexpr std::int32_t stJamCantCreateJdx = 0x200B;
inline constexpr std::int32_t stJamCantCreateJdt = 0x200C;
inline constexpr std::int32_t stJamAbsentJlr = 0x200D;
inline constexpr std::int32_t stJamCantOpenJlr = 0x200E;
inline constexpr std::int32_t stJamCantCreateJlr = 0x200F;
inline constexpr std::int32_t stJamReadOnly = 0x2010;
inline constexpr std::int32_t stJamTwoNames = 0x2011;
inline constexpr std::int32_t stJamDamagedBase = 0x2012;  // header file too short or unsigned

// The Squish base.
inline constexpr std::int32_t stSquishAbsentSqd = 0x3000;
inline constexpr std::int32_t stSquishAbsentSqi = 0x3001;
inline constexpr std::int32_t stSquishCantOpenSqd = 0x3002;
inline constexpr std::int32_t stSquishCantOpenSqi = 0x3003;
inline constexpr std::int32_t stSquishIndexProblems = 0x3004;
inline constexpr std::int32_t stSquishUnsupported = 0x3005;
inline constexpr std::int32_t stSquishMsgNotExists = 0x3006;
inline constexpr std::int32_t stSquishGrungedFrame = 0x3007;
inline constexpr std::int32_t stSquishDataProblems = 0x3008;
inline constexpr std::int32_t stSquishCantCreateSqd = 0x3009;
inline constexpr std::int32_t stSquishCantCreateSqi = 0x300A;
inline constexpr std::int32_t stSquishBaseHeaderProblems = 0x300B;
inline constexpr std::int32_t stSquishReadOnly = 0x300C;
inline constexpr std::int32_t stSquishTwoNames = 0x300D;

// The fixed English text of Code: "no error" for 0, the table text for a known
// code, otherwise "error #" directly followed by the signed decimal number.
[[nodiscard]] std::string ExplainStatus(std::int32_t Code);

}  // namespace msgbase
