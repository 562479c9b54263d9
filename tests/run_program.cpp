#include "tests/run_program.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "testing/test_support.h"

namespace vellumar_tests {

std::vector<std::string> TRunResult::Lines() const {
  std::vector<std::string> Result;
  std::size_t From = 0;
  while (From < Stdout.size()) {
    const std::size_t End = Stdout.find('\n', From);
    if (End == std::string::npos) {
      Result.push_back(Stdout.substr(From));
      break;
    }
    Result.push_back(Stdout.substr(From, End - From));
    From = End + 1;
  }
  return Result;
}

namespace {

// In the child: puts File on Fd or ends the child.
void Redirect(int File, int Fd) {
  if (File < 0 || ::dup2(File, Fd) < 0) ::_exit(127);
}

}  // namespace

TRunResult RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                      const TRunOptions& Options) {
  TRunResult Result;
  int Out[2] = {-1, -1};
  int Err[2] = {-1, -1};
  if (::pipe2(Out, O_CLOEXEC) != 0) return Result;
  const bool ErrOpen = Options.StderrTerminal ? testing_support::OpenPseudoTerminal(Err[0], Err[1])
                                              : ::pipe2(Err, O_CLOEXEC) == 0;
  if (!ErrOpen) {
    ::close(Out[0]);
    ::close(Out[1]);
    return Result;
  }
  std::vector<std::string> Storage;
  Storage.push_back(Program);
  Storage.insert(Storage.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& S : Storage) Argv.push_back(S.data());
  Argv.push_back(nullptr);

  const pid_t Child = ::fork();
  if (Child == 0) {
    Redirect(::open("/dev/null", O_RDONLY), STDIN_FILENO);
    if (Options.StdoutPath.empty())
      Redirect(Out[1], STDOUT_FILENO);
    else
      Redirect(::open(Options.StdoutPath.c_str(), O_WRONLY), STDOUT_FILENO);
    Redirect(Err[1], STDERR_FILENO);
    if (!Options.WorkDir.empty() && ::chdir(Options.WorkDir.c_str()) != 0) ::_exit(127);
    ::signal(SIGPIPE, SIG_DFL);
    for (const std::string& Change : Options.Environment) {
      const std::size_t Equal = Change.find('=');
      if (Equal == std::string::npos)
        ::unsetenv(Change.c_str());
      else
        ::setenv(Change.substr(0, Equal).c_str(), Change.c_str() + Equal + 1, 1);
    }
    ::execv(Program.c_str(), Argv.data());
    ::_exit(127);
  }
  ::close(Out[1]);
  ::close(Err[1]);
  if (Child < 0) {
    ::close(Out[0]);
    ::close(Err[0]);
    return Result;
  }
  Result.Started = true;

  const auto Deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(Options.TimeoutSeconds);
  pollfd Fds[2] = {{Out[0], POLLIN, 0}, {Err[0], POLLIN, 0}};
  std::string* Sinks[2] = {&Result.Stdout, &Result.Stderr};
  int Open = 2;
  while (Open > 0) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Deadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) {
      Result.TimedOut = true;
      ::kill(Child, SIGKILL);
      break;
    }
    const int Ready = ::poll(Fds, 2, static_cast<int>(Left.count()));
    if (Ready < 0 && errno != EINTR) break;
    for (int I = 0; I < 2; ++I) {
      if (Fds[I].fd < 0 || (Fds[I].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char Buffer[4096];
      const ssize_t Got = ::read(Fds[I].fd, Buffer, sizeof Buffer);
      if (Got > 0) {
        Sinks[I]->append(Buffer, static_cast<std::size_t>(Got));
      } else if (Got == 0 || errno != EINTR) {  // a terminal's side ends with EIO
        ::close(Fds[I].fd);
        Fds[I].fd = -1;
        --Open;
      }
    }
  }
  for (pollfd& P : Fds)
    if (P.fd >= 0) ::close(P.fd);

  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(Status)) {
    Result.Exited = true;
    Result.ExitStatus = WEXITSTATUS(Status);
  } else if (WIFSIGNALED(Status)) {
    Result.Signal = WTERMSIG(Status);
  }
  return Result;
}

