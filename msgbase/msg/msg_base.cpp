// The *.msg base: opening and creating the directory, the map of the numbers
// that exist, closing, and the lastread file.
#include "msgbase/msg/msg_base.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include "msgbase/date_time.h"
#include "msgbase/file_helpers.h"
#include "msgbase/le_codec.h"
#include "msgbase/msg/msg_names.h"
#include "msgbase/status.h"

namespace msgbase {

using namespace msg_names;

namespace {

// The largest user number whose lastread entry a 32-bit file position reaches.
constexpr std::int32_t MaxLastReadUser =
    (std::numeric_limits<std::int32_t>::max() - FidoLastReadEntrySize) / FidoLastReadEntrySize;

// True when Name is a message file's name whose number no message can bear:
// its stem is a decimal number of 0 or above MaxFidoMessage ("40000.msg").
bool IsUncountedName(const std::string& Name) {
  const std::string Stem = Name.substr(0, Name.find('.'));
  if (Stem.empty()) return false;
  std::int32_t Value = 0;
  for (const char Ch : Stem) {
    if (Ch < '0' || Ch > '9') return false;
    Value = std::min(Value * 10 + (Ch - '0'), MaxFidoMessage + 1);
  }
  return Value < 1 || Value > MaxFidoMessage;
}

// Bit N of a map of message numbers (0..61439; false, and nothing changed,
// outside).
bool BitOf(const TNumberBits& Bits, std::int32_t N) {
  if (N < 0 || N >= FidoMapBits) return false;
  return (Bits[static_cast<std::size_t>(N / 8)] & (1u << (N % 8))) != 0;
}

void PutBit(TNumberBits& Bits, std::int32_t N, bool Value) {
  if (N < 0 || N >= FidoMapBits) return;
  const auto Mask = static_cast<std::uint8_t>(1u << (N % 8));
  std::uint8_t& Byte = Bits[static_cast<std::size_t>(N / 8)];
  Byte = static_cast<std::uint8_t>(Value ? Byte | Mask : Byte & ~Mask);
}

}  // namespace

TFidoMessageBase::~TFidoMessageBase() {
  // Nobody is left to read a status at this point.
  if (MessageOpen_) (void)CloseMessage();
  Close();
}

bool TFidoMessageBase::Open(const std::string& Path) {
  return OpenDirectory(Path, false);
}

bool TFidoMessageBase::Create(const std::string& Path) {
  if (RefuseChange(stMsgReadOnly)) return false;
  return OpenDirectory(Path, true);
}

bool TFidoMessageBase::OpenDirectory(const std::string& Path, bool Make) {
  SetOpened(false);
  // What an open transaction set aside goes back where it was taken from.
  if (InTransaction_) DropPending();
  std::string Base = Path;
  if (Base.empty() || Base.back() != '/') Base += '/';
  SetBasePath(Base);
  // A longer path would be stored cut, and every file name built on it would
  // point somewhere else.
  if (Base.size() > MaxTextLength) {
    SetStatus(stMsgWrongPath);
    return false;
  }
  Inconsistencies_.clear();
  // A folder made here is on the disk before anything is said of it: its
  // entry in its parent (CreateDirectory syncs each parent) and itself.
  if (Make) (void)CreateDirectory(Base);  // always true: whether it worked is tested next
  if (!DirectoryExists(Base) || (Make && !SyncDirectory(Base))) {
    SetStatus(stMsgWrongPath);
    return false;
  }
  // A reader leaves the directory as it is. A writer first finishes the
  // posting a writer that died left half numbered; the temporary files of
  // a posting whose record stays are its messages and stay too.
  if (!IsReadOnly() && FinishDeadWritersRecord() != TRecordFate::Left) RemoveDeadWritersFiles();
  RebuildIndex();
  if (IsReadOnly()) ReportUnfinishedChanges();
  std::string LastRead;
  if (TwoNames_ ||
      (LastReadNames_ > 1 && FindFileAnyCase(GetBasePath() + FidoLastReadName, LastRead) > 1)) {
    SetStatus(stMsgTwoNames);
    return false;
  }
  SetOpened(true);
  return true;
}

bool TFidoMessageBase::Exist(const std::string& Path) {
  return DirectoryExists(Path);
}

void TFidoMessageBase::Close() {
  if (InTransaction_) DropPending();
  ReadFiles_.clear();
  MessagePermissionsKnown_ = false;
  SetBasePath("");
  SetOpened(false);
}

bool TFidoMessageBase::Exists(std::int32_t Message) {
  return GetMapDot(Message);
}

std::int32_t TFidoMessageBase::GetLocation() {
  return Current();
}

void TFidoMessageBase::SetLocation(std::int32_t Location) {
  SetCurrent(Location);
}

void TFidoMessageBase::RebuildIndex() {
  LinkedNumbers_.clear();
  Map_.fill(0);
  PlainFiles_.fill(0);
  Count_ = 0;
  Highest_ = 0;
  OtherCaseNames_.clear();
  TwoNames_ = false;
  Uncounted_.clear();
  AsideNames_.clear();
  LastReadNames_ = 0;
  // Other software may name its messages "12.MSG": any case of the extension
  // counts. Names that differ only in case are refused when they are two
  // files, and are one message when they are links to one file. The same
  // pass counts the names of the lastread file, in any case and of any kind,
  // so that opening reads the directory once.
  const std::string Extension = FidoMessageExtension;
  const std::string LastReadName = FidoLastReadName;
  std::map<std::string, std::string> Folded;  // folded name -> the name it is opened under
  PMessageBaseFind Find = CreateMessageBaseFind();
  for (bool Found = Find->StartSearch(GetBasePath() + "*", faAnyFile | faNamesOnly); Found;
       Found = Find->NextSearch()) {
    const std::string& Name = Find->GetName();
    std::string Lower = Name;
    for (char& Ch : Lower) Ch = LoCase(Ch);
    if (Lower == LastReadName) ++LastReadNames_;
    if (IsReadOnly() && DeadRemoversMessage(Name) > 0) AsideNames_.push_back(Name);
    if ((Find->GetAttr() & ~(faArchive | faReadOnly)) != 0) continue;  // message files only
    if (Lower.size() <= Extension.size() ||
        Lower.compare(Lower.size() - Extension.size(), Extension.size(), Extension) != 0) {
      continue;
    }
    std::int32_t Message = 0;
    if (!MessageNumberOfName(Name, Message)) {
      if (IsUncountedName(Name)) Uncounted_.push_back(Name);
      continue;
    }
    const std::string Own = LongToStr(Message) + Extension;
    const auto [Known, First] = Folded.emplace(Lower, Name);
    if (!First) {
      if (SameFile(GetBasePath() + Known->second, GetBasePath() + Name)) {
        Known->second = PreferredName(GetBasePath(), Known->second, Name, Own);
        LinkedNumbers_.insert(Message);
      } else {
        TwoNames_ = true;
      }
    }
    if (Known->second != Own && Lower == Own) OtherCaseNames_[Message] = Known->second;
    if (Known->second == Own) OtherCaseNames_.erase(Message);
    // A number under one name only, listed as a regular file, is plain; a
    // second name for it (a link, or another spelling of the number) makes
    // it one to look up.
    const bool OneName = First && !GetMapDot(Message);
    SetMapDot(Message, true);  // clears the plain bit
    if (OneName && Find->IsPlainFile()) PutBit(PlainFiles_, Message, true);
    if (Message > Highest_) Highest_ = Message;
  }
  Find->StopSearch();
  std::sort(Uncounted_.begin(), Uncounted_.end());
}

void TFidoMessageBase::SetMapDot(std::int32_t N, bool Value) {
  if (N < 0 || N >= FidoMapBits) return;
  PutBit(PlainFiles_, N, false);
  // The count follows the bit, so that two names for one number (12.msg and
  // 12.bak.msg) count once.
  if (Value != BitOf(Map_, N)) Count_ += Value ? 1 : -1;
  PutBit(Map_, N, Value);
}

bool TFidoMessageBase::GetMapDot(std::int32_t N) const {
  return BitOf(Map_, N);
}

bool TFidoMessageBase::IsPlainFile(std::int32_t N) const {
  return BitOf(PlainFiles_, N);
}

std::string TFidoMessageBase::MessageFileName(std::int32_t Message) {
  const auto Other = OtherCaseNames_.find(Message);
  if (Other != OtherCaseNames_.end()) return GetBasePath() + Other->second;
  return GetBasePath() + LongToStr(Message) + FidoMessageExtension;
}

std::string TFidoMessageBase::LastReadFileName() {
  std::string Name;
  (void)FindFileAnyCase(GetBasePath() + FidoLastReadName, Name);  // Open refused two names
  return Name;
}

std::vector<std::string> TFidoMessageBase::GetUncountedFiles() {
  return Uncounted_;
}

std::int32_t TFidoMessageBase::GetHighest() {
  return Highest_;
}

std::int32_t TFidoMessageBase::GetCount() {
  return Count_;
}

std::int32_t TFidoMessageBase::GetLastRead(std::int32_t UserNumber) {
  if (!GetOpened() || UserNumber < 0 || UserNumber > MaxLastReadUser) return 0;
  PMessageBaseStream File = CreateMessageBaseFileStream(LastReadFileName(), smRead);
  if (!File || File->GetStatus() != stOk) return 0;
  const std::int32_t Offset = UserNumber * FidoLastReadEntrySize;
  if (File->GetSize() < Offset + FidoLastReadEntrySize) return 0;
  std::array<std::uint8_t, FidoLastReadEntrySize> Entry{};
  File->Seek(Offset);
  File->ReadBuffer(Entry);
  if (File->GetStatus() != stOk) return 0;
  return GetLE16(Entry.data());
}

void TFidoMessageBase::SetLastRead(std::int32_t UserNumber, std::int32_t Message) {
  if (RefuseChange(stMsgReadOnly) || !GetOpened() || UserNumber < 0 || UserNumber > MaxLastReadUser)
    return;
  const std::string FileName = LastReadFileName();
  PMessageBaseStream File = CreateMessageBaseFileStream(FileName, smWrite);
  // Creating empties the file: only for one that is not there, never for one
  // that merely refused to open, which would lose every user's entry.
  const bool Make = (!File || File->GetStatus() != stOk) &&
                    GetFileOpenFailure() == stStreamOpenFailed && !FileExists(FileName);
  if (Make) File = CreateMessageBaseFileStream(FileName, smCreate | smNew);
  if (!File || File->GetStatus() != stOk) return;
  // The change is one write of two bytes at an even offset, which never
  // spans two sectors, so a power cut keeps it whole or loses it whole; a
  // file it extends reads zeros (no entry) in the gap and wherever the
  // write was lost. It is on the disk before the call returns.
  std::array<std::uint8_t, FidoLastReadEntrySize> Entry{};
  PutLE16(Entry.data(), static_cast<std::uint16_t>(Message));
  File->Seek(UserNumber * FidoLastReadEntrySize);
  File->WriteBuffer(Entry);
  File->Flush();
  if (Make) (void)SyncDirectory(GetBasePath());  // failures are not reported, as above
}

}  // namespace msgbase
