#include "encode/uuencode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace vellumar {

std::string TLMsg = "  uuencoded by Brindle Tamberlane";

namespace {

// Closes the descriptor however the encoder leaves.
class TFdGuard {
 public:
  explicit TFdGuard(int Fd) : Fd_(Fd) {}
  ~TFdGuard() {
    if (Fd_ >= 0) (void)::close(Fd_);  // opened read-only: closing loses nothing
  }
  TFdGuard(const TFdGuard&) = delete;
  TFdGuard& operator=(const TFdGuard&) = delete;

 private:
  int Fd_;
};

// Reads until Size bytes are in Buffer or the file ends; the count read, or -1
// (errno set) on failure.
ssize_t ReadFull(int Fd, std::uint8_t* Buffer, std::size_t Size) {
  std::size_t Done = 0;
  while (Done < Size) {
    const ssize_t Got = ::read(Fd, Buffer + Done, Size - Done);
    if (Got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (Got == 0) break;
    Done += static_cast<std::size_t>(Got);
  }
  return static_cast<ssize_t>(Done);
}

// One data line for the N (0..45) bytes at Data.
std::string DataLine(const std::uint8_t* Data, std::size_t N) {
  std::string Line;
  Line.reserve(1 + 4 * ((N + 2) / 3));
  // The count is not mapped like the data: a count of 0 is a blank.
  Line += static_cast<char>(N + SP);
  for (std::size_t Group = 0; Group < N; Group += 3) {
    // A short last group is completed with zeros, whatever came before.
    TTriplet Triplet{Data[Group], Group + 1 < N ? Data[Group + 1] : std::uint8_t{0},
                     Group + 2 < N ? Data[Group + 2] : std::uint8_t{0}};
    TKwartet Kwartet{};
    Triplet2Kwartet(Triplet, Kwartet);
    for (std::uint8_t C : Kwartet) Line += static_cast<char>(C);
  }
  return Line;
}

}  // namespace

void Triplet2Kwartet(const TTriplet& Triplet, TKwartet& Kwartet) {
  const unsigned B0 = Triplet[0], B1 = Triplet[1], B2 = Triplet[2];
  const unsigned Values[4] = {
      B0 >> 2,
      ((B0 << 4) & 0x30u) + ((B1 >> 4) & 0x0Fu),
      ((B1 << 2) & 0x3Cu) + ((B2 >> 6) & 0x03u),
      B2 & 0x3Fu,
  };
  for (std::size_t I = 0; I < 4; ++I)
    Kwartet[I] = static_cast<std::uint8_t>((Values[I] == 0 ? 64u : Values[I]) + SP);
}

bool UUEncode(const std::string& FileName, const std::string& OutName, TStrDynArray& OutFile,
              int& ErrNo) {
  ErrNo = 0;
  const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    ErrNo = errno;
    return false;
  }
  TFdGuard Guard(Fd);
  if (!OutFile.Insert("section 1 of 1 of file " + OutName + " " + TLMsg)) return false;
  if (!OutFile.Insert("begin 644 " + OutName)) return false;

  // Read many blocks at a time; a chunk is a whole number of blocks, so every
  // block but the last is full.
  std::vector<std::uint8_t> Chunk(UUEBlockSize * 1024);
  for (;;) {
    const ssize_t Got = ReadFull(Fd, Chunk.data(), Chunk.size());
    if (Got < 0) {
      ErrNo = errno;
      return false;
    }
    const auto Size = static_cast<std::size_t>(Got);
    std::size_t At = 0;
    for (; At + UUEBlockSize <= Size; At += UUEBlockSize)
      if (!OutFile.Insert(DataLine(Chunk.data() + At, UUEBlockSize))) return false;
    if (Size < Chunk.size()) {
      // End of file: the short (maybe empty) last block closes the data.
      if (!OutFile.Insert(DataLine(Chunk.data() + At, Size - At))) return false;
      break;
    }
  }
  return OutFile.Insert("`") && OutFile.Insert("end");
}

}  // namespace vellumar
