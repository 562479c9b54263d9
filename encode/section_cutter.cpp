#include "encode/section_cutter.h"

#include <string>

#include "encode/uuencode.h"

namespace vellumar {

namespace {

// Header, begin, backquote and end lines around the encoder's data lines.
constexpr std::uint64_t FrameLines = 4;

// The separator between sections; never posted.
const std::string Separator = "---";

}  // namespace

std::uint64_t UUEDataLines(std::uint64_t FileSize) {
  return FileSize / UUEBlockSize + 1;
}

std::uint64_t CutLineCount(std::uint64_t DataLines, std::uint16_t Lines, std::uint64_t& Parts) {
  if (Lines == 0) {
    Parts = 0;
    return 0;
  }
  std::uint64_t Full = DataLines / Lines;
  const bool Remainder = Full != 0 && DataLines % Lines != 0;
  if (Full == 0) Full = 1;  // fewer data lines than Lines: one section with a separator
  Parts = Full + (Remainder ? 1 : 0);
  // Every full section: header, blank, backquote, end, separator; the
  // remainder: header, blank, backquote, end; section 1 also the begin line.
  return DataLines + 5 * Full + (Remainder ? 4 : 0) + 1;
}

bool UUEFits(std::uint64_t FileSize, std::uint16_t Lines) {
  if (Lines == 0) return false;
  const std::uint64_t Data = UUEDataLines(FileSize);
  const std::uint64_t Encoded = Data + FrameLines;
  if (Encoded > TStrDynArray::MaxItems) return false;
  if (Encoded <= Lines) return true;  // posted uncut
  std::uint64_t Parts = 0;
  return CutLineCount(Data, Lines, Parts) <= TStrDynArray::MaxItems && Parts <= 0xFFFFu;
}

std::uint64_t MaxUUEFileSize(std::uint16_t Lines) {
  if (!UUEFits(0, Lines)) return 0;
  // The line counts grow with the size, so the fitting sizes form one range
  // from 0; find its end by bisection over a bound no array can exceed.
  std::uint64_t Low = 0;
  std::uint64_t High = (TStrDynArray::MaxItems + 1) * UUEBlockSize;
  while (Low + 1 < High) {
    const std::uint64_t Mid = Low + (High - Low) / 2;
    (UUEFits(Mid, Lines) ? Low : High) = Mid;
  }
  return Low;
}

bool LCutUUE(TStrDynArray& OrigUUE, std::uint16_t Lines, std::uint16_t& Parts) {
  if (Lines == 0 || OrigUUE.Count() < 5) return false;
  const std::uint16_t DataLines = static_cast<std::uint16_t>(OrigUUE.Count() - FrameLines);
  std::uint64_t SectionCount = 0;
  if (CutLineCount(DataLines, Lines, SectionCount) > TStrDynArray::MaxItems) return false;
  // At most one section per data line, so the count fits its 16 bits.
  const auto Sections = static_cast<std::uint16_t>(SectionCount);

  OrigUUE.Delete(1);  // the encoder's header line
  const std::string BeginLine = OrigUUE.At(1);
  OrigUUE.Delete(1);
  OrigUUE.Delete(OrigUUE.Count());  // "end"
  OrigUUE.Delete(OrigUUE.Count());  // the backquote line
  const std::size_t NameAt = BeginLine.find("644 ");
  const std::string Name = NameAt == std::string::npos ? "" : BeginLine.substr(NameAt + 4);

  // Every insertion below fits: the count was checked above.
  TStrDynArray Work;
  const auto Put = [&Work](const std::string& Line) { (void)Work.Insert(Line); };
  const auto PutSection = [&](std::uint16_t Number, std::size_t Take, bool First) {
    Put("Section " + std::to_string(Number) + " of " + std::to_string(Sections) + " of file " +
        Name + TLMsg);
    Put(" ");
    if (First) Put(BeginLine);
    for (; Take > 0 && OrigUUE.Count() > 0; --Take) (void)Work.Insert(OrigUUE.PopFirst());
    Put("`");
    Put("end");
  };

  const std::uint32_t Full = DataLines / Lines == 0 ? 1u : DataLines / Lines;
  for (std::uint32_t Number = 1; Number <= Full; ++Number) {
    PutSection(static_cast<std::uint16_t>(Number), Lines, Number == 1);
    Put(Separator);
  }
  if (Sections > Full) PutSection(Sections, OrigUUE.Count(), false);

  OrigUUE.Clear();
  while (Work.Count() > 0) {
    std::string Line = Work.PopFirst();
    if (!Line.empty()) (void)OrigUUE.Insert(std::move(Line));
  }
  Parts = Sections;
  return true;
}

}  // namespace vellumar
