// The names the *.msg base's sources (msg_base.cpp, msg_read.cpp,
// msg_write.cpp, msg_repair.cpp) give and recognise: which number a message
// file's name stands for, and the temporary and set-aside names of writers
// and removers. Private to those sources.
#pragma once

#include <cstdint>
#include <string>

#include "msgbase/msg/msg_format.h"

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
inline constexpr const char* FidoTempPrefix = "vellumar";
inline constexpr const char* FidoTempExtension = ".tmp";
inline constexpr const char* FidoAsideExtension = ".kill";
// Names tried for one process's temporary file before a write gives up.
inline constexpr std::int32_t TempNameTries = 100;

}  // namespace msgbase::msg_names
