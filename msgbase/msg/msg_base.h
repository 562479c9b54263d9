// The *.msg directory base: one file per message, named by its number, with a
// 190-byte header (msg_format.h, docs/msg_format.md) followed by the text and a
// zero byte, and a lastread file of 16-bit numbers. The base keeps a map of
// the numbers that exist, rebuilt from the directory at every Open and Create
// and kept up to date by CreateNewMessage and KillMessage.
//
// Status codes (msgbase/status.h): stMsgWrongPath, stMsgNotFound,
// stMsgCantCreateStream, stMsgAlreadyClosed, stMsgBufferOverflow.
//
// A new message takes its number exclusively and only once its whole file is
// on the disk, so a message another program created after this base was
// opened is never overwritten (its number is simply passed over), and a run
// that dies leaves at most a temporary file, which the next Open removes. The
// directory is not locked otherwise. The messages of a transaction are
// numbered, and the ones it removes deleted, together at its commit, under a
// record that lets the next open for writing finish a commit that was stopped
// (msg_transaction.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "msgbase/message_base.h"
#include "msgbase/msg/msg_format.h"
#include "msgbase/stream.h"

namespace msgbase {

class TFidoMessageBase : public TMessageBase {
 public:
  TFidoMessageBase() = default;
  // Closes the open message and the base.
  ~TFidoMessageBase() override;

  // Opens the directory Path (a '/' is appended to the stored base path when
  // missing) and, unless read-only, finishes the posting whose commit a
  // writer that died left unfinished and removes the temporary files of
  // writers that died. False with stMsgWrongPath when it is not a directory, or
  // stMsgTwoNames when a message or the lastread file is there as two files
  // whose names differ only in case (two links to one file are one).
  [[nodiscard]] bool Open(const std::string& Path) override;
  // Makes the directory and its parents as needed, each synced with its
  // parent and the directory itself synced, then opens it; an existing
  // directory opens with its messages. False with stMsgWrongPath when the
  // directory cannot be made.
  [[nodiscard]] bool Create(const std::string& Path) override;
  // True when Path is an existing directory.
  [[nodiscard]] bool Exist(const std::string& Path) override;
  // Rolls back a transaction still open, forgets the base path and marks the
  // base closed; an open message stays open.
  void Close() override;
  // True when message Message is in the map.
  [[nodiscard]] bool Exists(std::int32_t Message) override;
  [[nodiscard]] std::int32_t GetLocation() override;
  void SetLocation(std::int32_t Location) override;

  // Opens the current message: header and whole text (position 0). False with
  // stMsgNotFound (not in the map), stMsgCantCreateStream (the file cannot be
  // opened or read), stMsgDamagedFile (shorter than the header) or
  // stMsgBufferOverflow (text over MaxFidoTextSize).
  [[nodiscard]] bool OpenMessage() override;
  // Opens the current message with its header and only the control lines at
  // the top of its text, each ending with a carriage return; the text position
  // is at their end. Same results as OpenMessage.
  [[nodiscard]] bool OpenMessageHeader() override;
  // Closes the message file and releases the text. False with
  // stMsgAlreadyClosed when no message is open.
  [[nodiscard]] bool CloseMessage() override;
  [[nodiscard]] std::int32_t GetHighest() override;
  [[nodiscard]] std::int32_t GetCount() override;
  // Message files whose number is 0 or above MaxFidoMessage ("40000.msg"),
  // as RebuildIndex found them, in name order.
  [[nodiscard]] std::vector<std::string> GetUncountedFiles() override;

  [[nodiscard]] std::string GetFrom() override;
  [[nodiscard]] std::string GetTo() override;
  [[nodiscard]] std::string GetSubject() override;
  // Net and node from the header, completed from the control lines; zone
  // DefaultZone when nothing supplies one.
  void GetFromAddress(TAddress& Address) override;
  void GetToAddress(TAddress& Address) override;
  void GetFromAndToAddress(TAddress& FromAddress, TAddress& ToAddress) override;

