// Speed of encoding a file and cutting it into sections of 50 lines: a file of
// about 0.3 MB and the largest file that still fits with 50 lines per section.
// Reports the time per posting and the encoded lines per second. Also the
// speed of decoding the data lines of that largest file back, as the receiver
// does line by line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "encode/dyn_array.h"
#include "encode/section_cutter.h"
#include "encode/uudecode.h"
#include "encode/uuencode.h"

namespace {

using namespace vellumar;

// A file of Size pseudo-random bytes in a fresh temporary directory; removed
// with the directory when the benchmark ends.
class TBenchFile {
 public:
  explicit TBenchFile(std::uint64_t Size) {
    char Pattern[] = "/tmp/vellumarbenchXXXXXX";
    if (::mkdtemp(Pattern) == nullptr) return;
    Dir_ = Pattern;
    Path_ = Dir_ + "/input.bin";
    std::vector<std::uint8_t> Data(Size);
    std::uint32_t State = 12345;
    for (std::uint8_t& Byte : Data) {
      State = State * 1103515245u + 12345u;
      Byte = static_cast<std::uint8_t>(State >> 24);
    }
    const int Fd = ::open(Path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (Fd < 0) return;
    const bool Written = ::write(Fd, Data.data(), Data.size()) == static_cast<ssize_t>(Data.size());
    (void)::close(Fd);
    if (!Written) Path_.clear();
  }
  ~TBenchFile() {
    if (!Path_.empty()) (void)std::remove(Path_.c_str());
    if (!Dir_.empty()) (void)::rmdir(Dir_.c_str());
  }
  TBenchFile(const TBenchFile&) = delete;
  TBenchFile& operator=(const TBenchFile&) = delete;

  const std::string& Path() const { return Path_; }

 private:
  std::string Dir_;
  std::string Path_;
};

void EncodeAndCut(benchmark::State& State) {
  const auto Size = static_cast<std::uint64_t>(State.range(0));
  const std::uint16_t PerSection = 50;
  TBenchFile File(Size);
  if (File.Path().empty()) {
    State.SkipWithError("cannot write the input file");
    return;
  }
  std::int64_t EncodedLines = 0;
  for (auto _ : State) {
    TStrDynArray Body;
    int ErrNo = 0;
    if (!UUEncode(File.Path(), "input.bin", Body, ErrNo)) {
      State.SkipWithError("encoding failed");
      return;
    }
    EncodedLines += Body.Count();
    std::uint16_t Parts = 1;
    if (Body.Count() > PerSection && !LCutUUE(Body, PerSection, Parts)) {
      State.SkipWithError("cutting failed");
      return;
    }
    benchmark::DoNotOptimize(Parts);
  }
  State.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(EncodedLines), benchmark::Counter::kIsRate);
  State.SetBytesProcessed(static_cast<std::int64_t>(Size) * State.iterations());
}

BENCHMARK(EncodeAndCut)
    ->Arg(300 * 1024)
    ->Arg(1024 * 1024)
    ->Arg(static_cast<std::int64_t>(MaxUUEFileSize(50)))
    ->Unit(benchmark::kMillisecond);

void DecodeLines(benchmark::State& State) {
  const std::uint64_t Size = MaxUUEFileSize(50);
  TBenchFile File(Size);
  TStrDynArray Body;
  int ErrNo = 0;
  if (File.Path().empty() || !UUEncode(File.Path(), "input.bin", Body, ErrNo)) {
    State.SkipWithError("cannot encode the input file");
    return;
  }
  // The data lines: those that carry bytes (not the header, begin and end
  // lines around them).
  std::vector<std::string> Lines;
  std::string Scratch;
  for (std::uint32_t I = 1; I <= Body.Count(); ++I) {
    std::string Line = Body.At(static_cast<std::uint16_t>(I));
    std::size_t Count = 0;
    if (UUDecodeLine(Line, false, Scratch, Count) == ulOk && Count > 0)
      Lines.push_back(std::move(Line));
  }
  std::string Out;
  Out.reserve(Size);
  for (auto _ : State) {
    Out.clear();
    for (const std::string& Line : Lines) {
      std::size_t Count = 0;
      if (UUDecodeLine(Line, false, Out, Count) != ulOk) {
        State.SkipWithError("a line does not decode");
        return;
      }
    }
    benchmark::DoNotOptimize(Out.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(Out.size()) * State.iterations());
}

BENCHMARK(DecodeLines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
