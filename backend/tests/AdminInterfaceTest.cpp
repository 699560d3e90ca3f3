// The admin interface against what it must never take in, and what it must always be able to show:
// paths and names that are not text, data a client stored through the wire, seeds of either.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "backend/src/TestBackend.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace backend {
namespace {

namespace v1 = variru::verorariv::v1;
using json = nlohmann::json;

httplib::Client adminClient(TestBackend& backend) {
  httplib::Client client("127.0.0.1", backend.port());
  client.set_bearer_token_auth(backend.server().adminToken());
  return client;
}

TEST(AdminInterfaceTest, RefusesPathsThatAreNotUtf8OrNotPathSegments) {
  TestBackend backend;
  httplib::Client client = adminClient(backend);
  const std::string prefix = "/admin/v1/documents/";
  // Percent-encoded as a client sends them: a stray byte, an overlong "/", a surrogate, dot segments,
  // and an id longer than any the service keeps.
  const std::vector<std::string> paths = {"pin/%FF",  "pin/a%C0%AFb", "pin/%ED%A0%80", "%FF/x",
                                          "pin/..",   "pin/.",        "pin/" + std::string(1501, 'a')};
  for (const auto& path : paths) {
    std::vector<std::pair<std::string, httplib::Result>> replies;
    replies.emplace_back("GET", client.Get(prefix + path));
    replies.emplace_back("PUT", client.Put(prefix + path, R"({"pin":"1"})", "application/json"));
    replies.emplace_back("PATCH", client.Patch(prefix + path, R"({"pin":"1"})", "application/json"));
    replies.emplace_back("DELETE", client.Delete(prefix + path));
    for (auto& [method, res] : replies) {
      ASSERT_TRUE(res) << method << " " << path;
      EXPECT_EQ(res->status, 400) << method << " " << path << ": " << res->body;
      json reply = json::parse(res->body, nullptr, false);
      EXPECT_TRUE(reply.is_object() && reply["error"].is_string()) << res->body;
    }
  }
  auto list = client.Get(prefix + "%FF");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->status, 400) << "a collection path is checked as well";
  auto error = json::parse(client.Get(prefix + "pin/%FF")->body);
  EXPECT_NE(error["error"].get<std::string>().find("pin/\\xFF"), std::string::npos) << error;
  EXPECT_TRUE(backend.listDocuments("pin").empty()) << "no refused write stored anything";

  // Text of any language is a path like any other.
  ASSERT_TRUE(backend.setDocument("pin/%C3%A9t%C3%A9", {{"pin", "2"}}));
  auto stored = backend.listDocuments("pin");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["path"], "pin/\xC3\xA9t\xC3\xA9");
}

