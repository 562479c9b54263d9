// A message area in the Squish format: a data file (.sqd) of linked frames
// behind a 256-byte base header, an index file (.sqi) with one 12-byte record
// per message, and a lastread file (.sql). Records and layout are in
// msgbase/squish/squish_format.h and docs/squish_format.md.
//
// Two doubly linked chains run through the data file: the message chain
// (BeginFrame..LastFrame) in the order messages were stored, and the free chain
// (FreeFrame..LastFreeFrame) of frames given up by removed or grown messages,
// which new messages reuse first-fit. The index file is in ascending id order.
//
// The data and index files stay open with the deny-write request from Open or
// Create to Close; the lastread file is opened and closed within each call.
// Every offset, length and link read from the files is checked against the
// real file sizes before use, and every chain walk is bounded, so a corrupt
// base ends in a status code (0x30xx, msgbase/status.h), never a crash.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "msgbase/message_base.h"
#include "msgbase/squish/squish_format.h"
#include "msgbase/stream.h"
#include "msgbase/transaction.h"

namespace msgbase {

class TSquishMessageBase : public TMessageBase {
 public:
  // Closed, empty base path, no current message.
  TSquishMessageBase();
  // Closes the base (saving its header).
  ~TSquishMessageBase() override;

  // --- The base ---
  // The base path: Path with "." appended unless it already ends in "."; the
  // files are the base path followed by "sqd", "sqi" and "sql".
  virtual void PreparePath(const std::string& Path);
  // True when the data or the index file holds bytes: a base missing one of
  // them is damaged, not absent, and must not be created over. Empty files
  // (a creation that was stopped) make no base.
  [[nodiscard]] bool Exist(const std::string& Path) override;
  // Makes a new empty base and leaves it open: the data file with its header
  // and the empty index are made under temporary names, synced with their
  // folder (which is made when missing), and then renamed, the data file
  // last, so the base appears in one step. False with stSquishCantCreateSqd
  // or stSquishCantCreateSqi (in that order of creation); the base is then
  // closed with an empty base path.
  [[nodiscard]] bool Create(const std::string& Path) override;
  // Opens an existing base. False with stSquishAbsentSqd, stSquishAbsentSqi,
  // stSquishCantOpenSqd, stSquishCantOpenSqi (also while another stream holds
  // a file), stSquishBaseHeaderProblems for a data file shorter than its
  // header, or stSquishDataProblems when a change a writer left unfinished
  // cannot be finished or undone, or RepairAfterCrash cannot write; the base
  // is then closed with an empty base path. Readers see only what the base
  // header counts, and change nothing.
  [[nodiscard]] bool Open(const std::string& Path) override;
  // Undoes a transaction still open, gives back the counts of a new message
  // that was never written, and closes both files. The status is then stOk,
  // or stSquishDataProblems when the undo could not be written. Nothing
  // happens on a closed base.
  void Close() override;

  // --- Transactions (squish_transaction.cpp, docs/squish_format.md) ---
  // Every change is one: the record <base>.sqt holds the files' old sizes and
  // the old bytes of everything committed state refers to that the change
  // overwrites; new frames and index records go where the base header does
  // not count them; the commit syncs both files and then writes the base
  // header in one piece. Outside BeginTransaction each WriteMessage,
  // WriteMessageHeader, KillMessage, SetLastRead and SetHighWater is a
  // transaction of its own.
  // False with stSquishUnsupported while one is open, stSquishReadOnly, or
  // stSquishDataProblems on a closed base.
  [[nodiscard]] bool BeginTransaction() override;
  // True once everything the transaction wrote is on stable storage; false
  // with stSquishDataProblems when a step fails or a removal inside it failed
  // halfway, and then nothing of it stays.
  [[nodiscard]] bool CommitTransaction() override;
  // Nothing the transaction wrote stays; a message being built is dropped.
  void RollbackTransaction() override;
  // For a base opened read-only: a change that a writer began and did not
  // finish, a header count the index does not hold, a message chain that
  // disagrees with the index.
  [[nodiscard]] std::vector<std::string> GetInconsistencies() override;

