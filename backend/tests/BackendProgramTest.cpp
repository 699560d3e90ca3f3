#include <httplib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <leveldb/db.h>
#include <nlohmann/json.hpp>

#include "backend/src/BackendProcess.h"

namespace {

// vorellin-backend started as a program over a fresh data directory, with what it announced.
class BackendProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrl-backend-prog-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ofstream(dir_ + "/seed.json")
        << R"({"users":[{"email":"fay@example.com","password":"s3cretpw","uid":"uid-fay"}],)"
           R"("documents":{"pin/uid-fay":{"userId":"uid-fay","pin":"4321"}}})";
    program_ = std::make_unique<backend::BackendProcess>(VRL_BACKEND_EXE, arguments());
    announced_ = program_->announced();
    ASSERT_TRUE(announced_.count("port")) << "the program announced no port";
    port_ = std::stoi(announced_["port"]);
    ASSERT_GT(port_, 0);
  }

  // The program over the fixture's data directory and seed.
  std::vector<std::string> arguments() const {
    return {"--port", "0", "--data-dir", dir_ + "/data", "--seed", dir_ + "/seed.json", "--quiet"};
  }

  void TearDown() override {
    program_.reset();
    std::filesystem::remove_all(dir_);
  }

  int stopProgram() {
    int status = program_->stop();
    EXPECT_NE(status, -1);
    return status;
  }

  std::string dir_;
  std::unique_ptr<backend::BackendProcess> program_;
  std::map<std::string, std::string> announced_;
  int port_ = 0;
};

TEST_F(BackendProgramTest, ServesOnTheAnnouncedPortAndStopsOnSignal) {
  httplib::Client client("127.0.0.1", port_);
  auto res = client.Post("/identityservice/v3/relyingparty/verifyPassword?key=k",
                         R"({"email":"fay@example.com","password":"s3cretpw","returnSecureToken":true})",
                         "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(nlohmann::json::parse(res->body)["localId"], "uid-fay");

  int status = stopProgram();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/data/users.json"));
}

// The admin interface reads every user's PIN: only a holder of the token file's secret gets in, and
// a page of another site reaching the port by DNS rebinding (its own Host, its own Origin) never does.
TEST_F(BackendProgramTest, AdminInterfaceAnswersOnlyTheTokenHolderOnALoopbackHost) {
  ASSERT_TRUE(announced_.count("admin_token_file"));
  const std::string file = announced_["admin_token_file"];
  EXPECT_EQ(file, dir_ + "/data/admin-token");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string token;
  ASSERT_TRUE(std::ifstream(file) >> token);
  EXPECT_EQ(token.size(), 64u);

  httplib::Client client("127.0.0.1", port_);
  auto get = [&](httplib::Headers headers) {
    auto res = client.Get("/admin/v1/documents/pin/uid-fay", headers);
    return res ? res->status : -1;
  };
  const std::string bearer = "Bearer " + token;
  EXPECT_EQ(get({}), 401);
  EXPECT_EQ(get({{"Authorization", "Bearer " + std::string(64, '0')}}), 401);
  EXPECT_EQ(get({{"Authorization", bearer + "0"}}), 401);
  EXPECT_EQ(get({{"Authorization", "Basic " + token}}), 401);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Host", "attacker.example:" + std::to_string(port_)}}), 403);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Host", "127.0.0.1.attacker.example"}}), 403);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Origin", "http://attacker.example"}}), 403);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Origin", "null"}}), 403);
  // A foreign Host or Origin behind a loopback one is still foreign.
  EXPECT_EQ(get({{"Authorization", bearer}, {"Host", "127.0.0.1"}, {"Host", "attacker.example"}}), 403);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Origin", "http://localhost"}, {"Origin", "http://attacker.example"}}),
            403);
  EXPECT_EQ(get({{"Authorization", "bearer " + token}}), 200) << "the scheme's name is case-insensitive";
  EXPECT_EQ(get({{"Authorization", bearer}, {"Host", "localhost:" + std::to_string(port_)}}), 200);
  EXPECT_EQ(get({{"Authorization", bearer}, {"Host", "[::1]"}, {"Origin", "http://127.0.0.1:3000"}}), 200);
  auto res = client.Get("/admin/v1/documents/pin/uid-fay", {{"Authorization", bearer}});
  ASSERT_TRUE(res);
  EXPECT_EQ(nlohmann::json::parse(res->body)["fields"]["pin"], "4321");

  // A refused write changes nothing.
  auto put = client.Put("/admin/v1/documents/pin/uid-fay", R"({"userId":"uid-fay","pin":"9999"})", "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 401);
  res = client.Get("/admin/v1/documents/pin/uid-fay", {{"Authorization", bearer}});
  ASSERT_TRUE(res);
  EXPECT_EQ(nlohmann::json::parse(res->body)["fields"]["pin"], "4321");
}

