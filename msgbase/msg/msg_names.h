// The names the *.msg base's sources (msg_base.cpp, msg_read.cpp,
// msg_write.cpp, msg_repair.cpp) give and recognise: which number a message
// file's name stands for, and the temporary and set-aside names of writers
// and removers, and the name of the transaction record. Private to those
// sources.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "msgbase/file_helpers.h"
#include "msgbase/msg/msg_format.h"
#include "msgbase/transaction.h"

namespace msgbase::msg_names {

// The message number a file name stands for: the decimal number before its
// first '.', from 1 to MaxFidoMessage ("12.bak.msg" stands for 12).
inline bool MessageNumberOfName(const std::string& Name, std::int32_t& Message) {
  const std::string Stem = Name.substr(0, Name.find('.'));
  if (Stem.empty() || Stem.size() > 5) return false;
  std::int32_t Value = 0;
  for (const char Ch : Stem) {
    if (Ch < '0' || Ch > '9') return false;
    Value = Value * 10 + (Ch - '0');
  }
  if (Value < 1 || Value > MaxFidoMessage) return false;
  Message = Value;
  return true;
}

// A message is written whole under a temporary name first: "vellumar", the
// writing process's id, a counter when that name is taken already, and this
// extension. The name does not end in the message extension, so no scan takes
// it for a message, and the process id tells a later run whether the file
// belongs to a live writer. A message being removed is set aside under its
// number, the same mark and another extension while it is checked.
// The counter has up to five digits: a posting holds up to one temporary file
// per message until it is committed.
inline constexpr const char* FidoTempPrefix = "vellumar";
inline constexpr const char* FidoTempExtension = ".tmp";
inline constexpr const char* FidoAsideExtension = ".kill";
// Names tried for one process's temporary file before a write gives up.
inline constexpr std::int32_t TempNameTries = 100;
inline constexpr std::int32_t MaxTempCounter = 99999;
// The record of a transaction being committed (msg_transaction.cpp).
inline constexpr const char* FidoRecordName = "vellumar.txn";

inline bool EndsWith(const std::string& Name, const std::string& Tail) {
  return Name.size() > Tail.size() &&
         Name.compare(Name.size() - Tail.size(), Tail.size(), Tail) == 0;
}

// The process id in Mark, "vellumar" followed by the id and, after a dot, an
// optional counter; 0 when Mark is none.
inline std::int32_t WriterOfMark(const std::string& Mark) {
  const std::string Prefix = FidoTempPrefix;
  if (Mark.size() <= Prefix.size() || Mark.compare(0, Prefix.size(), Prefix) != 0) return 0;
  std::int32_t Pid = 0;
  std::size_t I = Prefix.size();
  for (; I < Mark.size() && Mark[I] != '.'; ++I) {
    if (Mark[I] < '0' || Mark[I] > '9' || Pid > 100000000) return 0;
    Pid = Pid * 10 + (Mark[I] - '0');
  }
  if (I < Mark.size()) {
    const std::string Counter = Mark.substr(I + 1);
    if (Counter.empty() || Counter.size() > 5 ||
        Counter.find_first_not_of("0123456789") != std::string::npos) {
      return 0;
    }
  }
  return Pid;
}

// True when Name (no folder) is a writer's temporary name, "vellumar<pid>.tmp"
// or "vellumar<pid>.<n>.tmp".
inline bool IsTempName(const std::string& Name) {
  const std::string Ext = FidoTempExtension;
  return EndsWith(Name, Ext) && WriterOfMark(Name.substr(0, Name.size() - Ext.size())) > 0;
}

// The process that set a message file aside for its removal under Name
// ("N.vellumar<pid>.kill", no folder), with the number N in Message; 0 when
// Name is no such name.
inline std::int32_t RemoverOfAside(const std::string& Name, std::int32_t& Message) {
  if (!EndsWith(Name, FidoAsideExtension)) return 0;
  const std::string Stem = Name.substr(0, Name.size() - std::string(FidoAsideExtension).size());
  const std::size_t Dot = Stem.find('.');
  if (Dot == std::string::npos || !MessageNumberOfName(Stem, Message)) return 0;
  return WriterOfMark(Stem.substr(Dot + 1));
}

// The number of a message a remover that is no longer running set aside, or 0.
inline std::int32_t DeadRemoversMessage(const std::string& Name) {
  std::int32_t Message = 0;
  const std::int32_t Pid = RemoverOfAside(Name, Message);
  return Pid > 0 && ProcessGone(Pid) ? Message : 0;
}

// Gives the whole file Temp the message name Name as a second name with
// link(), which fails (errno EEXIST) when the name is taken: a number is given
// exclusively. A file system without hard links (FAT) takes a rename that
// replaces nothing instead.
inline bool NumberFile(const std::string& Temp, const std::string& Name) {
  return ::link(Temp.c_str(), Name.c_str()) == 0 ||
         ((errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) && RenameFile(Temp, Name));
}

}  // namespace msgbase::msg_names