  // --- Navigation by the index file ---
  // True when some index record has the id Message.
  [[nodiscard]] bool Exists(std::int32_t Message) override;
  // The first record with an id of Message or more becomes current; none: 0.
  void Seek(std::int32_t Message) override;
  void SeekNext() override;
  void SeekPrev() override;
  // Seek to the high-water mark of the base header.
  void SeekHighWater();
  // Byte offset of the current record in the index file.
  [[nodiscard]] std::int32_t GetLocation() override;
  // Makes the record at byte offset Location current; an offset that names no
  // whole record leaves no current message.
  void SetLocation(std::int32_t Location) override;
  // Linear search from the start of the index for the record with id Message
  // (or, with Nearest, the first with an id of Message or more, compared
  // signed). Idx and Pos receive the record and its byte offset.
  [[nodiscard]] bool CheckIndex(std::int32_t Message, TSquishIndex& Idx, std::int32_t& Pos,
                                bool Nearest);
  // Read or write the index record at byte offset Pos; false when the index
  // stream fails or Pos names no whole record inside the file (reading).
  [[nodiscard]] bool GetIndex(std::int32_t Pos, TSquishIndex& Idx);
  [[nodiscard]] bool SetIndex(std::int32_t Pos, const TSquishIndex& Idx);

  // --- Messages ---
  // Loads the current message: header, control area turned back into control
  // lines (0x01, text, CR each), then the stored text without its terminating
  // NUL. False with stSquishMsgNotExists (no current message),
  // stSquishIndexProblems, stSquishDataProblems or stSquishGrungedFrame.
  [[nodiscard]] bool OpenMessage() override;
  // The same without the text: the text stream holds the control lines only,
  // and WriteMessage refuses such a message (WriteMessageHeader serves it).
  [[nodiscard]] bool OpenMessageHeader() override;
  // Releases the text stream (false when there is none). A new message that
  // was never written gives its counts back.
  [[nodiscard]] bool CloseMessage() override;
  // Uid - 1: the id of the newest message made.
  [[nodiscard]] std::int32_t GetHighest() override;
  // NumMsg of the base header.
  [[nodiscard]] std::int32_t GetCount() override;
  // Starts a new message in memory with the next id (the base header counts it
  // at once) and an empty text; always true.
  [[nodiscard]] bool CreateNewMessage() override;
  // Stores the current message: frame (rewritten in place, reused first-fit
  // from the free chain, or appended), message header, control area, text,
  // index record, then the links of the chains; the base header counts it
  // when its transaction commits (at once outside BeginTransaction).
  // Leading control lines that would overflow the control area stay at the
  // head of the text. False with stSquishDataProblems when the base is
  // closed, a neighbour frame cannot be read or a write fails (a full disk):
  // every byte the write changed is then put back and both files are cut to
  // their former sizes, and the message stays as it was before the call (a
  // new one still pending). stSquishMsgNotExists without a text,
  // stSquishUnsupported for a message opened by OpenMessageHeader.
  [[nodiscard]] bool WriteMessage() override;
  // Rewrites the 238-byte message header of a stored message in place. False
  // with stSquishMsgNotExists when the message has no frame yet, or
  // stSquishDataProblems when the write fails.
  [[nodiscard]] bool WriteMessageHeader() override;
  // Removes the current message: its frame joins the free chain, its index
  // record goes, the counts drop by one, and the text stream is released; the
  // next SeekNext reaches the following record. False and nothing changed
  // with stSquishMsgNotExists (no current stored message) or
  // stSquishGrungedFrame; false with stSquishDataProblems when a write fails
  // (outside the caller's own transaction the removal is then undone).
  [[nodiscard]] bool KillMessage() override;