// A listing shows whatever is stored: bytes a user wrote through the wire, and names an older
// version let in that are not text. It never fails because of them.
TEST(AdminInterfaceTest, ListingShowsEveryStoredDocumentWhateverItHolds) {
  TestBackend backend({TestBackend::passwordUser("ann@example.com", "ann-pass-1")});
  SignedInUser ann = backend.signIn("ann@example.com", "ann-pass-1");
  const std::string database = "projects/" + backend.projectId() + "/databases/(default)";

  // Anyone signed in may create an uninstall record; this one carries bytes that are no text.
  const std::string blob("\xFF\xFE\x00" "A", 4);
  v1::CommitRequest request;
  request.set_database(database);
  v1::Write* write = request.add_writes();
  write->mutable_update()->set_name(database + "/documents/uninstall/from-ann");
  (*write->mutable_update()->mutable_fields())["blob"].set_bytes_value(blob);
  (*write->mutable_update()->mutable_fields())["reason"].set_string_value("gone");
  auto stub = v1::Verorariv::NewStub(grpc::CreateChannel(backend.documentsHost(), grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  context.AddMetadata("authorization", "Bearer " + ann.idToken);
  context.AddMetadata("variru-cloud-resource-prefix", database);
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
  v1::CommitResponse response;
  grpc::Status status = stub->Commit(&context, request, &response);
  ASSERT_TRUE(status.ok()) << status.error_message();

  // As an older version stored it: an id and a field name with bytes that are not UTF-8.
  v1::Write legacy;
  legacy.mutable_update()->set_name(database + "/documents/uninstall/old-\xFF");
  (*legacy.mutable_update()->mutable_fields())["pin\xC0\xAF"].set_string_value("12\\34");
  ASSERT_EQ(backend.documents().store().commit({legacy}, nullptr).code, 0);

  httplib::Client client = adminClient(backend);
  auto res = client.Get("/admin/v1/documents/uninstall");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  json docs = json::parse(res->body)["documents"];
  ASSERT_EQ(docs.size(), 2u) << docs;
  EXPECT_EQ(docs[0]["path"], "uninstall/from-ann");
  EXPECT_EQ(docs[0]["fields"]["blob"], (json{{"__bytes", "//4AQQ=="}}));
  EXPECT_EQ(docs[0]["fields"]["reason"], "gone");
  EXPECT_FALSE(docs[0].contains("escaped"));
  // Escaped, and said so: each stray byte as \xHH, a backslash doubled only where escaping happened.
  EXPECT_EQ(docs[1]["path"], "uninstall/old-\\xFF");
  EXPECT_EQ(docs[1]["escaped"], true);
  EXPECT_EQ(docs[1]["fields"]["pin\\xC0\\xAF"], "12\\34");

  // Such a store still opens, lists it the same, and deletes it by its bytes.
  backend.restart();
  std::vector<json> reopened = backend.listDocuments("uninstall");
  ASSERT_EQ(reopened.size(), 2u);
  EXPECT_EQ(reopened[1], docs[1]);
  auto erased = adminClient(backend).Delete("/admin/v1/documents/uninstall/old-%FF");
  ASSERT_TRUE(erased);
  EXPECT_EQ(erased->status, 200) << erased->body;
  backend.restart();
  reopened = backend.listDocuments("uninstall");
  ASSERT_EQ(reopened.size(), 1u);
  EXPECT_EQ(reopened[0]["path"], "uninstall/from-ann");

  // One document reads the same way, and its bytes go back in as they came out.
  auto one = adminClient(backend).Get("/admin/v1/documents/uninstall/from-ann");
  ASSERT_TRUE(one);
  ASSERT_EQ(one->status, 200) << one->body;
  json fields = json::parse(one->body)["fields"];
  ASSERT_TRUE(backend.setDocument("uninstall/copy", fields));
  auto copy = backend.documents().store().get("uninstall/copy");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->fields().at("blob").bytes_value(), blob);
}

TEST(AdminInterfaceTest, SeedsWithIdsOrNamesThatAreNotUtf8AreRefusedClearly) {
  auto startWith = [](BackendOptions options) {
    options.quiet = true;
    BackendServer server(options);
    std::string error;
    EXPECT_FALSE(server.start(&error));
    return error;
  };
  BackendOptions options;
  options.seed = json{{"documents", {{"pin/\xFF", {{"pin", "1"}}}}}};
  std::string error = startWith(options);
  EXPECT_NE(error.find("seed document pin/\\xFF"), std::string::npos) << error;
  EXPECT_NE(error.find("not valid UTF-8"), std::string::npos) << error;

  options.seed = json{{"documents", {{"pin/p1", {{"nested", {{"p\xFF", "1"}}}}}}}};
  error = startWith(options);
  EXPECT_NE(error.find("field name is not valid UTF-8: p\\xFF"), std::string::npos) << error;

  const std::string file =
      (std::filesystem::temp_directory_path() / ("vrl-seed-" + std::to_string(::getpid()) + ".json")).string();
  std::ofstream(file) << "{\"documents\": {\"pin/\xFF\": {\"pin\": \"1\"}}}";
  options.seed.reset();
  options.seedFile = file;
  error = startWith(options);
  std::filesystem::remove(file);
  EXPECT_NE(error.find("the seed file is not valid UTF-8: " + file), std::string::npos) << error;
}

}  // namespace
}  // namespace backend
