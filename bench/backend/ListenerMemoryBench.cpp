// The backend's resident memory under Listen clients that never read. The backend runs as its own
// program, so only its memory counts: the peak resident set (VmHWM, reset once the clients are set
// up) above the resident set at that moment, as "peak_growth_MB".
//
// BM_CommitsUnderANeverReadingListener: a user commits 1200 documents of 1 MB, just under the
//   document bound (one document written over and over, so the store itself keeps one). Arg 0: no
//   listener, for comparison; arg 1: one listener that never reads.
// BM_RequestsFloodingANeverReadingStream: one stream sends 250 requests of 4.9 MB behind a snapshot
//   of 7 MB, and reads nothing: the stream holds them unhandled.
// BM_SnapshotsToNeverReadingStreams: 16 query streams over one account's own 78 MB read nothing.
// BM_AnonymousAccountsWithNeverReadingStreams: 8 accounts signed up anonymously, 8 streams each,
//   every stream holding just under its own bound. Arg 0: each stream sends 3 requests of 4.9 MB;
//   arg 1: each stream watches a document of its own that the account writes 20 times over (900 KB).
// Each of the last three must grow the backend by 256 MB at most; "streams_ended" counts the
// streams it ended with RESOURCE_EXHAUSTED.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend/src/BackendProcess.h"
#include "bench/backend/BackendProgram.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace {

namespace v1 = variru::verorariv::v1;

using ListenCall = grpc::ClientReaderWriter<v1::ListenRequest, v1::ListenResponse>;

using bench::BackendProgram;

// A signed-in user of the backend's document service.
class DocumentClient {
 public:
  // The seeded user, or (anonymous) a new account signed up for nothing.
  DocumentClient(const BackendProgram& backend, bool anonymous) {
    httplib::Client http("127.0.0.1", backend.port());
    auto reply = anonymous ? http.Post("/identityservice/v3/relyingparty/signupNewUser?key=k",
                                       R"({"returnSecureToken":true})", "application/json")
                           : http.Post("/identityservice/v3/relyingparty/verifyPassword?key=k",
                                       R"({"email":"bench@example.com","password":"bench-pass","returnSecureToken":true})",
                                       "application/json");
    if (!reply || reply->status != 200) return;
    auto body = nlohmann::json::parse(reply->body);
    uid = body["localId"];
    idToken = body["idToken"];
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(-1);  // the answers to large requests are as large
    stub_ = v1::Verorariv::NewStub(
        grpc::CreateCustomChannel(backend.documentsHost(), grpc::InsecureChannelCredentials(), arguments));
  }

  bool signedIn() const { return stub_ != nullptr; }
  std::string name(const std::string& path) const { return kDatabase + "/documents/" + path; }

  std::unique_ptr<grpc::ClientContext> context() const {
    auto c = std::make_unique<grpc::ClientContext>();
    c->AddMetadata("authorization", "Bearer " + idToken);
    c->AddMetadata("variru-cloud-resource-prefix", kDatabase);
    return c;
  }

  // Writes the document at `path` with the user's "userId", a blob and a number; the refusal, or "".
  std::string commit(const std::string& path, const std::string& blob, int n) const {
    v1::CommitRequest request;
    request.set_database(kDatabase);
    auto* update = request.add_writes()->mutable_update();
    update->set_name(name(path));
    (*update->mutable_fields())["userId"].set_string_value(uid);
    (*update->mutable_fields())["blob"].set_string_value(blob);
    (*update->mutable_fields())["n"].set_integer_value(n);
    v1::CommitResponse response;
    auto c = context();
    grpc::Status s = stub_->Commit(c.get(), request, &response);
    return s.ok() ? "" : "commit refused: " + s.error_message();
  }

  // A Listen stream with its context.
  struct Listen {
    std::unique_ptr<grpc::ClientContext> context;
    std::unique_ptr<ListenCall> call;
  };
  Listen listen() const {
    Listen l{context(), nullptr};
    l.call = stub_->Listen(l.context.get());
    return l;
  }
  // Adds a target: the document, or (`query`) the user's own documents of "customBlacklist".
  bool addTarget(Listen& l, const std::string& documentPath, bool query = false) const {
    v1::ListenRequest request;
    request.set_database(kDatabase);
    auto* target = request.mutable_add_target();
    target->set_target_id(query ? 2 : 1);
    if (!query) {
      target->mutable_documents()->add_documents(name(documentPath));
    } else {
      target->mutable_query()->set_parent(kDatabase + "/documents");
      auto* q = target->mutable_query()->mutable_structured_query();
      q->add_from()->set_collection_id("customBlacklist");
      auto* f = q->mutable_where()->mutable_field_filter();
      f->mutable_field()->set_field_path("userId");
      f->set_op(v1::StructuredQuery::FieldFilter::EQUAL);
      f->mutable_value()->set_string_value(uid);
    }
    return l.call->Write(request);
  }

