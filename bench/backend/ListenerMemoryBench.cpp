// The backend's resident memory while a Listen client never reads and its user commits 1200
// documents of 1 MB, just under the document bound (one document written over and over, so the
// store itself keeps one). The
// backend runs as its own program, so only its memory counts: the peak resident set (VmHWM, reset
// once the listener is current) above the resident set at that moment. Arg 0: no listener, for
// comparison; arg 1: one listener that never reads.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <httplib.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/backend/BackendProgram.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace {

namespace v1 = variru::verorariv::v1;

constexpr int kCommits = 1200;
constexpr size_t kDocumentBytes = 1000000;

void BM_CommitsUnderANeverReadingListener(benchmark::State& state) {
  const bool withListener = state.range(0) == 1;
  for (auto _ : state) {
    bench::BackendProgram backend;
    if (!backend.started()) return state.SkipWithError("the backend did not start");
    httplib::Client http("127.0.0.1", backend.port());
    auto signIn = http.Post("/identityservice/v3/relyingparty/verifyPassword?key=k",
                            R"({"email":"bench@example.com","password":"bench-pass","returnSecureToken":true})",
                            "application/json");
    if (!signIn || signIn->status != 200) return state.SkipWithError("sign-in failed");
    auto reply = nlohmann::json::parse(signIn->body);
    const std::string uid = reply["localId"], idToken = reply["idToken"];
    const std::string database = "projects/vorellin-local/databases/(default)";
    const std::string document = database + "/documents/users/" + uid;

    auto channel = grpc::CreateChannel(backend.documentsHost(), grpc::InsecureChannelCredentials());
    auto stub = v1::Verorariv::NewStub(channel);
    auto context = [&] {
      auto c = std::make_unique<grpc::ClientContext>();
      c->AddMetadata("authorization", "Bearer " + idToken);
      c->AddMetadata("variru-cloud-resource-prefix", database);
      return c;
    };

    auto listenContext = context();
    std::unique_ptr<grpc::ClientReaderWriter<v1::ListenRequest, v1::ListenResponse>> listener;
    if (withListener) {
      listener = stub->Listen(listenContext.get());
      v1::ListenRequest request;
      request.set_database(database);
      request.mutable_add_target()->set_target_id(1);
      request.mutable_add_target()->mutable_documents()->add_documents(document);
      listener->Write(request);
      v1::ListenResponse r;
      bool current = false;
      while (!current && listener->Read(&r))
        current = r.has_target_change() && r.target_change().target_change_type() == v1::TargetChange::CURRENT;
      if (!current) return state.SkipWithError("the listener never became current");
    }

    const double before = backend.statusBytes("VmRSS");
    if (!backend.resetPeak()) return state.SkipWithError("cannot reset the peak resident set");
    const std::string blob(kDocumentBytes, 'm');
    for (int i = 0; i < kCommits; ++i) {
      v1::CommitRequest request;
      request.set_database(database);
      auto* update = request.add_writes()->mutable_update();
      update->set_name(document);
      (*update->mutable_fields())["blob"].set_string_value(blob);
      (*update->mutable_fields())["n"].set_integer_value(i);
      v1::CommitResponse response;
      auto c = context();
      grpc::Status s = stub->Commit(c.get(), request, &response);
      if (!s.ok()) return state.SkipWithError(("commit refused: " + s.error_message()).c_str());
    }
    const double peak = backend.statusBytes("VmHWM");
    const double after = backend.statusBytes("VmRSS");
    state.counters["peak_growth_MB"] = (peak - before) / (1 << 20);
    state.counters["end_growth_MB"] = (after - before) / (1 << 20);
    if (listener) {
      // How the listener's stream ended; one still open after half a minute is cancelled (1).
      std::mutex mutex;
      std::condition_variable drained;
      bool done = false;
      std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!drained.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) listenContext->TryCancel();
      });
      v1::ListenResponse r;
      while (listener->Read(&r)) {
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
      }
      drained.notify_all();
      watchdog.join();
      state.counters["listener_status"] = listener->Finish().error_code();  // 8: RESOURCE_EXHAUSTED
    }
  }
}
BENCHMARK(BM_CommitsUnderANeverReadingListener)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
