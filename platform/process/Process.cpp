#include "platform/process/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

extern char** environ;

namespace platform {
namespace {

constexpr int kSpawnFailureStatus = -1;

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);  // no retry on EINTR: on Linux the descriptor is gone either way
}

// Moves a descriptor above the standard ones so the dup2 onto 1 or 2 never targets itself.
int aboveStandardFds(int fd) {
  if (fd > STDERR_FILENO || fd < 0) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

// A pipe whose ends both sit above the standard descriptors; false (with errno set) when it cannot be made.
bool makePipe(int (&ends)[2]) {
  // Close-on-exec so that children started by other threads at the same moment never inherit our pipe
  // (an inherited write end would keep our read from seeing end of file).
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  ends[0] = aboveStandardFds(fds[0]);
  ends[1] = aboveStandardFds(fds[1]);
  if (ends[0] >= 0 && ends[1] >= 0) return true;
  int err = errno;
  closeQuietly(ends[0]);
  closeQuietly(ends[1]);
  errno = err;
  return false;
}

struct ShellRun {
  ShellCapture capture;
  const char* failedStep = nullptr;  // "pipe", "starting /bin/sh" or "waiting"
  int failedErrno = 0;

  void fail(const char* step, int err) {
    failedStep = step;
    failedErrno = err;
    capture.failure = std::strerror(err);
  }
};

// Runs commandLine through /bin/sh -c with standard output captured. With captureErrors, standard error is
// captured as well and standard input reads /dev/null; otherwise both are inherited.
ShellRun runShellLine(const std::string& commandLine, bool captureErrors) {
  ShellRun run;
  run.capture.status = kSpawnFailureStatus;

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if (!makePipe(outPipe)) {
    run.fail("pipe", errno);
    return run;
  }
  if (captureErrors && !makePipe(errPipe)) {
    run.fail("pipe", errno);
    closeQuietly(outPipe[0]);
    closeQuietly(outPipe[1]);
    return run;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (captureErrors) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  if (captureErrors) posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

  // The child starts with no blocked signals and default SIGPIPE handling, whatever the caller set,
  // so pipelines inside the command line behave as in a terminal.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
  pid_t pid = -1;
  int spawnError = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // Only the child holds the write ends now, so end of file comes when it is done.
  closeQuietly(outPipe[1]);
  closeQuietly(errPipe[1]);

  if (spawnError != 0) {
    run.fail("starting /bin/sh", spawnError);
    closeQuietly(outPipe[0]);
    closeQuietly(errPipe[0]);
    return run;
  }

  // Read both pipes together so a chatty standard error never stalls the child.
  struct pollfd polls[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.capture.output, &run.capture.errorOutput};
  const nfds_t count = captureErrors ? 2 : 1;
  nfds_t stillOpen = count;
  char buffer[65536];
  while (stillOpen > 0) {
    if (::poll(polls, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;  // still wait for the child below, so it never lingers as a zombie
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      ssize_t n = ::read(polls[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        closeQuietly(polls[i].fd);
        polls[i].fd = -1;
        --stillOpen;
      }
    }
  }
  for (nfds_t i = 0; i < count; ++i) closeQuietly(polls[i].fd);

  int waitStatus = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &waitStatus, 0);
  } while (waited < 0 && errno == EINTR);

  if (waited != pid) {
    run.fail("waiting", errno);
  } else if (WIFEXITED(waitStatus)) {
    run.capture.status = WEXITSTATUS(waitStatus);
  } else if (WIFSIGNALED(waitStatus)) {
    run.capture.status = 128 + WTERMSIG(waitStatus);
  }
  return run;
}

}  // namespace

ProcessResult runShell(const std::string& commandLine) {
  ShellRun run = runShellLine(commandLine, /*captureErrors=*/false);
  if (run.failedStep && std::strcmp(run.failedStep, "waiting") != 0) {
    std::fprintf(stderr, "runShell: %s failed: %s\n", run.failedStep, std::strerror(run.failedErrno));
  }
  ProcessResult result;
  result.output = std::move(run.capture.output);
  result.status = run.capture.status;
  return result;
}

ShellCapture runShellCapturingErrors(const std::string& commandLine) {
  return runShellLine(commandLine, /*captureErrors=*/true).capture;
}

std::string shellQuote(const std::string& word) {
  std::string quoted;
  quoted.reserve(word.size() + 2);
  quoted += '\'';
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\"'\"'";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace platform
