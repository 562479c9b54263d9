#include "tools/common/tool_text.h"

namespace tools {

std::string VisibleText(std::string_view S) {
  std::string Result;
  Result.reserve(S.size());
  for (const char C : S) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte < 0x20) {
      Result += '^';
      Result += static_cast<char>(Byte + 0x40);
    } else if (Byte == 0x7F) {
      Result += "^?";
    } else {
      Result += C;
    }
  }
  return Result;
}

std::string JsonString(std::string_view S) {
  static constexpr char Hex[] = "0123456789abcdef";
  std::string Result = "\"";
  Result.reserve(S.size() + 2);
  for (const char C : S) {
    const auto Byte = static_cast<unsigned char>(C);
    switch (Byte) {
      case '"':
        Result += "\\\"";
        break;
      case '\\':
        Result += "\\\\";
        break;
      case '\b':
        Result += "\\b";
        break;
      case '\f':
        Result += "\\f";
        break;
      case '\n':
        Result += "\\n";
        break;
      case '\r':
        Result += "\\r";
        break;
      case '\t':
        Result += "\\t";
        break;
      default:
        if (Byte < 0x20 || Byte == 0x7F) {
          Result += "\\u00";
          Result += Hex[Byte >> 4];
          Result += Hex[Byte & 0x0F];
        } else if (Byte >= 0x80) {
          // Latin-1: the byte is the code point, two bytes in UTF-8.
          Result += static_cast<char>(0xC0 | (Byte >> 6));
          Result += static_cast<char>(0x80 | (Byte & 0x3F));
        } else {
          Result += C;
        }
    }
  }
  return Result + "\"";
}

}  // namespace tools