  std::string uid, idToken;
  static inline const std::string kDatabase = "projects/vorellin-local/databases/(default)";

 private:
  std::unique_ptr<v1::Verorariv::Stub> stub_;
};

// Reads until the target is current; false when the stream ended first.
bool readUntilCurrent(ListenCall& call) {
  v1::ListenResponse r;
  while (call.Read(&r))
    if (r.has_target_change() && r.target_change().target_change_type() == v1::TargetChange::CURRENT) return true;
  return false;
}

// How a stream ended, read to its end: 8 is RESOURCE_EXHAUSTED. One still open after `seconds` is
// cancelled (1).
int endOf(DocumentClient::Listen& l, int seconds = 30) {
  std::mutex mutex;
  std::condition_variable drained;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!drained.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; })) l.context->TryCancel();
  });
  v1::ListenResponse r;
  while (l.call->Read(&r)) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  drained.notify_all();
  watchdog.join();
  return l.call->Finish().error_code();
}

// The never-reading streams, read now: how many the backend ended while they did not read.
int countEnded(std::vector<DocumentClient::Listen>& streams) {
  int ended = 0;
  for (auto& l : streams) {
    if (readUntilCurrent(*l.call)) l.context->TryCancel();
    else ++ended;
    l.call->Finish();
  }
  return ended;
}

void recordGrowth(benchmark::State& state, const BackendProgram& backend, double before) {
  state.counters["peak_growth_MB"] = (backend.statusBytes("VmHWM") - before) / (1 << 20);
  state.counters["end_growth_MB"] = (backend.statusBytes("VmRSS") - before) / (1 << 20);
}

void BM_CommitsUnderANeverReadingListener(benchmark::State& state) {
  constexpr int kCommits = 1200;
  constexpr size_t kDocumentBytes = 1000000;
  const bool withListener = state.range(0) == 1;
  for (auto _ : state) {
    BackendProgram backend;
    if (!backend.started()) return state.SkipWithError("the backend did not start");
    DocumentClient user(backend, false);
    if (!user.signedIn()) return state.SkipWithError("sign-in failed");
    const std::string path = "users/" + user.uid;

    DocumentClient::Listen listener;
    if (withListener) {
      listener = user.listen();
      user.addTarget(listener, path);
      if (!readUntilCurrent(*listener.call)) return state.SkipWithError("the listener never became current");
    }

    const double before = backend.statusBytes("VmRSS");
    if (!backend.resetPeak()) return state.SkipWithError("cannot reset the peak resident set");
    const std::string blob(kDocumentBytes, 'm');
    for (int i = 0; i < kCommits; ++i) {
      std::string refused = user.commit(path, blob, i);
      if (!refused.empty()) return state.SkipWithError(refused.c_str());
    }
    recordGrowth(state, backend, before);
    if (withListener) state.counters["listener_status"] = endOf(listener);  // 8: RESOURCE_EXHAUSTED
  }
}
BENCHMARK(BM_CommitsUnderANeverReadingListener)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// A request for a database the service does not know, as large as a request gets: refused with a short
// message once handled.
v1::ListenRequest largeRequest(const DocumentClient& user) {
  v1::ListenRequest request;
  request.set_database(std::string(4900000, 'd'));
  request.mutable_add_target()->set_target_id(1);
  request.mutable_add_target()->mutable_documents()->add_documents(user.name("users/" + user.uid));
  return request;
}

void BM_RequestsFloodingANeverReadingStream(benchmark::State& state) {
  constexpr int kRequests = 250;
  for (auto _ : state) {
    BackendProgram backend;
    if (!backend.started()) return state.SkipWithError("the backend did not start");
    DocumentClient user(backend, false);
    if (!user.signedIn()) return state.SkipWithError("sign-in failed");
    // What the stream answers is small: its handler is kept busy by a snapshot it cannot send.
    const std::string blob(900000, 'f');
    for (int i = 0; i < 8; ++i) {
      std::string refused = user.commit("customBlacklist/" + user.uid + "-" + std::to_string(i), blob, i);
      if (!refused.empty()) return state.SkipWithError(refused.c_str());
    }
    DocumentClient::Listen flood = user.listen();
    user.addTarget(flood, "", true);
    backend.settle();

    const double before = backend.statusBytes("VmRSS");
    if (!backend.resetPeak()) return state.SkipWithError("cannot reset the peak resident set");
    const v1::ListenRequest request = largeRequest(user);
    int taken = 0;
    while (taken < kRequests && flood.call->Write(request)) ++taken;
    backend.settle();
    recordGrowth(state, backend, before);
    state.counters["requests_taken"] = taken;
    state.counters["stream_status"] = endOf(flood);  // 8: RESOURCE_EXHAUSTED
  }
}
BENCHMARK(BM_RequestsFloodingANeverReadingStream)->Iterations(1)->Unit(benchmark::kSecond);

