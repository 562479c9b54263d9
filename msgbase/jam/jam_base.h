// The JAM base: a message area kept in four files (header, index, text and
// lastread; records in msgbase/jam/jam_format.h, layout in docs/jam_format.md).
// Writing turns a message's control lines into subfields of its header and
// keeps its ordinary lines as the text; reading turns the subfields back into
// names, addresses and control lines around the stored text.
//
// Message numbers are positional: message N has index record N - BaseMsgNum,
// and the valid numbers run from BaseMsgNum to GetHighest() - 1. Removing a
// message compacts the index, so the messages after it move down by one. A
// message that other software marked deleted (jaDeleted, read as maDeleted)
// keeps its record and number; it is left out of GetCount only.
//
// Every change is a transaction (jam_transaction.cpp): the base header's
// counters reach the disk at its commit; the index is what counts the
// messages, and a stale ActiveMsgs (other software) is put right at the next
// Open for writing. Every value read from the files
// (offsets, lengths, counts) is checked against the real file sizes and the buffers before use, so
// a damaged base ends in a status, never in a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "msgbase/jam/jam_format.h"
#include "msgbase/message_base.h"
#include "msgbase/transaction.h"

namespace msgbase {

// Attribute numbers that only this base accepts: the type of the message,
// stored as the JAM bits of the same values. WriteMessage sets exactly the one
// that matches the base type (SetBaseType).
inline constexpr std::int32_t maTypeLocal = 0x00800000;
inline constexpr std::int32_t maTypeEcho = 0x01000000;
inline constexpr std::int32_t maTypeNet = 0x02000000;

class TJamMessageBase : public TMessageBase {
 public:
  // Closed, base path "", no streams, no current message.
  TJamMessageBase();
  // CloseMessage, then Close.
  ~TJamMessageBase() override;

  // --- The base ---
  // True when any of Path's header, index or text files (JHR, JDX, JDT) holds
  // bytes: a base missing some of them is damaged, not absent, and must not
  // be created over. The lastread file does not count, nor do empty files (a
  // creation that was stopped).
  [[nodiscard]] bool Exist(const std::string& Path) override;
  // Makes a new empty base (creating missing directories) and leaves it open:
  // a 1024-byte header file and three empty files, made under temporary names
  // and published with the header file last (MakeFiles). False with
  // stJamCantCreateJhr/Jdx/Jdt/Jlr; the base path stays set.
  [[nodiscard]] bool Create(const std::string& Path) override;
  // Opens an existing base; a missing lastread file is made. What a writer
  // that died began is finished or undone (RecoverChange), index records of
  // removed messages are dropped at once (RepackIndex), lost ones indexed
  // again (ReindexHeaders) and ActiveMsgs is counted anew. Read-only
  // (omReadOnly): nothing is made, repacked or mended, a removed record keeps
  // its place without a message, and what is wrong is reported
  // (GetInconsistencies). False
  // with stJamAbsentJhr/Jdx/Jdt, stJamCantOpenJhr/Jdx/Jdt, stJamDamagedBase (a
  // header file without a whole, signed base header), stJamCantCreateJlr or
  // stJamStreamProblems; then the base is closed and its path is "".
  [[nodiscard]] bool Open(const std::string& Path) override;
  // Gives back an unwritten new message, undoes a transaction still open,
  // commits a count that changed outside one, and closes the four files.
  // The status is then stOk, or stJamStreamProblems when that commit
  // failed. Nothing happens unless the base is open.
  void Close() override;

  // --- Numbers ---
  // N is a valid number and its index record is not marked removed.
  [[nodiscard]] bool Exists(std::int32_t Message) override;
  // As for every base, but numbers outside BaseMsgNum..GetHighest() - 1 are
  // stepped over at once instead of one by one (a base may start anywhere
  // up to the top of the 32-bit range).
  void SeekNext() override;
  void SeekPrev() override;
  [[nodiscard]] std::int32_t GetLocation() override;
  void SetLocation(std::int32_t Location) override;
  // One more than the last message's number: BaseMsgNum plus the index
  // records, deleted messages included.
  [[nodiscard]] std::int32_t GetHighest() override;
  // ActiveMsgs: the messages not marked deleted.
  [[nodiscard]] std::int32_t GetCount() override;