  // --- Header fields of the current message ---
  [[nodiscard]] std::string GetFrom() override;
  [[nodiscard]] std::string GetTo() override;
  [[nodiscard]] std::string GetSubject() override;
  // First 35, 35 and 71 characters.
  void SetFrom(const std::string& S) override;
  void SetTo(const std::string& S) override;
  void SetSubject(const std::string& S) override;
  // The addresses come from the text's control lines, starting from a cleared
  // address; the stored Orig and Dest are not read.
  void GetFromAddress(TAddress& Address) override;
  void GetToAddress(TAddress& Address) override;
  void GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) override;
  // Common attribute numbers (ma*) through MapAttribute; unknown numbers read
  // false and are not stored.
  [[nodiscard]] bool GetAttribute(std::int32_t Attribute) override;
  void SetAttribute(std::int32_t Attribute, bool Enable) override;
  void GetWrittenDateTime(TMessageBaseDateTime& DateTime) override;
  void GetArrivedDateTime(TMessageBaseDateTime& DateTime) override;
  void SetWrittenDateTime(const TMessageBaseDateTime& DateTime) override;
  void SetArrivedDateTime(const TMessageBaseDateTime& DateTime) override;
  // The read mark, bit sqaRead.
  [[nodiscard]] bool GetRead() override;
  void SetRead(bool Read) override;
  [[nodiscard]] std::int32_t GetReplyTo() const;
  void SetReplyTo(std::int32_t Message);
  [[nodiscard]] TSquishMessageReplies GetReplies() const;
  void SetReplies(const TSquishMessageReplies& Replies);
  [[nodiscard]] const TSquishMessageHeader& GetMessageHeader() const { return MessageHeader_; }
  [[nodiscard]] const TSquishBaseHeader& GetBaseHeader() const { return BaseHeader_; }
  // The open data and index streams (owned by the base; nullptr when closed).
  void GetStreams(TMessageBaseStream*& Data, TMessageBaseStream*& Index) const;

  // --- Lastread ---
  // User UserNumber's lastread id; 0 when the file is missing, unreadable or
  // too short, or the number is out of range.
  [[nodiscard]] std::int32_t GetLastRead(std::int32_t UserNumber) override;
  // Stores it, creating the file when needed; failures are not reported.
  void SetLastRead(std::int32_t UserNumber, std::int32_t Message) override;

  // --- High-water mark ---
  [[nodiscard]] std::int32_t GetHighWater() const;
  // Sets the mark and writes the base header at once.
  void SetHighWater(std::int32_t Message);

  // --- Frames and chains ---
  // Read or write the 28-byte frame header at Pos. False (stSquishDataProblems)
  // when Pos lies inside the base header or the frame header would pass the
  // end of the data file (reading), or the stream fails; GetFrame(0) is false
  // without a status.
  [[nodiscard]] bool GetFrame(std::uint32_t Pos, TSquishFrame& Frame);
  [[nodiscard]] bool SetFrame(std::uint32_t Pos, const TSquishFrame& Frame);
  // Writes the base header at offset 0 of the data file; false
  // (stSquishDataProblems) when that fails. Inside a transaction the header
  // is the commit and is written by it; this is for a base that is not in one.
  bool SaveBaseHeader();
  // Chain maintenance on the frame at FramePos; Head and Tail are the chain's
  // ends in the base header. A neighbour counts only when it reads as a frame
  // with the right signature.
  // The frame at PrevPos gets NextFrame = FramePos; Frame.PrevFrame = PrevPos
  // (0 when there is no such frame).
  void LinkToPrev(TSquishFrame& Frame, std::uint32_t PrevPos, std::uint32_t FramePos);
  // The frame at NextPos gets PrevFrame = FramePos; Frame.NextFrame = NextPos
  // (0 when there is no such frame).
  void LinkToNext(TSquishFrame& Frame, std::uint32_t NextPos, std::uint32_t FramePos);
  // A frame without a successor is the tail, one without a predecessor the head.
  static void LinkUpdate(const TSquishFrame& Frame, std::uint32_t& Head, std::uint32_t& Tail,
                         std::uint32_t FramePos);
  // Joins Frame's neighbours to each other (or moves the chain's ends); Frame
  // itself is not written.
  void UnlinkFrame(const TSquishFrame& Frame, std::uint32_t& Head, std::uint32_t& Tail);

  // --- Coding helpers ---
  // Replaces a common attribute number by its Squish bit; false (Attribute
  // unchanged) when it has none.
  [[nodiscard]] static bool MapAttribute(std::int32_t& Attribute);
  // Exchanges the two 16-bit halves (DOS time-first stamp <-> date-first).
  static void SquishSwap(std::uint32_t& L);
  // The name hash of the index records; only 'A'..'Z' are folded.
  [[nodiscard]] static std::uint32_t MakeHash(const std::string& S);

