// Kills a process that writes through the local store over LevelDB at random moments, then checks
// that every write the store acknowledged is still there and that the store opens.
//
// The child is this test program again, run with the filter of LevelDbCrashChild and the
// environment below. More rounds: VRV_CRASH_ROUNDS=<n>.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/mutation_queue.h"
#include "davedove/verorariv/local/tests/leveldb_testutil.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

constexpr const char* kChildDirectoryEnv = "VRV_CRASH_CHILD_DIR";
constexpr const char* kChildFdEnv = "VRV_CRASH_CHILD_FD";
constexpr const char* kChildRoundEnv = "VRV_CRASH_CHILD_ROUND";
constexpr int kDefaultRounds = 20;

const auth::User& Writer() {
  static const auth::User user("crash-writer");
  return user;
}

std::string DocumentPath(const std::string& round, int n) {
  return "crash/r" + round + "-" + std::to_string(n);
}

// The child: writes one batch after another and reports each acknowledged one as
// "<batch id> <document path>\n" until it is killed.
TEST(LevelDbCrashChild, WritesUntilKilled) {
  const char* directory = std::getenv(kChildDirectoryEnv);
  const char* fdText = std::getenv(kChildFdEnv);
  const char* round = std::getenv(kChildRoundEnv);
  if (directory == nullptr || fdText == nullptr || round == nullptr) {
    GTEST_SKIP() << "runs only as the child of the crash test";
  }
  int fd = std::atoi(fdText);
  std::shared_ptr<VRVLevelDB> db = leveldb_testutil::Open(util::Path::FromUtf8(directory));
  ASSERT_NE(db, nullptr);
  VRVLocalStore store(db, Writer());
  store.start();
  for (int n = 0; n < 1000000; n++) {
    std::string path = DocumentPath(round, n);
    VRVLocalWriteResult result = store.locallyWriteMutations({testutil::SetMutation(path, n)});
    std::string line = std::to_string(result.batchID()) + " " + path + "\n";
    ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
}

std::string SelfExecutable() {
  std::vector<char> buffer(4096);
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(length));
}

// Runs the child for about `runFor`, then kills it; the complete lines it reported.
std::vector<std::string> RunAndKill(const std::string& directory, int round,
                                    std::chrono::milliseconds runFor) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  // Everything the child needs is made before fork: only exec-safe calls run in between.
  std::string self = SelfExecutable();
  std::string filter = "--gtest_filter=LevelDbCrashChild.WritesUntilKilled";
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; entry++) environment.emplace_back(*entry);
  environment.push_back(std::string(kChildDirectoryEnv) + "=" + directory);
  environment.push_back(std::string(kChildFdEnv) + "=" + std::to_string(fds[1]));
  environment.push_back(std::string(kChildRoundEnv) + "=" + std::to_string(round));
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv{self.data(), filter.data(), nullptr};

  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::execve(self.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);

  std::string received;
  char buffer[4096];
  auto deadline = std::chrono::steady_clock::now() + runFor;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd poller{fds[0], POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) continue;
    ssize_t n = ::read(fds[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  // What the child wrote before it died is still in the pipe.
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof(buffer))) > 0) {
    received.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);

  std::vector<std::string> lines;
  std::istringstream stream(received);
  std::string line;
  while (std::getline(stream, line)) {
    if (!stream.eof()) lines.push_back(line);  // a last line without "\n" was cut off
  }
  return lines;
}

TEST(LevelDbCrashTest, AcknowledgedWritesSurviveSigkill) {
  int rounds = kDefaultRounds;
  if (const char* text = std::getenv("VRV_CRASH_ROUNDS")) rounds = std::max(1, std::atoi(text));
  ASSERT_FALSE(SelfExecutable().empty());

  leveldb_testutil::TempDir temp;
  std::string directory = temp.Sub("main").ToUtf8String();
  std::mt19937 random(std::random_device{}());
  // Some kills land while the child still opens or migrates the store, most while it writes.
  std::uniform_int_distribution<int> runFor(5, 250);

  std::map<BatchId, std::string> acknowledged;
  int killedWhileWriting = 0;
  for (int round = 0; round < rounds; round++) {
    std::vector<std::string> lines =
        RunAndKill(directory, round, std::chrono::milliseconds(runFor(random)));
    for (const std::string& line : lines) {
      std::istringstream fields(line);
      BatchId batchId = -1;
      std::string path;
      fields >> batchId >> path;
      ASSERT_FALSE(path.empty()) << "malformed report \"" << line << "\"";
      ASSERT_EQ(acknowledged.count(batchId), 0u) << "batch id " << batchId << " handed out twice";
      acknowledged[batchId] = path;
    }
    if (!lines.empty()) killedWhileWriting++;

    util::StatusOr<std::shared_ptr<VRVLevelDB>> reopened =
        VRVLevelDB::dbWithDirectory(util::Path::FromUtf8(directory),
                                    leveldb_testutil::Serializer(), leveldb_testutil::DefaultLru());
    ASSERT_TRUE(reopened.ok()) << "round " << round << ": " << reopened.status().ToString();
    std::shared_ptr<VRVLevelDB> db = reopened.value();
    MutationQueue* queue = db->mutationQueueForUser(Writer());
    db->run()("check", [&] {
      queue->Start();
      for (const auto& entry : acknowledged) {
        model::MutationBatchPtr batch = queue->LookupMutationBatch(entry.first);
        ASSERT_NE(batch, nullptr) << "round " << round << ": acknowledged batch " << entry.first
                                  << " is lost";
        ASSERT_EQ(batch->mutations().size(), 1u);
        EXPECT_EQ(batch->mutations()[0]->key().ToString(), entry.second);
      }
      queue->PerformConsistencyCheck();
    });
    db->shutdown();
  }
  EXPECT_GT(killedWhileWriting, 0) << "no round got as far as writing";
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