  // Names keep their first 35 characters, the subject its first 71.
  void SetFrom(const std::string& S) override;
  void SetTo(const std::string& S) override;
  void SetSubject(const std::string& S) override;
  // The control lines of the abstract base, then net and node in the header.
  void SetFromAddress(const TAddress& Address, bool NewId) override;
  void SetToAddress(const TAddress& Address) override;
  void SetFromAndToAddress(const TAddress& FromAddress, const TAddress& ToAddress,
                           bool NewId) override;

  // One library attribute at a time (MapAttribute); others are refused
  // (GetAttribute false, SetAttribute does nothing).
  [[nodiscard]] bool GetAttribute(std::int32_t Attribute) override;
  void SetAttribute(std::int32_t Attribute, bool Enable) override;
  void GetWrittenDateTime(TMessageBaseDateTime& DateTime) override;
  // Unpacks the arrived stamp; Sec100 keeps the caller's value.
  void GetArrivedDateTime(TMessageBaseDateTime& DateTime) override;
  // Sets the date text and the packed written stamp.
  void SetWrittenDateTime(const TMessageBaseDateTime& DateTime) override;
  void SetArrivedDateTime(const TMessageBaseDateTime& DateTime) override;

  // Stores the message file: header, text, one zero byte, nothing after. The
  // file is written whole under a temporary name and synced; a new message
  // then gets its number's name with link() (exclusive: a number another
  // program took meanwhile is passed over for the next free one), a stored
  // one is replaced by rename(); the directory is synced last. So a number
  // never names an empty or partial file, whenever the run stops. False with
  // stMsgAlreadyClosed when no message is open, with stMsgCantCreateStream
  // when a write or sync fails (a full disk, for instance): the stored
  // message is then as it was, no file is left behind, and the message stays
  // open, so that it can be written again.
  //
  // Inside a transaction a new message is written and synced the same way
  // but not numbered: its number (Current) is the one it will most likely
  // get, and it is not in the map until CommitTransaction. A rewrite of a
  // stored message is its own change even then.
  [[nodiscard]] bool WriteMessage() override;
  // Rewrites the 190 header bytes only (one write within the file's first
  // sector, synced). Same results as WriteMessage.
  [[nodiscard]] bool WriteMessageHeader() override;
  // Starts an empty message in memory under the next number after
  // GetHighest (never under FidoHighWaterMessage: an empty area starts at 2)
  // whose file does not exist, stamped with the current date; no
  // file is made until WriteMessage. The number is consumed even on failure.
  // False with stMsgCantCreateStream when no number is left or the directory
  // cannot be written.
  [[nodiscard]] bool CreateNewMessage() override;
  // Deletes the current message's file and drops it from the map, and syncs
  // the directory; GetHighest and the current number stay. False when it is
  // not in the map or the file cannot be deleted (status unchanged).
  //
  // Inside a transaction the file is only set aside
  // ("N.vellumar<pid>.kill", checked to be the file read, as always) and
  // the message dropped from the map; CommitTransaction deletes it, a
  // rollback or a failed commit puts it back under its number.
  [[nodiscard]] bool KillMessage() override;
  // The lastread entry of UserNumber; 0 when the file is missing or too short.
  [[nodiscard]] std::int32_t GetLastRead(std::int32_t UserNumber) override;
  // Stores the low 16 bits of Message as UserNumber's entry, creating or
  // extending the file (a gap reads as zeros), and syncs it (and the
  // directory when the file is new). Failures are not reported.
  void SetLastRead(std::int32_t UserNumber, std::int32_t Message) override;
  // The read counter of the header in memory (WriteMessageHeader stores it):
  // SetRead(true) counts one more reading, SetRead(false) clears it.
  [[nodiscard]] bool GetRead() override;
  void SetRead(bool Read) override;

