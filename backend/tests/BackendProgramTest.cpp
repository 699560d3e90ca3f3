#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

TEST(BackendProgramTest, ServesOnTheAnnouncedPortAndStopsOnSignal) {
  char tmpl[] = "/tmp/vrl-backend-prog-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  std::ofstream(dir + "/seed.json")
      << R"({"users":[{"email":"fay@example.com","password":"s3cretpw","uid":"uid-fay"}]})";

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(VRL_BACKEND_EXE, VRL_BACKEND_EXE, "--port", "0", "--data-dir", (dir + "/data").c_str(), "--seed",
            (dir + "/seed.json").c_str(), "--quiet", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* f = ::fdopen(out[0], "r");
  char line[128] = {0};
  ASSERT_NE(std::fgets(line, sizeof(line), f), nullptr);
  int port = 0;
  ASSERT_EQ(std::sscanf(line, "port=%d", &port), 1) << line;
  ASSERT_GT(port, 0);

  httplib::Client client("127.0.0.1", port);
  auto res = client.Post("/identityservice/v3/relyingparty/verifyPassword?key=k",
                         R"({"email":"fay@example.com","password":"s3cretpw","returnSecureToken":true})",
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(nlohmann::json::parse(res->body)["localId"], "uid-fay");

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::fclose(f);
  EXPECT_TRUE(std::filesystem::exists(dir + "/data/users.json"));
  std::filesystem::remove_all(dir);
}

}  // namespace
