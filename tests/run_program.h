// Runs a program as a child process for the end-to-end tests: arguments passed
// as they are (no shell), a working directory, standard output and standard
// error collected (or standard output sent to a file such as /dev/full), and a
// time limit after which the child is killed, so a hanging program fails its
// test instead of hanging the suite.
#pragma once

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
  // Changes to the child's environment: "NAME=value" sets, a bare "NAME"
  // removes.
  std::vector<std::string> Environment;
};

// Runs Program with Args (argv[0] is Program itself). Standard input is
// /dev/null.
TRunResult RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                      const TRunOptions& Options = {});

// Reads each of Documents with python3's json module, strictly: the text
// must be UTF-8 and exactly one JSON value (NaN, Infinity, duplicate
// members and anything after the value are refused), an object holding the
// member Key. Answers "" when all pass, "no python3" when it cannot run, or
// the first failure.
struct TJsonExpectation {
  std::string Document;
  std::string Key;
};
std::string CheckJsonDocuments(const std::vector<TJsonExpectation>& Documents);

// Copies the program at From into Dir as Name, executable, and returns its new
// path (empty on failure); the end-to-end tests run the copy so that the
// invocation path holds no '-', '+' or '='.
std::string InstallProgram(const std::string& From, const std::string& Dir,
                           const std::string& Name);

}  // namespace vellumar_tests