  // --- One message ---
  // Loads header, subfields and text of the current message into a new text
  // stream: control lines from the subfields, the stored text, then Via,
  // SEEN-BY and PATH lines, then the restored address lines. False with
  // stJamStreamProblems (no such record, unreadable files), or
  // stJamWrongHeaderLocation / stJamWrongDataLocation (the stored offsets do
  // not fit the files; a message marked deleted opens without the subfields
  // or the text that do not fit); the previous text stream is released in
  // any case.
  [[nodiscard]] bool OpenMessage() override;
  // The same without the stored text and the Via, SEEN-BY and PATH lines.
  [[nodiscard]] bool OpenMessageHeader() override;
  // Releases the text stream; false when there is none. A new message that was
  // never written is given back (it no longer counts in GetCount).
  [[nodiscard]] bool CloseMessage() override;
  // Starts a new message in memory, numbered one past the last message and
  // dated now; the current number becomes one more than its number. False
  // with stJamStreamProblems when the base is not open.
  [[nodiscard]] bool CreateNewMessage() override;
  // Stores the current message: a new header with its subfields at the end of
  // the header file, the text at the end of the text file, then its index
  // record (kept for the commit for a new message, rewritten for an opened
  // one). Outside a transaction it is committed at once. False with
  // stJamStreamProblems when there is no message, when its subfields do not
  // fit JamSubfieldsSize bytes (nothing is written then), or when a write
  // fails (what was appended is cut off again; its own change is undone).
  [[nodiscard]] bool WriteMessage() override;
  // Rewrites the 76-byte fixed header of a stored message in place. False with
  // stJamWrongHeaderLocation for a message not stored yet, stJamStreamProblems
  // when the write fails.
  [[nodiscard]] bool WriteMessageHeader() override;
  // Removes the current message from the index and moves it and the later
  // messages' lastread values down; the current number drops by one. False
  // with stJamWrongHeaderLocation, changing nothing, when there is no stored
  // current message (or a new one is pending); stJamStreamProblems when the
  // index cannot be rewritten.
  [[nodiscard]] bool KillMessage() override;

  [[nodiscard]] std::string GetFrom() override;
  [[nodiscard]] std::string GetTo() override;
  [[nodiscard]] std::string GetSubject() override;
  // Stored cut to 255 characters.
  void SetFrom(const std::string& S) override;
  void SetTo(const std::string& S) override;
  void SetSubject(const std::string& S) override;
  // Start from the address subfields of the stored message (cleared for a
  // new one), then read the text's control lines over them.
  void GetFromAddress(TAddress& Address) override;
  void GetToAddress(TAddress& Address) override;
  void GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) override;

  // Through MapAttribute: a number without a JAM bit reads false and is not
  // stored.
  [[nodiscard]] bool GetAttribute(std::int32_t Attribute) override;
  void SetAttribute(std::int32_t Attribute, bool Enable) override;
  void GetWrittenDateTime(TMessageBaseDateTime& DateTime) override;
  void GetArrivedDateTime(TMessageBaseDateTime& DateTime) override;
  void SetWrittenDateTime(const TMessageBaseDateTime& DateTime) override;
  void SetArrivedDateTime(const TMessageBaseDateTime& DateTime) override;

  // TimesRead is not 0.
  [[nodiscard]] bool GetRead() override;
  // True counts one more reading, false clears the count (in memory;
  // WriteMessageHeader stores it).
  void SetRead(bool Read) override;

  // --- Transactions (record and recovery in jam_transaction.cpp) ---
  // Between BeginTransaction and CommitTransaction the new messages' texts
  // and headers are appended without syncs and their index records wait in
  // memory; CommitTransaction appends them in one write (group commit).
  // Outside a transaction every change is one of its own.
  [[nodiscard]] bool BeginTransaction() override;
  [[nodiscard]] bool CommitTransaction() override;
  void RollbackTransaction() override;
  // What the open found and left: a stale count, zeroed index records,
  // headers past the last index record, an unfinished change.
  [[nodiscard]] std::vector<std::string> GetInconsistencies() override;

  // --- Lastread ---
  // LastReadMsg of the user's record; 0 when there is none.
  [[nodiscard]] std::int32_t GetLastRead(std::int32_t UserNumber) override;
  // Sets both the lastread and the highest read number of the user's record,
  // or appends a record. A failed write leaves stJamStreamProblems.
  void SetLastRead(std::int32_t UserNumber, std::int32_t Message) override;