 private:
  // The streams, closed, and the base path cleared after a failed Open/Create.
  void FailOpen(std::int32_t Status);
  // No current message, nothing being built: the state of a freshly opened base.
  void ResetMessageState();
  // Size of a stream after clearing its error state; -1 when it has none.
  [[nodiscard]] static std::int64_t StreamSize(TMessageBaseStream* Stream);
  // The frame header at Pos when Pos lies after the base header and the frame
  // header inside the data file; no status.
  [[nodiscard]] bool ReadFrame(std::uint32_t Pos, TSquishFrame& Frame);
  // GetFrame plus the signature; stSquishDataProblems on a wrong one.
  [[nodiscard]] bool GetChainFrame(std::uint32_t Pos, TSquishFrame& Frame);
  // First frame of the free chain with room for Length bytes that lies wholly
  // inside the data file; 0 when none (the walk is bounded by the frames the
  // file can hold).
  [[nodiscard]] std::uint32_t FindFreeFrame(std::uint32_t Length, TSquishFrame& Frame);
  // Moves the old frame (at OldPos) of a message that no longer fits to the
  // free chain.
  void FreeOldFrame(TSquishFrame OldFrame, std::uint32_t OldPos);
  // While WriteMessage runs: keeps the bytes of Stream that a write of Length
  // bytes at Pos is about to cover, as far as they lie inside the file. False
  // (stSquishDataProblems) when they cannot be read; the write must not go on.
  [[nodiscard]] bool JournalBytes(TMessageBaseStream& Stream, std::int64_t Pos,
                                  std::int64_t Length);
  // Puts every journalled byte back and cuts both files to their sizes before
  // the write: the files are then as they were.
  void UndoWrite(std::int64_t DataSize, std::int64_t IndexSize);
  // Bytes of the index that hold counted records: the whole records, at most
  // as many as the base header counts (without a new message not yet
  // written). Readers see no record past them.
  [[nodiscard]] std::int64_t CountedIndexBytes();
  // Where a new index record goes: the end of the counted records.
  [[nodiscard]] std::int32_t IndexEnd();
  // At Open, after a record was dealt with, for a base that a writer without
  // records left (an earlier version, other software): removes what nothing
  // counted refers to (index records past the count with ids not given out,
  // the data file's tail past EndFrame, the last frame's link to an
  // uncounted frame) and gives up a broken free chain. False when a repair
  // cannot be written.
  [[nodiscard]] bool RepairAfterCrash();
  // The free chain runs from FreeFrame to LastFreeFrame through free frames
  // inside the file, each linking back to the one before.
  [[nodiscard]] bool FreeChainSound();
  // Counts of a new message that will not be written are given back.
  void GiveBackNewMessage();
  // Loads the current message's frame, header and control lines, and the
  // text when WithText; status on failure.
  [[nodiscard]] bool LoadMessage(bool WithText);
  // Whether the current message number still names the record at
  // IndexPosition_.
  [[nodiscard]] bool CurrentRecordValid();
  // Reads the leading control lines of the text into Control (with their 0x01,
  // without line ends, then a NUL) and returns the control area's length; a
  // line that would overflow the area ends it. TextStart receives where the
  // rest of the text begins.
  [[nodiscard]] std::uint32_t CollectControlLines(std::vector<std::uint8_t>& Control,
                                                  std::int32_t& TextStart);
  // Writes the control area as lines (0x01, text, CR) to the text stream.
  void PutControlLines(const std::vector<std::uint8_t>& Area);
  // Removes the 12-byte record at IndexPosition_ from the index file.
  [[nodiscard]] bool RemoveIndexRecord();
  // The text form of the written date stored in FtscDate.
  [[nodiscard]] std::string FtscDateText();
  // The base header as the commit writes it: without the counts of a new
  // message that is not written yet.
  [[nodiscard]] TSquishBaseHeader CommittedHeader() const;
  // Writes Header at offset 0 and remembers it as the header on disk.
  [[nodiscard]] bool WriteBaseHeader(const TSquishBaseHeader& Header);