  // A transaction groups new messages and removals: each new message is
  // written to its temporary file and synced at WriteMessage, each removed
  // one set aside at KillMessage; CommitTransaction numbers the new ones and
  // deletes the removed ones in one pass (msg_transaction.cpp) and returns
  // once that is on the disk.
  // False with stMsgReadOnly or, when the base is not open or a transaction
  // is open already, stMsgCantCreateStream.
  [[nodiscard]] bool BeginTransaction() override;
  // False with stMsgCantCreateStream when the messages could not all be
  // numbered (a full disk, no number left, another writer's record that
  // stays for about ten seconds): then none of them is, and the removed
  // messages are back.
  [[nodiscard]] bool CommitTransaction() override;
  // Removes the temporary files of the messages written since
  // BeginTransaction, none of them numbered, and puts the messages removed
  // since back under their numbers.
  void RollbackTransaction() override;
  // What the open found and left: a transaction whose commit a writer began
  // and did not finish (reported by a read-only open, which also hides the
  // messages of it that are numbered already; an open for writing finishes
  // it), a record that cannot be read or finished, messages a remover that
  // died set aside.
  [[nodiscard]] std::vector<std::string> GetInconsistencies() override;

  // Rebuilds the map, the count and the highest number from the directory;
  // message files count whatever the case of their extension.
  void RebuildIndex();
  // Sets or clears bit N of the map (0..61439; others change nothing); the
  // count follows the bit.
  void SetMapDot(std::int32_t N, bool Value);
  [[nodiscard]] bool GetMapDot(std::int32_t N) const;

  // Flags of the FLAGS control line: GetAFlag is true when Flag occurs in the
  // line; SetAFlag adds " Flag" or removes its first occurrence, and drops the
  // line when no flag is left.
  [[nodiscard]] bool GetAFlag(const std::string& Flag);
  void SetAFlag(const std::string& Flag, bool Value);

  // Reply links, stored as their low 16 bits and read back unsigned.
  void SetReplyTo(std::int32_t Message);
  [[nodiscard]] std::int32_t GetReplyTo() const;
  void SetReplyNext(std::int32_t Message);
  [[nodiscard]] std::int32_t GetReplyNext() const;
  // A copy of the current header.
  void GetHeader(TFidoHeader& Header) const;

 private:
  // Open (Make false) or Create (Make true).
  [[nodiscard]] bool OpenDirectory(const std::string& Path, bool Make);
  [[nodiscard]] std::string MessageFileName(std::int32_t Message);
  // Whether the listing named message N's one file a regular file (PlainFiles_).
  [[nodiscard]] bool IsPlainFile(std::int32_t N) const;
  // Opens the current message's file and reads its header, and with WithText
  // the text into the text stream too; the common start of OpenMessage and
  // OpenMessageHeader. FileSize receives the file's size.
  [[nodiscard]] bool OpenMessageFile(std::int32_t& FileSize, bool WithText);
  // Takes the next number whose name is free as the new message's number
  // (current); false when none is left.
  [[nodiscard]] bool ReserveNextNumber();
  // Gives the fully written TempName the new message's number, or the next
  // free one after it, as a second name; false when none could be given.
  [[nodiscard]] bool PublishMessageFile(const std::string& TempName);
  // Removes the temporary files that writers which are no longer running
  // left in the directory, and puts back the messages that removers which
  // are no longer running had set aside.
  void RemoveDeadWritersFiles();
  // A new temporary file for a message being written, under a name nothing
  // stood at; TempName receives the name. The stream's status tells success.
  [[nodiscard]] PMessageBaseStream CreateTempFile(std::string& TempName);
  // Remembers which file the open message's number stands for, so that a
  // removal removes that file and no other.
  void RememberReadFile();
  // Gives a file set aside for removal back its number, or the next free one
  // when that is taken, and puts that in the map; false when it stays aside.
  [[nodiscard]] bool PutBackAside(const std::string& Aside, std::int32_t Message);
  // A message of the open transaction: its temporary file (full path) and
  // the number it is meant to get.
  struct TPendingMessage {
    std::string TempName;
    std::int32_t Number = 0;
  };
  // How the open dealt with a transaction record it found.
  enum class TRecordFate { None, Done, Live, Left };
  // Finishes (or removes, when torn) the record of a writer that is no
  // longer running; a record of a live writer stays.
  [[nodiscard]] TRecordFate FinishDeadWritersRecord();
  // Whether a writer other than this process, still running, has temporary
  // files in the directory.
  [[nodiscard]] bool OtherLiveWriter();
  // Reports, at a read-only open, a record and what removers that died set
  // aside, and takes the messages the record numbered already out of the map.
  void ReportUnfinishedChanges();
  // A message removed inside the open transaction: the name its file was set
  // aside under (full path), its number, and the other names of the file
  // (links in another case), which go with it.
  struct TRemoval {
    std::string Aside;
    std::int32_t Number = 0;
    std::vector<std::string> Links;
  };
  // The commit: the pending messages numbered and the removed ones deleted
  // in one pass under the record.
  [[nodiscard]] bool CommitChange();
  // Deletes the files of the removals (each link only while it is still the
  // file set aside).
  void DeleteRemoved();
  // Puts the removed messages back under their numbers.
  void PutBackRemoved();
  // Creates the record, first waiting for (or finishing) another writer's.
  [[nodiscard]] bool BeginRecord(const std::string& Extra, std::uint32_t Kind);
  // Keeps the written temporary file of the open new message for the commit;
  // false (the file removed) when it failed.
  [[nodiscard]] bool KeepPending(PMessageBaseStream Temp, const std::string& TempName);
  // Removes the pending messages' temporary files, puts the removed messages
  // back and ends the transaction.
  void DropPending();
  [[nodiscard]] std::string RecordFileName();
  // Leaves no message open and records Status; returns false for the caller.
  [[nodiscard]] bool FailMessage(std::int32_t Status);
  // Ends a write: false with stMsgCantCreateStream when the file failed.
  [[nodiscard]] bool FinishWrite();
  void StoreHeader(TMessageBaseStream& File);
  [[nodiscard]] std::string LastReadFileName();