  // --- Own operations ---
  // The reply links of the header in memory.
  [[nodiscard]] std::int32_t GetReplyTo() const;
  [[nodiscard]] std::int32_t GetReplyFirst() const;
  [[nodiscard]] std::int32_t GetReplyNext() const;
  void SetReplyTo(std::int32_t Message);
  void SetReplyFirst(std::int32_t Message);
  void SetReplyNext(std::int32_t Message);
  // A copy of the current message's fixed header.
  void GetMessageHeader(TJamMessageHeaderFirst& Header) const;
  // The header, index and text file streams (owned by the base; nullptr while
  // closed).
  void GetStreams(TMessageBaseStream*& Header, TMessageBaseStream*& Index,
                  TMessageBaseStream*& Data) const;
  // The N-th subfield (from 1) of the current message: its LoId and its first
  // 255 data bytes. False past the last whole subfield.
  [[nodiscard]] bool GetSubfield(std::int32_t N, std::int32_t& Id, std::string& S) const;
  // Appends one subfield to the current message's subfields. False, changing
  // nothing, when it would not fit JamSubfieldsSize bytes.
  [[nodiscard]] bool AddSubfield(std::int32_t Id, const std::string& S);
  // A common attribute number (or maType...) to its JAM bit; false when the
  // number has none.
  [[nodiscard]] static bool MapAttribute(std::int32_t& Attribute);
  // The name CRC: CRC-32 of the ASCII-lower-cased text, started from all ones
  // and not inverted ("" gives 0xFFFFFFFF).
  [[nodiscard]] static std::uint32_t StrCRC32(const std::string& S);
  // Clears the error state of the four streams.
  void ResetAll();
  // Drops the records marked removed from the index file and counts
  // ActiveMsgs anew (a pending new message still counts). False with
  // stJamStreamProblems when the index cannot be read or rewritten.
  [[nodiscard]] bool RepackIndex();

 private:
  // The subfields of one message as they lie in memory; the header's
  // SubfieldLen tells how much of it is used.
  using TSubfieldArea = std::array<std::uint8_t, JamSubfieldsSize>;

  // Zeroes Subfields_ from Start on.
  void ClearSubfieldsFrom(std::size_t Start);

  // Appends one subfield at Length and advances Length; false, changing
  // nothing, when it would not fit.
  [[nodiscard]] static bool AppendSubfield(TSubfieldArea& Area, std::uint32_t& Length,
                                           std::uint16_t Id, std::string_view S);
  // Calls Visit(Id, Data) for each whole subfield of the current message that
  // lies inside both SubfieldLen and the bytes loaded; stops when Visit
  // answers false.
  template <typename TVisit>
  void WalkSubfields(TVisit Visit) const;
  // Opens the current message, with or without its text and trace lines.
  [[nodiscard]] bool LoadMessage(bool WithText);
  // Reads the index record of Message; false when the number is not valid or
  // the record lies beyond the index file.
  [[nodiscard]] bool ReadIndexRecord(std::int32_t Message, TJamIndex& Index);
  // The whole lastread file in whole records; false when it cannot be read.
  [[nodiscard]] bool ReadLastReadRecords(std::vector<std::uint8_t>& Records);
  // Builds the header and subfields of the current message's text into
  // Header and Area, and its ordinary lines into Text.
  [[nodiscard]] bool BuildMessage(TJamMessageHeaderFirst& Header, TSubfieldArea& Area,
                                  std::string& Text);
  // Writes Bytes at Position of Stream; false when the stream fails.
  [[nodiscard]] static bool WriteAt(TMessageBaseStream& Stream, std::int32_t Position,
                                    std::span<const std::uint8_t> Bytes);
  // Gives back a new message that was never written.
  void DropPendingMessage();
  // Moves the lastread values at or above Removed down by one.
  [[nodiscard]] bool AdjustLastRead(std::uint32_t Removed);
  // True when a message header lies whole at Offset of the header file (at
  // 1024 or beyond, signed, its subfields inside the file) and its text inside
  // the text file; Header is then its fixed part.
  [[nodiscard]] bool ReadWholeHeader(std::uint32_t Offset, TJamMessageHeaderFirst& Header);
  // The same for the fixed part alone: at 1024 or beyond, inside the file,
  // signed.
  [[nodiscard]] bool ReadSignedHeader(std::uint32_t Offset, TJamMessageHeaderFirst& Header);
  // Syncs every open file that changed; false when a sync failed.
  [[nodiscard]] bool SyncAll();
  // Keeps ActiveMsgs right after the current message was stored: it counts
  // once more or once less when its deleted mark changed.
  void CountDeletedChange(bool WasDeleted);
  // True when the message header at HeaderOffset can be read and is marked
  // deleted.
  [[nodiscard]] bool IsDeletedAt(std::uint32_t HeaderOffset);
  // Read-only: counts the records that are not removed into Records_ and
  // fills KeptRecords_ when some are; false when the index cannot be read.
  [[nodiscard]] bool MapKeptRecords();
  // Disposes of the four streams.
  void DisposeStreams();

