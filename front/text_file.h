// Reading text files line by line, as the configuration file and the templates
// are read: a line ends at LF, CR or CR LF, a last line without an end counts,
// and a line keeps only its first 255 characters (the rest is skipped). Failures
// are kept as the classic run-time error number, like a Pascal IOResult.
#pragma once

#include <string>

namespace vellumar {

// True when Path names something that exists and is not a directory.
[[nodiscard]] bool FileExists(const std::string& Path);

class TTextReader {
 public:
  TTextReader() = default;
  ~TTextReader();
  TTextReader(const TTextReader&) = delete;
  TTextReader& operator=(const TTextReader&) = delete;

  // Opens Path for reading; false with GetIOResult set when it cannot.
  [[nodiscard]] bool Open(const std::string& Path);
  // The next line without its line end. False at the end of the file (IOResult
  // 0) or on a read failure (IOResult 100 or another classic number).
  [[nodiscard]] bool ReadLn(std::string& Line);
  // 0 while everything went well, else the classic run-time error number.
  [[nodiscard]] int GetIOResult() const { return IOResult_; }
  void Close();

 private:
  // The next byte into C; false at the end of the file or on failure.
  bool NextByte(char& C);
  // Pushes back the byte just taken (only directly after NextByte succeeded).
  void Unget() { --Pos_; }

  int Fd_ = -1;
  int IOResult_ = 0;
  char Buffer_[4096] = {};
  std::size_t Pos_ = 0;
  std::size_t Filled_ = 0;
};

}  // namespace vellumar
