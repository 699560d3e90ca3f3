#include "platform/process/Process.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

TEST(RunShell, ExitStatusesAndSignals) {
  EXPECT_EQ(runShell("true").status, 0);
  EXPECT_EQ(runShell("false").status, 1);

  ProcessResult three = runShell("exit 3");
  EXPECT_EQ(three.status, 3);
  EXPECT_EQ(three.output, "");

  EXPECT_EQ(runShell("exit 255").status, 255);
  EXPECT_EQ(runShell("no-such-command-vrl 2>/dev/null").status, 127);
  // The shell killed by a signal reports 128 + the signal number.
  EXPECT_EQ(runShell("kill -TERM $$").status, 128 + 15);
  EXPECT_EQ(runShell("kill -KILL $$").status, 128 + 9);
}

TEST(RunShell, OutputIsCapturedExactly) {
  EXPECT_EQ(runShell("true").output, "");
  EXPECT_EQ(runShell("echo hello").output, "hello\n");
  EXPECT_EQ(runShell("printf 'no newline'").output, "no newline");
  EXPECT_EQ(runShell("printf 'a\\nb\\n\\n'").output, "a\nb\n\n");

  // Bytes that are not UTF-8, and NUL bytes, come back unchanged.
  ProcessResult binary = runShell("printf '\\377\\376\\000x\\200'; exit 4");
  EXPECT_EQ(binary.output, std::string("\xff\xfe\0x\x80", 5));
  EXPECT_EQ(binary.status, 4);

  // Pipelines inside the command line work.
  EXPECT_EQ(runShell("printf 'b\\na\\nc\\n' | sort | head -n 2").output, "a\nb\n");
}

TEST(RunShell, StandardErrorIsNotCaptured) {
  ProcessResult r = runShell("echo out; echo err >&2; exit 2");
  EXPECT_EQ(r.output, "out\n");
  EXPECT_EQ(r.status, 2);
}

TEST(RunShell, LargeOutputDoesNotDeadlock) {
  // Far beyond any pipe buffer: the child blocks on a full pipe unless we read while it runs.
  const size_t size = 8u * 1024 * 1024;
  ProcessResult r = runShell("head -c " + std::to_string(size) + " /dev/zero | tr '\\0' 'x'; echo done >&2");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.output.size(), size);
  EXPECT_EQ(r.output.find_first_not_of('x'), std::string::npos);
}

TEST(RunShell, InheritsEnvironmentAndWorkingDirectory) {
  ASSERT_EQ(setenv("VRL_PROCESS_TEST_VALUE", "it's $here", 1), 0);
  EXPECT_EQ(runShell("printf '%s' \"$VRL_PROCESS_TEST_VALUE\"").output, "it's $here");
  unsetenv("VRL_PROCESS_TEST_VALUE");
  EXPECT_EQ(runShell("printf '%s' \"${VRL_PROCESS_TEST_VALUE-unset}\"").output, "unset");

  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char dirTemplate[] = "/tmp/vrl-process-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  ASSERT_EQ(chdir(dirTemplate), 0);
  std::string pwd = runShell("pwd -P").output;
  ASSERT_EQ(chdir(cwd), 0);
  rmdir(dirTemplate);
  EXPECT_EQ(pwd, std::string(dirTemplate) + "\n");
}

