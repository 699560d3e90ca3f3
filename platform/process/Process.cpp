#include "platform/process/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

constexpr int kSpawnFailureStatus = -1;

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);  // no retry on EINTR: on Linux the descriptor is gone either way
}

// Moves a descriptor above the standard ones so the dup2 onto 1 never targets itself.
int aboveStandardFds(int fd) {
  if (fd > STDERR_FILENO) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

void reportSpawnFailure(const char* what, int err) {
  std::fprintf(stderr, "runShell: %s failed: %s\n", what, std::strerror(err));
}

}  // namespace

ProcessResult runShell(const std::string& commandLine) {
  ProcessResult result;
  result.status = kSpawnFailureStatus;

  // Close-on-exec so that children started by other threads at the same moment never inherit our pipe
  // (an inherited write end would keep our read from seeing end of file).
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    reportSpawnFailure("pipe", errno);
    return result;
  }
  int readFd = aboveStandardFds(fds[0]);
  int writeFd = aboveStandardFds(fds[1]);
  if (readFd < 0 || writeFd < 0) {
    reportSpawnFailure("pipe", errno);
    closeQuietly(readFd);
    closeQuietly(writeFd);
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, writeFd, STDOUT_FILENO);

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
  closeQuietly(writeFd);  // only the child holds the write end now, so end of file comes when it is done

  if (spawnError != 0) {
    reportSpawnFailure("starting /bin/sh", spawnError);
    closeQuietly(readFd);
    return result;
  }

  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(readFd, buffer, sizeof buffer);
    if (n > 0) {
      result.output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      break;  // still wait for the child below, so it never lingers as a zombie
    }
  }
  closeQuietly(readFd);

  int waitStatus = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &waitStatus, 0);
  } while (waited < 0 && errno == EINTR);

  if (waited != pid) {
    result.status = kSpawnFailureStatus;
  } else if (WIFEXITED(waitStatus)) {
    result.status = WEXITSTATUS(waitStatus);
  } else if (WIFSIGNALED(waitStatus)) {
    result.status = 128 + WTERMSIG(waitStatus);
  } else {
    result.status = kSpawnFailureStatus;
  }
  return result;
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
