// The abstract message base behind every format. A base holds numbered
// messages; at most one message is being read or built at a time, and its text
// lives in a stream owned by the base object. This class carries what all
// formats share: navigation over message numbers, the text as lines, control
// lines (lines that begin with the byte 0x01, "kludges"), the address control
// lines MSGID, INTL, FMPT and TOPT, the origin line, base-type flags and the
// status code. Operations that depend on a file layout are virtual; the ones
// this class leaves abstract end the program with run-time error 217.
//
// Text conventions: lines written end with one carriage return (0x0D); when
// reading, a carriage return or a line feed ends a line, and a line feed
// directly after a carriage return belongs to it (so the empty lines of a text
// whose lines end in line feeds alone are kept). Without a text stream every text
// operation acts on an empty text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "msgbase/address.h"
#include "msgbase/date_time.h"
#include "msgbase/stream.h"

namespace msgbase {

// Base types (SetBaseType) and the flags they set.
enum TBaseType : std::int32_t { btNetmail = 0, btEchomail = 1, btLocal = 2 };
inline constexpr std::int32_t bfNetmail = 1;
inline constexpr std::int32_t bfEchomail = 2;
inline constexpr std::int32_t bfLocal = 4;

// Message attributes shared by every format (GetAttribute/SetAttribute); a
// format maps them to its own storage and may accept further numbers.
inline constexpr std::int32_t maPrivate = 0x0001;
inline constexpr std::int32_t maCrash = 0x0002;
inline constexpr std::int32_t maReceived = 0x0004;
inline constexpr std::int32_t maSent = 0x0008;
inline constexpr std::int32_t maFileAttached = 0x0010;
inline constexpr std::int32_t maInTransit = 0x0020;
inline constexpr std::int32_t maOrphan = 0x0040;
inline constexpr std::int32_t maKillSent = 0x0080;
inline constexpr std::int32_t maLocal = 0x0100;
inline constexpr std::int32_t maHold = 0x0200;
inline constexpr std::int32_t maFileRequest = 0x0400;
inline constexpr std::int32_t maReturnReceiptRequest = 0x0800;
inline constexpr std::int32_t maIsReturnReceipt = 0x1000;
inline constexpr std::int32_t maAuditRequest = 0x2000;
inline constexpr std::int32_t maUpdateRequest = 0x4000;
inline constexpr std::int32_t maScanned = 0x8000;
// Marked deleted but still stored (only JAM keeps such messages).
inline constexpr std::int32_t maDeleted = 0x10000;

// How Open treats a base's files; set with SetOpenMode before Open.
//   omReadWrite (the default): the base may be changed; Open may complete or
//     tidy it (a JAM base gets its missing lastread file, for instance) and
//     Close writes the base header back when it changed.
//   omReadOnly: for tools that only look. Open writes, truncates, recounts
//     and creates nothing, opens every file read-only and takes shared locks,
//     so any number of readers share a base while a writer keeps them out
//     (and they keep the writer out). Close writes nothing. Every operation
//     that would change the base (CreateNewMessage, WriteMessage,
//     WriteMessageHeader, KillMessage, SetLastRead) fails with the format's
//     read-only status and touches no file; Create refuses likewise.
enum TOpenMode : std::int32_t { omReadWrite = 0, omReadOnly = 1 };

class TMessageBase {
 public:
  // Flags 0, status 0, closed, no current message, no text stream.
  TMessageBase();
  // Releases nothing of its own beyond the text stream; formats call their own
  // Close in their destructors.
  virtual ~TMessageBase();
  TMessageBase(const TMessageBase&) = delete;
  TMessageBase& operator=(const TMessageBase&) = delete;

  // Start of the line found by the last successful kludge search, and the text
  // position just after it (line end included). A failed search leaves
  // KludgeEnd alone and KludgeStart at the start of the last line read.
  std::int32_t KludgeStart = 0;
  std::int32_t KludgeEnd = 0;

  // --- Base level (abstract here) ---
  [[nodiscard]] virtual bool Open(const std::string& Path);
  [[nodiscard]] virtual bool Create(const std::string& Path);
  [[nodiscard]] virtual bool Exist(const std::string& Path);
  virtual void Close();
  [[nodiscard]] virtual bool Exists(std::int32_t Message);

  // --- Navigation ---
  [[nodiscard]] virtual std::int32_t Current();
  // Lands on the lowest existing message numbered Message or more, or 0.
  virtual void Seek(std::int32_t Message);
  // Next existing message after the current one; 0 past GetHighest.
  virtual void SeekNext();
  // Previous existing message; 0 below 1.
  virtual void SeekPrev();
  // True when there is a current message.
  [[nodiscard]] virtual bool SeekFound();
  [[nodiscard]] virtual std::int32_t GetLocation();
  virtual void SetLocation(std::int32_t Location);

