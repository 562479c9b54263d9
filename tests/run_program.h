// Runs a program as a child process for the end-to-end tests: arguments passed
// as they are (no shell), a working directory, standard output and standard
// error collected (or standard output sent to a file such as /dev/full), and a
// time limit after which the child is killed, so a hanging program fails its
// test instead of hanging the suite.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vellumar_tests {

struct TRunResult {
  bool Started = false;   // the child could be created and run
  bool Exited = false;    // ended by exit, not by a signal
  int ExitStatus = -1;    // when Exited
  int Signal = 0;         // when killed by a signal
  bool TimedOut = false;  // killed after the time limit
  std::string Stdout;
  std::string Stderr;

  // Standard output split at line feeds (a last line without one included).
  std::vector<std::string> Lines() const;
};

struct TRunOptions {
  std::string WorkDir;     // empty: the current directory
  std::string StdoutPath;  // non-empty: standard output goes to this file
  // Standard error is a pseudo-terminal (what it receives lands in Stderr)
  // instead of a pipe; standard output stays as it is.
  bool StderrTerminal = false;
  int TimeoutSeconds = 60;
};

// Runs Program with Args (argv[0] is Program itself). Standard input is
// /dev/null.
TRunResult RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                      const TRunOptions& Options = {});

// Copies the program at From into Dir as Name, executable, and returns its new
// path (empty on failure); the end-to-end tests run the copy so that the
// invocation path holds no '-', '+' or '='.
std::string InstallProgram(const std::string& From, const std::string& Dir,
                           const std::string& Name);

// A program (a server) started in the background in a process group of its
// own, with standard input, output and error on /dev/null, and stopped when
// the object goes: SIGTERM to its group, then, if it is not gone within five
// seconds, SIGKILL. Nothing it started is left running.
class TBackground {
 public:
  TBackground(const std::string& Program, const std::vector<std::string>& Args,
              const std::string& WorkDir);
  ~TBackground();
  TBackground(const TBackground&) = delete;
  TBackground& operator=(const TBackground&) = delete;

  // True while the program runs (it has not ended or been reaped).
  [[nodiscard]] bool Running();

 private:
  pid_t Child_ = -1;
};

// The path of a program installed under /usr/bin, /usr/sbin or
// /usr/local/bin (other software the tests run beside ours), or empty.
std::string FindTool(const std::string& Name);

// A TCP port on 127.0.0.1 that was free a moment ago (bound and released; the
// server under test takes it next), or 0.
int FreePort();

}  // namespace vellumar_tests
