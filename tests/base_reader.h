// A small reader of the three base formats for the end-to-end tests, written
// apart from the message-base library so that the tests judge its files
// without trusting its own readers. It parses the records by their offsets,
// checks the links and counts between the files of a base, and hands back each
// message with its names, attributes and lines in text order. Every offset and
// length read is checked against the file, so a broken base ends in an error
// text, never in a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellumar_tests {

// An address as a format stores it (zone, net, node, point).
struct TStoredAddress {
  std::int16_t Zone = 0;
  std::int16_t Net = 0;
  std::int16_t Node = 0;
  std::int16_t Point = 0;
  bool operator==(const TStoredAddress&) const = default;
};

struct TStoredMessage {
  std::string From;
  std::string To;
  std::string Subject;
  std::uint32_t Attributes = 0;   // the format's own bits
  std::string DateText;           // *.msg and Squish: the 19-character date text
  std::uint32_t DateWritten = 0;  // the packed or Unix date as stored
  std::uint32_t DateArrived = 0;
  TStoredAddress Orig;                     // Squish: header fields; JAM: the address subfields
  TStoredAddress Dest;                     // *.msg: net and node only (zone and point are 0)
  std::string OrigText;                    // JAM: subfield 0 as stored
  std::string DestText;                    // JAM: subfield 1 as stored
  std::vector<std::uint16_t> SubfieldIds;  // JAM: the ids in stored order
  // The text as a line list: the control lines first (with their 0x01), then
  // the ordinary lines, without their line ends. JAM control lines are rebuilt
  // from the MSGID, PID and plain control-line subfields, in subfield order.
  std::vector<std::string> Lines;
  bool operator==(const TStoredMessage&) const = default;
};

struct TStoredBase {
  bool Ok = false;
  std::string Error;                     // what was wrong when not Ok
  std::vector<TStoredMessage> Messages;  // in message-number order
};

// How much a reading forgives. Strict wants a base exactly as one clean
// posting run leaves it. AfterCrash takes a base as a run killed at any moment
// may leave it: what the base header does not count yet (Squish bytes past
// EndFrame and index records past NumMsg, JAM text and headers no index
// record refers to) is ignored, JAM's ActiveMsgs may be stale, and Squish free
// frames and gaps in the message ids (left by removed messages) are allowed.
// Edited takes a base as finished removals and rewrites leave it, counts and
// ends still exact: gaps in the *.msg numbers and the Squish ids, Squish free
// frames, JAM headers and text no index record refers to any more (removed
// or rewritten messages), removal marks in the JAM index, and JAM headers
// out of order with their own stored numbers. EditedAfterCrash forgives both.
enum class TReadMode { Strict, AfterCrash, Edited, EditedAfterCrash };

// A directory of N.msg files: numbers from 2 without gaps are expected (1.msg
// is the tosser's, which the posting leaves alone), or from 1 where a 1.msg
// is there.
[[nodiscard]] TStoredBase ReadMsgBase(const std::string& Dir, TReadMode Mode = TReadMode::Strict);
// A Squish base: Path.sqd and Path.sqi; messages along the frame chain.
[[nodiscard]] TStoredBase ReadSquishBase(const std::string& Path,
                                         TReadMode Mode = TReadMode::Strict);
// A JAM base: Path.JHR, Path.JDX and Path.JDT; messages in index order.
[[nodiscard]] TStoredBase ReadJamBase(const std::string& Path, TReadMode Mode = TReadMode::Strict);

// The Squish hash of a name and the JAM name CRC, computed here apart from
// the library.
[[nodiscard]] std::uint32_t SquishHash(const std::string& Name);
[[nodiscard]] std::uint32_t JamNameCrc(const std::string& Name);

}  // namespace vellumar_tests