  // --- Message level (abstract here) ---
  [[nodiscard]] virtual bool OpenMessage();
  [[nodiscard]] virtual bool OpenMessageHeader();
  [[nodiscard]] virtual bool CloseMessage();
  [[nodiscard]] virtual std::int32_t GetHighest();
  [[nodiscard]] virtual std::int32_t GetCount();
  // Names of files the base holds as messages but under a number the format
  // cannot count, which navigation therefore passes over (a *.msg file
  // numbered above 32767); empty here.
  [[nodiscard]] virtual std::vector<std::string> GetUncountedFiles();
  // What the open found wrong with the base and did not mend (opened for
  // looking only, it mends nothing), one line each: counts that disagree
  // with the index, lost index records, a change that a writer began and
  // did not finish. Empty here.
  [[nodiscard]] virtual std::vector<std::string> GetInconsistencies();

  // --- Transactions ---
  // The messages written between BeginTransaction and CommitTransaction are
  // one change: after a kill or a power cut at any moment the base holds all
  // of them or none. CommitTransaction returns only when they are on stable
  // storage; when it fails, or when RollbackTransaction is called instead
  // (or the base is closed with the transaction open), nothing of them
  // stays. False with the format's status when the step fails. Here (a base
  // without files) every message is its own change and all three succeed.
  [[nodiscard]] virtual bool BeginTransaction();
  [[nodiscard]] virtual bool CommitTransaction();
  virtual void RollbackTransaction();
  [[nodiscard]] virtual std::string GetFrom();
  [[nodiscard]] virtual std::string GetTo();
  [[nodiscard]] virtual std::string GetSubject();

  // Update Address from the text's control lines (and its first line), later
  // lines overriding earlier ones; parts no line supplies keep the caller's
  // values. The text position is left at the end of the text.
  virtual void GetFromAddress(TAddress& Address);
  virtual void GetToAddress(TAddress& Address);
  virtual void GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress);

  virtual void SetFrom(const std::string& S);
  virtual void SetTo(const std::string& S);
  virtual void SetSubject(const std::string& S);

  // Writes the MSGID line (keeping the old line's serial when NewId is false
  // and one exists, else a fresh GenerateMsgId serial); on a netmail base also
  // INTL (with GetToAddress) and FMPT (deleted when the point is 0).
  virtual void SetFromAddress(const TAddress& Address, bool NewId);
  // Netmail only: INTL (with GetFromAddress) and TOPT (deleted when the point
  // is 0).
  virtual void SetToAddress(const TAddress& Address);
  virtual void SetFromAndToAddress(const TAddress& FromAddress, const TAddress& ToAddress,
                                   bool NewId);

  // --- Text ---
  // Reads the next line into Buf: at most MaxLen - 1 characters and a zero
  // byte (MaxLen 0: Buf is not touched). The rest of a longer line is skipped.
  // At the end of the text Buf is empty. Returns the number of characters
  // stored.
  virtual std::uint16_t GetStringPChar(char* Buf, std::uint16_t MaxLen);
  // The next line, at most 255 characters.
  [[nodiscard]] virtual std::string GetString();
  // Writes the text in Buf (up to its zero, at most MaxLineSize bytes) and one
  // carriage return at the text position.
  virtual void PutStringPChar(const char* Buf);
  // The same for S, cut at its first zero byte and to 255 characters.
  virtual void PutString(const std::string& S);
  [[nodiscard]] virtual bool EndOfMessage();
  virtual void SetTextPos(std::int32_t Pos);
  [[nodiscard]] virtual std::int32_t GetTextPos();
  [[nodiscard]] virtual std::int32_t GetTextSize();
  // Cuts the text at the text position.
  virtual void TruncateText();
  virtual void ReadText(void* Buf, std::uint16_t Count);
  virtual void WriteText(const void* Buf, std::uint16_t Count);

  // --- Attributes and dates (abstract here) ---
  [[nodiscard]] virtual bool GetAttribute(std::int32_t Attribute);
  virtual void SetAttribute(std::int32_t Attribute, bool Enable);
  virtual void GetWrittenDateTime(TMessageBaseDateTime& DateTime);
  virtual void GetArrivedDateTime(TMessageBaseDateTime& DateTime);
  virtual void SetWrittenDateTime(const TMessageBaseDateTime& DateTime);
  virtual void SetArrivedDateTime(const TMessageBaseDateTime& DateTime);
  [[nodiscard]] virtual bool WriteMessage();
  [[nodiscard]] virtual bool WriteMessageHeader();

  // --- Control lines ---
  // Finds the first line of the whole text that begins with Name
  // (case-sensitive prefix) and reads the whole line, name included, into
  // Value (at most MaxLen - 1 characters). Sets KludgeStart/KludgeEnd.
  // Name is zero-terminated within MaxLineSize bytes.
  [[nodiscard]] virtual bool GetKludgePChar(const char* Name, char* Value, std::uint16_t MaxLen);
  // The same; Value (at most 254 characters) is meaningful only on true.
  [[nodiscard]] virtual bool GetKludge(const std::string& Name, std::string& Value);
  // Replaces the first line beginning with Name by Line, or adds Line when
  // there is none. The text position ends at the end of the text.
  virtual void SetKludgePChar(const char* Name, const char* Line);
  virtual void SetKludge(const std::string& Name, const std::string& Line);
  // Removes the first line beginning with Name, if any; the text position ends
  // at the end of the text.
  virtual void DeleteKludgePChar(const char* Name);
  virtual void DeleteKludge(const std::string& Name);
  // Inserts Line at AfterLastKludge; the text position ends at the end of the
  // text.
  virtual void AddKludgePChar(const char* Line);
  virtual void AddKludge(const std::string& Line);
  // Position after the control-line block at the top of the text: 0 when no
  // control line comes before the second ordinary line, the text size when
  // the control lines run to the end.
  [[nodiscard]] virtual std::int32_t AfterLastKludge();
  // Update Address from one control line: MSGID, INTL (keeping the point),
  // FMPT for the sender; INTL (keeping the point), TOPT for the recipient.
  virtual void CheckFromAddress(const std::string& Line, TAddress& Address);
  virtual void CheckToAddress(const std::string& Line, TAddress& Address);

