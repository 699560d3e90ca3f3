#include "platform/applescript/AppleScript.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/applescript/AdministratorApproval.h"

extern char** environ;

namespace platform {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Skips one keyword and the blanks after it; false when the keyword is not there.
bool consumeWord(const std::string& s, size_t& pos, const char* word) {
  size_t n = std::strlen(word);
  if (s.compare(pos, n, word) != 0) return false;
  pos += n;
  size_t start = pos;
  while (pos < s.size() && isSpace(s[pos])) ++pos;
  return pos > start || pos == s.size() || s[pos] == '"';
}

// Reads a string literal starting at the opening quote; false when unterminated or with an unknown escape.
bool readLiteral(const std::string& s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= s.size()) return false;
    switch (s[pos]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  return false;
}

struct ShellRun {
  std::string out, err;
  int status = -1;
  std::string spawnError;
};

int aboveStandardFds(int fd) {
  if (fd > STDERR_FILENO || fd < 0) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

// /bin/sh -c line with no input; both output streams are collected.
ShellRun runLine(const std::string& line) {
  ShellRun run;
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    run.spawnError = std::strerror(errno);
    return run;
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    run.spawnError = std::strerror(errno);
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return run;
  }
  int fds[4] = {aboveStandardFds(outPipe[0]), aboveStandardFds(outPipe[1]), aboveStandardFds(errPipe[0]),
                aboveStandardFds(errPipe[1])};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[3], STDERR_FILENO);
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
  pid_t pid = -1;
  int spawnError = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  ::close(fds[3]);
  if (spawnError != 0) {
    run.spawnError = std::strerror(spawnError);
    ::close(fds[0]);
    ::close(fds[2]);
    return run;
  }

  // Read both pipes together so a chatty standard error never stalls the child.
  struct pollfd polls[2] = {{fds[0], POLLIN, 0}, {fds[2], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    if (::poll(polls, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      ssize_t n = ::read(polls[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(polls[i].fd);
        polls[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& p : polls)
    if (p.fd >= 0) ::close(p.fd);

  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) {
      run.spawnError = std::strerror(errno);
      return run;
    }
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return run;
}

// The statement's own rendering of output: no trailing line feed, line feeds as carriage returns.
std::string asScriptText(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  for (char& c : text)
    if (c == '\n') c = '\r';
  return text;
}

void fillError(Dictionary* errorInfo, int64_t number, const std::string& message, size_t sourceLength) {
  if (!errorInfo) return;
  errorInfo->clear();
  (*errorInfo)[kAppleScriptErrorNumber] = Value(number);
  (*errorInfo)[kAppleScriptErrorMessage] = Value(message);
  (*errorInfo)[kAppleScriptErrorBriefMessage] = Value(message);
  (*errorInfo)[kAppleScriptErrorRange] = Value("NSRange: {0, " + std::to_string(sourceLength) + "}");
}

}  // namespace

std::shared_ptr<AppleScript> AppleScript::compile(const std::string& source) {
  std::string s = trim(source);
  size_t pos = 0;
  if (!consumeWord(s, pos, "do") || !consumeWord(s, pos, "shell") || !consumeWord(s, pos, "script")) return nullptr;
  std::string command;
  if (!readLiteral(s, pos, command)) return nullptr;
  std::string rest = trim(s.substr(pos));
  bool administrator = false;
  if (!rest.empty()) {
    size_t p = 0;
    if (!consumeWord(rest, p, "with") || !consumeWord(rest, p, "administrator") ||
        rest.compare(p, std::string::npos, "privileges") != 0)
      return nullptr;
    administrator = true;
  }
  return std::shared_ptr<AppleScript>(new AppleScript(source, std::move(command), administrator));
}

std::shared_ptr<AppleEventDescriptor> AppleScript::executeAndReturnError(Dictionary* errorInfo) const {
  if (administrator_) {
    std::string error;
    std::optional<AdministratorApproval::Policy> answer = AdministratorApproval::prompt(&error);
    if (!answer) {
      fillError(errorInfo, kAuthorizationInternalErrorNumber, "The authorization failed. " + error, source_.size());
      return nullptr;
    }
    if (*answer == AdministratorApproval::Policy::Cancel) {
      fillError(errorInfo, kUserCanceledErrorNumber, "User canceled.", source_.size());
      return nullptr;
    }
    if (*answer == AdministratorApproval::Policy::Deny) {
      fillError(errorInfo, kAuthorizationDeniedErrorNumber, "The administrator user name or password was incorrect.",
                source_.size());
      return nullptr;
    }
  }
  ShellRun run = runLine(command_);
  if (!run.spawnError.empty()) {
    fillError(errorInfo, -1, "The command could not be started: " + run.spawnError, source_.size());
    return nullptr;
  }
  if (run.status != 0) {
    std::string message = !run.err.empty() ? run.err : run.out;
    message = message.empty() ? "The command exited with a non-zero status." : asScriptText(message);
    fillError(errorInfo, run.status, message, source_.size());
    return nullptr;
  }
  if (errorInfo) errorInfo->clear();
  return std::make_shared<AppleEventDescriptor>(asScriptText(run.out));
}

std::string describeErrorInfo(const Dictionary& errorInfo) { return Value(errorInfo).description(); }

}  // namespace platform