TEST(RunShell, ConcurrentCallsKeepTheirOwnOutput) {
  std::vector<std::string> outputs(6);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < outputs.size(); ++i) {
    threads.emplace_back([i, &outputs] {
      outputs[i] = runShell("head -c 300000 /dev/zero | tr '\\0' '" + std::to_string(i) + "'").output;
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < outputs.size(); ++i) {
    EXPECT_EQ(outputs[i], std::string(300000, static_cast<char>('0' + i))) << "thread " << i;
  }
}

TEST(RunShell, ChildDoesNotInheritAnotherCallsPipe) {
  // While one call is in progress, a second command must not hold the first call's pipe:
  // if it did, the first call would not see end of file until the second command ended.
  char dirTemplate[] = "/tmp/vrl-process-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  std::string fifo = std::string(dirTemplate) + "/gate";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // Pipes above 2 in a shell: the ones this test process may itself have inherited, plus any leaked.
  // One plain command, no pipeline: a pipeline's own pipes would show up in the shell's table.
  auto listPipes = [] {
    std::istringstream names(runShell("find /proc/$$/fd -mindepth 1 -lname 'pipe:*' -printf '%f\\n'").output);
    std::set<int> fds;
    for (std::string name; std::getline(names, name);)
      if (std::stoi(name) > 2) fds.insert(std::stoi(name));
    return fds;
  };
  const std::set<int> baseline = listPipes();

  ProcessResult blocked;
  std::string marker = std::string(dirTemplate) + "/started";
  std::thread first([&] {
    blocked = runShell("touch " + shellQuote(marker) + "; read line < " + shellQuote(fifo) + "; echo \"$line\"");
  });
  // Once the first shell has started, its pipe exists.
  struct stat st;
  for (int i = 0; i < 1000 && stat(marker.c_str(), &st) != 0; ++i) usleep(10000);
  const std::set<int> pipes = listPipes();
  runShell("echo released > " + shellQuote(fifo));
  first.join();

  EXPECT_EQ(pipes, baseline);
  EXPECT_EQ(blocked.output, "released\n");
  EXPECT_EQ(blocked.status, 0);
  unlink(fifo.c_str());
  unlink(marker.c_str());
  rmdir(dirTemplate);
}

// Runs in a death-test child: with no descriptors left the pipe cannot be made.
void runWithoutDescriptors() {
  struct rlimit none;
  none.rlim_cur = 0;
  none.rlim_max = 0;
  setrlimit(RLIMIT_NOFILE, &none);
  ProcessResult r = runShell("echo should-not-run");
  _exit(r.status != 0 && r.output.empty() ? 42 : 1);
}

TEST(RunShellDeathTest, SpawnFailureIsANonZeroStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runWithoutDescriptors(), ::testing::ExitedWithCode(42), "runShell");
}

TEST(RunShellCapturingErrors, BothStreamsStatusAndNoInput) {
  ShellCapture r = runShellCapturingErrors("echo out; echo err >&2; exit 2");
  EXPECT_EQ(r.output, "out\n");
  EXPECT_EQ(r.errorOutput, "err\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.failure, "");

  // Standard input is /dev/null rather than the caller's.
  EXPECT_EQ(runShellCapturingErrors("readlink /proc/$$/fd/0").output, "/dev/null\n");

  EXPECT_EQ(runShellCapturingErrors("kill -TERM $$").status, 128 + 15);
}

TEST(RunShellCapturingErrors, LargeErrorOutputDoesNotDeadlock) {
  // Standard error fills far beyond a pipe buffer before anything goes to standard output.
  const size_t size = 4u * 1024 * 1024;
  const std::string n = std::to_string(size);
  ShellCapture r = runShellCapturingErrors("head -c " + n + " /dev/zero | tr '\\0' e >&2; head -c " + n +
                                           " /dev/zero | tr '\\0' o");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.errorOutput, std::string(size, 'e'));
  EXPECT_EQ(r.output, std::string(size, 'o'));
}

TEST(ShellQuote, QuotesPlainAndSpecialWords) {
  EXPECT_EQ(shellQuote(""), "''");
  EXPECT_EQ(shellQuote("abc"), "'abc'");
  EXPECT_EQ(shellQuote("it's"), "'it'\"'\"'s'");
}

TEST(ShellQuote, RoundTripsThroughTheShell) {
  const std::vector<std::string> words = {
      "",          "plain",         "two words", "it's",         "''",         "$HOME",          "`id`",
      "$(echo x)", "back\\slash\\", "\"dq\"",    "a;b|c&d>e<f", "*?[abc]~",   "tab\tnew\nline", "-n",
      "!history", "'$'\\''`'",      "\xff\xfe bytes"};
  for (const std::string& word : words) {
    ProcessResult r = runShell("printf '%s' " + shellQuote(word));
    EXPECT_EQ(r.output, word) << "word: " << word;
    EXPECT_EQ(r.status, 0);
  }
  // Several quoted words stay separate arguments.
  EXPECT_EQ(runShell("printf '<%s>' " + shellQuote("a b") + " " + shellQuote("c'd")).output, "<a b><c'd>");
}

}  // namespace
}  // namespace platform
