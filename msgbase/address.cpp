#include "msgbase/address.h"

#include <array>

#include "msgbase/file_helpers.h"

namespace msgbase {

namespace {

// Reads the N-th word of Text (split on Delims) into Field. An empty word is 0
// and counts as read; a word that is not a number stores 0 and fails.
bool ReadPart(const std::string& Text, std::uint8_t N, std::string_view Delims,
              std::int16_t& Field) {
  return StrToInteger(ExtractWord(N, Text, Delims), Field);
}

std::array<TAddress, 16> StrToAddressRPool{};
std::uint8_t StrToAddressRPos = 0;

}  // namespace

bool StrToAddress(const std::string& S, TAddress& A) {
  std::string Text = CutText(S);
  if (Text.empty()) return false;
  if (Text[0] == '/' || Text[0] == ':') Text.erase(0, 1);
  const std::size_t At = Text.find('@');
  if (At != std::string::npos) Text.resize(At);
  if (Text.empty()) return false;

  const bool HasColon = Text.find(':') != std::string::npos;
  const bool HasSlash = Text.find('/') != std::string::npos;
  if (HasColon && HasSlash) {
    return ReadPart(Text, 1, AddressCharSet, A.Zone) && ReadPart(Text, 2, AddressCharSet, A.Net) &&
           ReadPart(Text, 3, AddressCharSet, A.Node) && ReadPart(Text, 4, AddressCharSet, A.Point);
  }
  if (HasColon) {
    return ReadPart(Text, 1, AddressCharSet, A.Zone) && ReadPart(Text, 2, AddressCharSet, A.Net);
  }
  if (HasSlash) {
    return ReadPart(Text, 1, "/", A.Net) && ReadPart(Text, 2, "./", A.Node) &&
           ReadPart(Text, 3, "./", A.Point);
  }
  if (Text[0] == '.') return StrToInteger(Text.substr(1), A.Point);
  return ReadPart(Text, 1, ".", A.Node) && ReadPart(Text, 2, ".", A.Point);
}

TAddress& StrToAddressR(const std::string& S) {
  ++StrToAddressRPos;
  if (StrToAddressRPos > StrToAddressRPool.size()) StrToAddressRPos = 1;
  TAddress& Entry = StrToAddressRPool[StrToAddressRPos - 1u];
  ClearAddress(Entry);
  (void)StrToAddress(S, Entry);  // the ring hands out whatever was parsed
  return Entry;
}

std::string AddressToStr(const TAddress& A) {
  return AddressToStrPointless(A) + "." + LongToStr(A.Point);
}

std::string AddressToStrPointless(const TAddress& A) {
  return LongToStr(A.Zone) + ":" + LongToStr(A.Net) + "/" + LongToStr(A.Node);
}

std::string AddressToStrEx(const TAddress& A) {
  return A.Point != 0 ? AddressToStr(A) : AddressToStrPointless(A);
}

void ClearAddress(TAddress& A) {
  A = NullAddress;
}

bool IsCleanAddress(const TAddress& A) {
  return AddressEqu(A, NullAddress);
}

std::int32_t AddressCompare(const TAddress& A, const TAddress& B) {
  const std::array<std::int16_t, 4> Left{A.Zone, A.Net, A.Node, A.Point};
  const std::array<std::int16_t, 4> Right{B.Zone, B.Net, B.Node, B.Point};
  for (std::size_t I = 0; I < Left.size(); ++I) {
    if (Left[I] != Right[I]) return Left[I] < Right[I] ? -1 : 1;
  }
  return 0;
}

bool AddressEqu(const TAddress& A, const TAddress& B) {
  return AddressCompare(A, B) == 0;
}

void PatchAddress(std::int32_t Flags, const TAddress& Src, TAddress& Dst) {
  const auto Patch = [Flags](std::int32_t Bit, std::int16_t From, std::int16_t& To) {
    if ((Flags & Bit) != 0 && To == 0) To = From;
  };
  Patch(apZone, Src.Zone, Dst.Zone);
  Patch(apNet, Src.Net, Dst.Net);
  Patch(apNode, Src.Node, Dst.Node);
  Patch(apPoint, Src.Point, Dst.Point);
}

}  // namespace msgbase