  // --- The change in progress (jam_transaction.cpp) ---
  // The record's path: the base path and "jtx".
  [[nodiscard]] std::string RecordPath();
  // Joins the change in progress or starts one of its own (Started then true,
  // and EndChange commits it). The record is written at the first Protect.
  void StartChange(bool& Started);
  // Before bytes that committed state refers to are overwritten: keeps their
  // old contents in the record (written, or extended, and synced here).
  // Length 0 only makes sure the record is on disk. False with the status set.
  [[nodiscard]] bool Protect(std::size_t File, std::int64_t Offset, std::int64_t Length);
  // Ends a change StartChange began: commits it when Ok, else undoes it.
  // Returns whether it is committed (always Ok when it joined a transaction).
  [[nodiscard]] bool EndChange(bool Started, bool Ok);
  // The group commit; false (the change undone) when a step fails.
  [[nodiscard]] bool CommitChange();
  // Undoes the change: the record's old bytes and sizes back, the record
  // removed, the base in memory as committed.
  void UndoChange();
  // Creation: the four files under temporary names (FileNames_ each with
  // ".new"), the base header written, all synced, then published by renames,
  // the header file last, each step recorded so that the next run finishes
  // or removes a creation that stopped. stOk or the status of the failure.
  [[nodiscard]] std::int32_t MakeFiles();
  // At an open for writing, before anything else: finishes or undoes what a
  // record left by a writer that died describes. False when it cannot.
  [[nodiscard]] bool RecoverChange();
  // Whether the index records from From to Target bytes of the index file are
  // whole and refer to whole headers and texts (a commit that landed).
  [[nodiscard]] bool IndexTailValid(std::int64_t From, std::int64_t Target);
  // Read-only: what is wrong and left as it is, into Inconsistencies_.
  void NoteInconsistencies(std::int32_t StoredCount);
  // At an open for writing: whole headers past the last index record get
  // their records back, zeroed records are rebuilt from the headers; what
  // cannot be mended is reported. False when a write fails.
  [[nodiscard]] bool ReindexHeaders();
  // The whole message headers in the header file from Offset on, one after
  // another, as long as they are whole and their texts fit: offsets and
  // receiver CRCs, with whether each is marked deleted.
  struct THeaderScan {
    std::uint32_t Offset = 0;
    std::uint32_t UserCrc = 0;
    bool Deleted = false;
  };
  [[nodiscard]] std::vector<THeaderScan> ScanHeaders(std::int64_t From, std::int64_t& End);
  [[nodiscard]] bool StreamsOpen() const;

  PMessageBaseStream LastReadStream_;
  std::int32_t TextOffset_ = 0;
  std::int32_t TextLength_ = 0;
  TJamHeaderInfo HeaderInfo_;
  // Index records in the numbering: the messages are BaseMsgNum up to
  // BaseMsgNum + Records_ - 1. ActiveMsgs of the base header counts the ones
  // among them that are not marked deleted.
  std::uint32_t Records_ = 0;
  // Read-only and the index holds removed records: the record of each number
  // (from BaseMsgNum on), so that the numbers are the ones an open for writing
  // gives once it has dropped them. Empty otherwise: number and record agree.
  std::vector<std::uint32_t> KeptRecords_;
  // The base header as it is on disk; Close writes HeaderInfo_ only when it
  // differs.
  std::array<std::uint8_t, TJamHeaderInfo::Size> StoredHeaderInfo_{};
  std::int32_t HeaderPosition_ = 0;  // 0: the current message is not stored
  TJamIndex CurrentIndex_;
  // The index record SeekNext found for message FoundIndexFor_ of a base open
  // for reading only (0: none); LoadMessage takes it instead of reading it again.
  TJamIndex FoundIndex_;
  std::int32_t FoundIndexFor_ = 0;
  std::int32_t IndexPosition_ = 0;
  TAddress FromAddress_;
  TAddress ToAddress_;
  std::string From_;
  std::string To_;
  std::string Subject_;
  TJamMessageHeaderFirst MessageHeader_;
  TSubfieldArea Subfields_;
  // Bytes of Subfields_ that hold what was read from the file (or built).
  std::uint32_t SubfieldsLoaded_ = 0;
  // Bytes at the start of Subfields_ that may be other than zero: the rest is
  // zero already and need not be cleared again.
  std::size_t SubfieldsTouched_ = JamSubfieldsSize;
  // A message made by CreateNewMessage that WriteMessage has not stored yet.
  bool NewPending_ = false;
  // The file names in TJamFile order, as Open or Create found them.
  std::vector<std::string> FileNames_;
  // The change in progress: its record (Armed once on disk), whether the
  // caller began it, and the index records of new messages that wait for
  // the commit, from record PendingFrom_ on.
  struct TChange {
    bool Open = false;
    bool Explicit = false;
    bool Armed = false;
    std::size_t SavedImages = 0;  // images the record on disk holds
    TIntent Intent;
    std::uint32_t PendingFrom = 0;
    std::vector<std::uint8_t> Pending;
  };
  TChange Change_;
  std::vector<std::string> Inconsistencies_;
  PMessageBaseStream HeaderStream_;
  PMessageBaseStream IndexStream_;
  PMessageBaseStream DataStream_;
};

}  // namespace msgbase