// Every file below the folder: its inode, size, modification time and bytes.
std::map<std::string, std::string> filesBelow(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0) continue;
    std::string state = std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) {
      std::ifstream in(entry.path(), std::ios::binary);
      state += " " + std::string(std::istreambuf_iterator<char>(in), {});
    }
    files[entry.path().string()] = state;
  }
  return files;
}

// A second program started on the same data directory is refused at once, by name, and touches no
// file of the one that runs there: not a save it has under way (its journal, a temporary file), not
// its token file.
TEST_F(BackendProgramTest, ASecondProgramOnTheSameDataDirectoryIsRefusedAndTouchesNoFile) {
  const std::string data = dir_ + "/data";
  const std::string file = announced_["admin_token_file"];
  std::string token;
  ASSERT_TRUE(std::ifstream(file) >> token);
  std::string users;
  ASSERT_TRUE(std::getline(std::ifstream(data + "/users.json"), users, '\0'));
  std::ofstream(data + "/save-journal.json") << nlohmann::json{{"files", {{"users.json", users}}}}.dump();
  std::ofstream(data + "/.users.json.tmp-Ab12Cd") << users.substr(0, users.size() / 2);
  const auto before = filesBelow(data);

  // Standard error joined to standard output, where the refusal is read.
  std::vector<std::string> joined = {"-c", "exec \"$0\" \"$@\" 2>&1", VRL_BACKEND_EXE};
  for (const auto& a : arguments()) joined.push_back(a);
  backend::BackendProcess second("/bin/sh", joined);
  EXPECT_FALSE(second.started());
  int status = second.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "the second program must not serve";
  EXPECT_EQ(second.remainingOutput(),
            "vorellin-backend: the data directory " + data + " is in use by another program\n");
  EXPECT_EQ(filesBelow(data), before);

  httplib::Client client("127.0.0.1", port_);
  auto res = client.Get("/admin/v1/documents/pin/uid-fay", {{"Authorization", "Bearer " + token}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

// The request log and the start's errors go where the run command reads "port=" and
// "admin_token_file=": a path that decodes to line breaks or terminal escapes, or a stored key that
// holds them, shows them escaped, on its own line.
TEST_F(BackendProgramTest, NeitherARequestNorAStoredKeyWritesALineOfItsOwnIntoTheOutput) {
  // Standard error joined to standard output, as the run command keeps both.
  std::vector<std::string> arguments = {"-c", "exec \"$0\" \"$@\" 2>&1", VRL_BACKEND_EXE, "--port", "0",
                                        "--data-dir", dir_ + "/logged"};
  backend::BackendProcess logged("/bin/sh", arguments);
  ASSERT_TRUE(logged.started());
  httplib::Client client("127.0.0.1", std::stoi(logged.announced().at("port")));
  auto res = client.Get("/forged%0Aport=1%0D%0Aadmin_token_file=/tmp/forged%1B[2J%C2%9B%FF%5C%09end");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  logged.stop();

  const std::string output = logged.remainingOutput();
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < output.size(); start = end + 1) {
    end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    lines.push_back(output.substr(start, end - start));
  }
  for (const auto& line : lines) {
    EXPECT_NE(line.rfind("port=", 0), 0u) << line;
    EXPECT_NE(line.rfind("admin_token_file=", 0), 0u) << line;
    EXPECT_EQ(line.find_first_of("\r\x1b\t"), std::string::npos) << line;
  }
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "vorellin-backend: GET /forged\\x0Aport=1\\x0D\\x0Aadmin_token_file=/tmp/forged\\x1B[2J"
                      "\\xC2\\x9B\\xFF\\\\\\x09end 404"),
            lines.end())
      << output;

  // A document under such a key that no longer decodes stops the next start, which names it.
  {
    leveldb::DB* db = nullptr;
    leveldb::Options options;
    ASSERT_TRUE(leveldb::DB::Open(options, dir_ + "/logged/documents", &db).ok());
    const std::string key = "doc/pin/forged\nport=1\r\nadmin_token_file=/tmp/forged\x1b[2J";
    EXPECT_TRUE(db->Put(leveldb::WriteOptions(), key, "\xFF").ok());
    delete db;
  }
  backend::BackendProcess damaged("/bin/sh", arguments);
  EXPECT_FALSE(damaged.started());
  std::vector<std::string> announced;  // every line with a "=", as the run command could take it
  for (const auto& [name, value] : damaged.announced()) announced.push_back(name + "=" + value);
  EXPECT_FALSE(damaged.announced().count("port")) << ::testing::PrintToString(announced);
  EXPECT_FALSE(damaged.announced().count("admin_token_file")) << ::testing::PrintToString(announced);
  EXPECT_NE(std::find(announced.begin(), announced.end(),
                      "vorellin-backend: documents: a stored document is damaged: "
                      "doc/pin/forged\\x0Aport=1\\x0D\\x0Aadmin_token_file=/tmp/forged\\x1B[2J"),
            announced.end())
      << ::testing::PrintToString(announced);
}

}  // namespace