  TNumberBits Map_{};
  // Messages whose one name the last listing named a regular file itself (not
  // a link to one), in bits like Map_: a read-only base opens them with
  // smKnownRegular and reads them in one go. Any change to a number's bit in
  // Map_ clears it here.
  TNumberBits PlainFiles_{};
  // Room for one read of a message file that gives its size too (files this
  // short or shorter); kept from message to message.
  static constexpr std::size_t WholeFileRead = std::size_t{64} << 10;
  std::vector<std::uint8_t> FileBytes_;
  // Messages stored under another case of the name ("12.MSG"), bare names.
  std::map<std::int32_t, std::string> OtherCaseNames_;
  // Messages RebuildIndex found under more than one name of one file: only
  // these have links to keep in step on a rewrite or a removal.
  std::set<std::int32_t> LinkedNumbers_;
  // RebuildIndex found two message files whose names differ only in case.
  bool TwoNames_ = false;
  // Message files RebuildIndex passed over for their number.
  std::vector<std::string> Uncounted_;
  // Names of the lastread file RebuildIndex found, in any case.
  std::int32_t LastReadNames_ = 0;
  std::int32_t Count_ = 0;
  std::int32_t Highest_ = 0;
  PMessageBaseStream MessageFile_;
  // A message is open (a new one has no file until it is written), its
  // number and file, and whether it is new and not stored yet.
  bool MessageOpen_ = false;
  std::int32_t MessageNumber_ = 0;
  std::string MessagePath_;
  bool NewMessage_ = false;
  TFidoHeader Header_;
  // The last date text parsed, and what it says.
  decltype(TFidoHeader::DateTime) ParsedDateText_{};
  std::optional<TMessageBaseDateTime> ParsedDate_;
  // The file each message number stood for when it was last read or written.
  std::map<std::int32_t, TFileIdentity> ReadFiles_;
  // The permissions new message files take (0: the process's default), and
  // whether they were looked up since the base was opened.
  std::uint32_t MessagePermissions_ = 0;
  bool MessagePermissionsKnown_ = false;
  // The counter of the next temporary name this base tries.
  std::int32_t NextTempCounter_ = 0;
  // The open transaction, its messages in the order written, the index of
  // the open message among them once it is written (-1: none), and the
  // highest number before it began.
  bool InTransaction_ = false;
  std::vector<TPendingMessage> Pending_;
  std::int32_t PendingOpen_ = -1;
  std::int32_t HighestBeforeTransaction_ = 0;
  // The messages the open transaction removed, in the order removed.
  std::vector<TRemoval> Removals_;
  // Dead removers' set-aside files RebuildIndex found (read-only opens).
  std::vector<std::string> AsideNames_;
  std::vector<std::string> Inconsistencies_;
};

}  // namespace msgbase