void BM_SnapshotsToNeverReadingStreams(benchmark::State& state) {
  constexpr int kDocuments = 87, kStreams = 16;
  for (auto _ : state) {
    BackendProgram backend;
    if (!backend.started()) return state.SkipWithError("the backend did not start");
    DocumentClient user(backend, false);
    if (!user.signedIn()) return state.SkipWithError("sign-in failed");
    const std::string blob(900000, 's');
    for (int i = 0; i < kDocuments; ++i) {
      std::string refused = user.commit("customBlacklist/" + user.uid + "-" + std::to_string(i), blob, i);
      if (!refused.empty()) return state.SkipWithError(refused.c_str());
    }
    backend.settle();

    const double before = backend.statusBytes("VmRSS");
    if (!backend.resetPeak()) return state.SkipWithError("cannot reset the peak resident set");
    std::vector<DocumentClient::Listen> streams;
    for (int i = 0; i < kStreams; ++i) {
      streams.push_back(user.listen());
      user.addTarget(streams.back(), "", true);
    }
    backend.settle();
    recordGrowth(state, backend, before);
    state.counters["streams_ended"] = countEnded(streams);
  }
}
BENCHMARK(BM_SnapshotsToNeverReadingStreams)->Iterations(1)->Unit(benchmark::kSecond);

void BM_AnonymousAccountsWithNeverReadingStreams(benchmark::State& state) {
  constexpr int kAccounts = 8, kStreamsPerAccount = 8, kRequests = 3, kRounds = 20;
  const bool byChanges = state.range(0) == 1;
  for (auto _ : state) {
    BackendProgram backend;
    if (!backend.started()) return state.SkipWithError("the backend did not start");
    std::vector<std::unique_ptr<DocumentClient>> accounts;
    std::vector<DocumentClient::Listen> streams;
    const std::string blob(900000, 'a');
    for (int a = 0; a < kAccounts; ++a) {
      accounts.push_back(std::make_unique<DocumentClient>(backend, true));
      const DocumentClient& account = *accounts.back();
      if (!account.signedIn()) return state.SkipWithError("anonymous sign-up failed");
      for (int s = 0; s < kStreamsPerAccount; ++s) {
        streams.push_back(account.listen());
        if (!byChanges) continue;
        const std::string path = "customBlacklist/" + account.uid + "-" + std::to_string(s);
        std::string refused = account.commit(path, blob, 0);
        if (!refused.empty()) return state.SkipWithError(refused.c_str());
        account.addTarget(streams.back(), path);
        if (!readUntilCurrent(*streams.back().call)) return state.SkipWithError("a stream never became current");
      }
    }

    const double before = backend.statusBytes("VmRSS");
    if (!backend.resetPeak()) return state.SkipWithError("cannot reset the peak resident set");
    for (size_t i = 0; !byChanges && i < streams.size(); ++i) {
      const v1::ListenRequest request = largeRequest(*accounts[i / kStreamsPerAccount]);
      for (int r = 0; r < kRequests; ++r) streams[i].call->Write(request);
    }
    for (int round = 1; byChanges && round <= kRounds; ++round)
      for (const auto& account : accounts)
        for (int s = 0; s < kStreamsPerAccount; ++s) {
          std::string refused =
              account->commit("customBlacklist/" + account->uid + "-" + std::to_string(s), blob, round);
          if (!refused.empty()) return state.SkipWithError(refused.c_str());
        }
    backend.settle();
    recordGrowth(state, backend, before);
    // Read all at once; the open ones are cancelled.
    std::atomic<int> ended{0};
    std::vector<std::thread> readers;
    for (auto& l : streams) readers.emplace_back([&ended, &l] { ended += endOf(l, 5) == 8 ? 1 : 0; });
    for (auto& t : readers) t.join();
    state.counters["streams_ended"] = ended.load();
  }
}
BENCHMARK(BM_AnonymousAccountsWithNeverReadingStreams)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