  // --- Transactions (squish_transaction.cpp) ---
  [[nodiscard]] std::string RecordName() const;
  // At Open for writing: finishes or undoes the change a record describes.
  [[nodiscard]] bool Recover();
  // A record found by a read-only open: a line for GetInconsistencies, and
  // the files seen as committed.
  void NoteRecord();
  // Whether the base header on disk is no longer the one Record kept.
  [[nodiscard]] bool HeaderCommitted(const TIntent& Record);
  // Starts a transaction in memory; its record is written before the first
  // change (Protect).
  void StartTransaction(bool Explicit);
  // For one change outside an explicit transaction: starts one when none is
  // open (true when it did), and ends it: commits on Ok, else undoes it
  // (Reload: and reads the base header back).
  [[nodiscard]] bool StartAutomatic();
  [[nodiscard]] bool EndAutomatic(bool Automatic, bool Ok, bool Reload);
  // WriteMessage inside its transaction.
  [[nodiscard]] bool StoreMessage();
  // Before Length bytes at Pos of file File are written: their old bytes are
  // in the record, on disk. True, doing nothing, outside a transaction.
  [[nodiscard]] bool Protect(std::size_t File, std::int64_t Pos, std::int64_t Length);
  // Adds the old bytes of the range the record does not hold yet; Image
  // false: the range needs none (free room) and is only marked.
  [[nodiscard]] bool Cover(std::size_t File, std::int64_t Pos, std::int64_t Length,
                           bool Image = true);
  // Writes the record, or appends it when images were added since.
  [[nodiscard]] bool SaveRecord();
  // The headers of the free chain's frames into the record, their rooms
  // marked as free to overwrite; the frames walked may be reused.
  [[nodiscard]] bool KeepFreeChain();
  // The headers of the message chain's frames and the whole index into the
  // record, for removals that may follow one another.
  [[nodiscard]] bool KeepMessageChain();
  [[nodiscard]] bool Commit();
  // Puts back what the transaction wrote and removes its record; Reload
  // reads the base header back from the disk.
  void Undo(bool Reload);
  // The first disagreement between the message chain and the index, if any.
  [[nodiscard]] std::string ChainInconsistency();

  // The current record of the index (navigation) and its byte offset.
  TSquishIndex CurrentIndex_;
  std::int32_t IndexPosition_ = 0;
  // The record of the message that is open or being built, and where it goes
  // in the index file, kept apart from navigation so that a Seek between
  // opening and writing a message cannot redirect the write.
  TSquishIndex MessageIndex_;
  std::int32_t MessageIndexPosition_ = 0;
  TSquishFrame CurrentFrame_;
  std::uint32_t FramePosition_ = 0;
  bool NewMessage_ = false;
  // A new message's id and counts are taken from the base header but the
  // message is not written yet.
  bool CountsTaken_ = false;
  // The current message was opened without its text.
  bool HeaderOnly_ = false;
  TSquishBaseHeader BaseHeader_;
  // The lastread file's path as found at Open (whatever the case of its name).
  std::string LastReadName_;
  // The base header as it is on disk; Close saves BaseHeader_ only when it
  // differs.
  std::array<std::uint8_t, TSquishBaseHeader::Size> StoredBaseHeader_{};
  TSquishMessageHeader MessageHeader_;
  PMessageBaseStream DataStream_;
  PMessageBaseStream IndexStream_;

  // Bytes a WriteMessage overwrote, as they were, for putting them back.
  struct TJournalEntry {
    TMessageBaseStream* Stream = nullptr;
    std::int32_t Pos = 0;
    std::vector<std::uint8_t> Bytes;
  };
  std::vector<TJournalEntry> Journal_;
  bool Journaling_ = false;

  // The data and index files' names as opened (the record lies beside them).
  std::string DataName_;
  std::string IndexName_;
  // What a read-only open found, for GetInconsistencies, and the record of a
  // change not committed, through which it reads.
  std::vector<std::string> Inconsistencies_;
  TIntent Uncommitted_;
  struct TTransaction {
    bool Open = false;
    bool Explicit = false;
    bool Written = false;  // the record is on disk
    bool Dirty = false;    // images added since it was written
    bool FreeChainKept = false;
    bool MessageChainKept = false;
    bool Doomed = false;  // a change failed halfway: the commit must undo all
    TIntent Record;
    // Per file, the ranges the record holds (or that need no old bytes), as
    // start -> end; disjoint.
    std::array<std::map<std::int64_t, std::int64_t>, 3> Covered;
    // Free frames whose headers the record holds: only those are reused.
    std::set<std::uint32_t> Reusable;
  };
  TTransaction Tx_;
};

}  // namespace msgbase