std::string CheckJsonDocuments(const std::vector<TJsonExpectation>& Documents) {
  testing_support::TTempDir Dir;
  std::vector<std::string> Args = {
      "python3", "-c",
      "import json, sys\n"
      "def refuse(x): raise ValueError('not JSON: ' + x)\n"
      "def members(pairs):\n"
      "    keys = [k for k, _ in pairs]\n"
      "    if len(set(keys)) != len(keys): raise ValueError('duplicate member')\n"
      "    return dict(pairs)\n"
      "a = sys.argv[1:]\n"
      "for i in range(0, len(a), 2):\n"
      "    text = open(a[i], 'rb').read().decode('utf-8')\n"
      "    d = json.loads(text, parse_constant=refuse, object_pairs_hook=members)\n"
      "    if not isinstance(d, dict) or a[i + 1] not in d:\n"
      "        raise ValueError('no member ' + a[i + 1] + ' in ' + text)\n"
      "print('ok')\n"};
  for (std::size_t I = 0; I < Documents.size(); ++I) {
    const std::string File = Dir.File("doc" + std::to_string(I) + ".json");
    if (!testing_support::WriteFileText(File, Documents[I].Document)) return "cannot write " + File;
    Args.push_back(File);
    Args.push_back(Documents[I].Key);
  }
  const TRunResult Py = RunProgram("/usr/bin/env", Args);
  if (!Py.Exited || Py.ExitStatus == 127) return "no python3";
  return Py.ExitStatus == 0 && Py.Stdout == "ok\n" ? "" : Py.Stdout + Py.Stderr;
}

std::string InstallProgram(const std::string& From, const std::string& Dir,
                           const std::string& Name) {
  namespace fs = std::filesystem;
  std::error_code Ec;
  const fs::path To = fs::path(Dir) / Name;
  fs::copy_file(From, To, fs::copy_options::overwrite_existing, Ec);
  if (Ec) return "";
  fs::permissions(To, fs::perms::owner_all, fs::perm_options::add, Ec);
  return Ec ? "" : To.string();
}

TBackground::TBackground(const std::string& Program, const std::vector<std::string>& Args,
                         const std::string& WorkDir) {
  std::vector<std::string> Storage{Program};
  Storage.insert(Storage.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& S : Storage) Argv.push_back(S.data());
  Argv.push_back(nullptr);
  Child_ = ::fork();
  if (Child_ == 0) {
    ::setpgid(0, 0);
    const int Null = ::open("/dev/null", O_RDWR);
    Redirect(Null, STDIN_FILENO);
    Redirect(Null, STDOUT_FILENO);
    Redirect(Null, STDERR_FILENO);
    if (::chdir(WorkDir.c_str()) != 0) ::_exit(127);
    ::execv(Program.c_str(), Argv.data());
    ::_exit(127);
  }
  // Set from both sides, so that the group exists before either goes on.
  if (Child_ > 0) (void)::setpgid(Child_, Child_);  // fails only once the child did it
}

TBackground::~TBackground() {
  if (Child_ <= 0) return;
  // The group: a server may have started helpers of its own for sessions.
  // The signal is sent again every half second: a server that checks for it
  // only between waits can take it just before a long wait and sleep on.
  int Status = 0;
  for (int Try = 0; Try < 200; ++Try) {
    if (Try % 10 == 0) ::kill(-Child_, SIGTERM);
    if (::waitpid(Child_, &Status, WNOHANG) != 0) break;
    ::usleep(50000);
    if (Try == 199) {
      ::kill(-Child_, SIGKILL);
      ::waitpid(Child_, &Status, 0);
    }
  }
  // Helpers that outlived their parent go too.
  ::kill(-Child_, SIGKILL);
}

bool TBackground::Running() {
  int Status = 0;
  return Child_ > 0 && ::waitpid(Child_, &Status, WNOHANG) == 0;
}

std::string FindTool(const std::string& Name) {
  for (const char* Dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/"}) {
    const std::string Path = Dir + Name;
    if (::access(Path.c_str(), X_OK) == 0) return Path;
  }
  return "";
}

int FreePort() {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Fd < 0) return 0;
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  int Port = 0;
  if (::bind(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0 &&
      ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length) == 0) {
    Port = ntohs(Address.sin_port);
  }
  ::close(Fd);
  return Port;
}

}  // namespace vellumar_tests