  // --- Text stream ownership ---
  // The current text stream, owned by the base; nullptr when none.
  [[nodiscard]] virtual TMessageBaseStream* GetMessageTextStream();
  // Disposes of the current text stream (if any) and takes Stream.
  virtual void SetMessageTextStream(PMessageBaseStream Stream);
  // Hands the current text stream to the caller without disposing of it; the
  // base is left without one.
  [[nodiscard]] PMessageBaseStream ReleaseMessageTextStream();

  // --- Flags, status and state ---
  // Sets (Enable) or clears the bits of Flag.
  virtual void SetFlag(std::int32_t Flag, bool Enable);
  // True when all bits of Flag are set.
  [[nodiscard]] virtual bool GetFlag(std::int32_t Flag);
  // Sets the flag of BaseType and clears the other two.
  virtual void SetBaseType(TBaseType BaseType);
  [[nodiscard]] virtual bool CreateNewMessage();
  [[nodiscard]] virtual bool KillMessage();
  [[nodiscard]] virtual std::int32_t GetLastRead(std::int32_t UserNumber);
  virtual void SetLastRead(std::int32_t UserNumber, std::int32_t Message);
  // Writes " * Origin: <origin> (<address>)", the origin cut so the line holds
  // at most 79 characters; the address part is never cut. A zero byte in the
  // origin ends the origin text, not the line.
  virtual void PutOrigin(const TAddress& Address, const std::string& Origin);
  virtual void SetStatus(std::int32_t Status);
  [[nodiscard]] virtual std::int32_t GetStatus();
  virtual void SetOpened(bool Opened);
  [[nodiscard]] virtual bool GetOpened();
  virtual void SetCurrent(std::int32_t Message);
  // The mode of the next Open (see TOpenMode); kept until changed.
  void SetOpenMode(TOpenMode Mode) { OpenMode_ = Mode; }
  [[nodiscard]] TOpenMode GetOpenMode() const { return OpenMode_; }
  [[nodiscard]] bool IsReadOnly() const { return OpenMode_ == omReadOnly; }
  // Stored cut to 255 characters.
  virtual void SetBasePath(const std::string& Path);
  [[nodiscard]] virtual std::string GetBasePath();
  // The read mark: none here (false); SetRead does nothing.
  [[nodiscard]] virtual bool GetRead();
  virtual void SetRead(bool Read);

  // Stamps the written and arrived date of the current message with the local
  // date and time; every format's CreateNewMessage calls it.
  void ResetDateTime();

 protected:
  // For the operations that change a base: true, with Status recorded, when
  // the base is opened read-only and the change must be refused.
  [[nodiscard]] bool RefuseChange(std::int32_t Status);
  // On a netmail base, sets the INTL line (when both zones are known) and the
  // FMPT and TOPT lines (none for point 0) of addresses that a format keeps
  // apart from the text; a reader restores them with it. Never touches the
  // MSGID line and draws no serial.
  void PutAddressLines(const TAddress& From, const TAddress& To);

 private:
  // Reads the next line into Line (cut to MaxChars characters).
  void ReadLine(std::string& Line, std::size_t MaxChars);
  // Passes the first line and every control line, in text order, to
  // CheckFromAddress and/or CheckToAddress (for each non-null address).
  void ScanAddressLines(TAddress* FromAddress, TAddress* ToAddress);
  // Replaces the text from Start to End by Line (nothing for nullptr) and
  // leaves the position at the end of the text.
  void ReplaceTextRange(std::int32_t Start, std::int32_t End, const char* Line);

  std::int32_t Status_ = 0;
  bool Opened_ = false;
  std::int32_t Flags_ = 0;
  std::int32_t CurrentMessage_ = 0;
  PMessageBaseStream MessageText_;
  std::string BasePath_;
  TOpenMode OpenMode_ = omReadWrite;
};

using PMessageBase = std::unique_ptr<TMessageBase>;

// The short forms ("Pvt", "Cra", ... "Scn") of the attributes Base reports
// set, in ascending order, separated by single spaces; empty when none is set.
[[nodiscard]] std::string GetAttributesLine(TMessageBase& Base);
// "YYYY/MM/DD HH:MM:SS.CC" (wider numbers are not cut).
[[nodiscard]] std::string GetDateTimeLine(const TMessageBaseDateTime& DateTime);

}  // namespace msgbase
