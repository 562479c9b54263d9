// The program's one way to the terminal: every line goes through WriteLn to
// standard output, and every stop goes through Error (a refusal, exit status 1)
// or RunError (an input/output failure, exit status the classic run-time error
// number). A failed write to standard output ends the program with run-time
// error 101; standard output is unusable then, so that one report goes to
// standard error.
#pragma once

#include <string>

namespace vellumar {

// Classic run-time error numbers used as exit statuses.
inline constexpr int reFileNotFound = 2;
inline constexpr int rePathNotFound = 3;
inline constexpr int reTooManyOpenFiles = 4;
inline constexpr int reAccessDenied = 5;
inline constexpr int reDiskRead = 100;
inline constexpr int reDiskWrite = 101;

// Makes a write into a closed pipe fail with EPIPE instead of killing the
// process, so WriteLn can report it. Call once at startup.
void IgnoreBrokenPipe();

// Writes InStr and a line end to standard output. Returns only when the whole
// line was written; otherwise ends the program with run-time error 101.
void WriteLn(const std::string& InStr);

// Writes Message as one line to standard output and ends the program with exit
// status 1.
[[noreturn]] void Error(const std::string& Message);

// Ends the program after an input/output failure on the file at Path: one
// report line on standard output, exit status Code.
[[noreturn]] void RunError(int Code, const std::string& Path);

// The classic run-time error number for a failed open or read with this errno:
// 2, 3, 4 or 5 for the usual refusals to open, 100 for everything else.
[[nodiscard]] int IOErrorCode(int ErrNo);

// The report line of RunError, e.g. "Runtime error 5: access denied (/etc/x)".
[[nodiscard]] std::string RunErrorText(int Code, const std::string& Path);

}  // namespace vellumar
