// What mailed codes cost the identity service, measured on vorellin-backend run as its own program
// over a fresh data directory:
// - BM_MailRequestsAndUnusedCodes: the program's resident memory after 20 mail requests with a
//   900 kB continueUrl (long_urls_growth_MB); then what 20 sign-in-link requests with a 900 kB
//   address add to it (long_addresses_growth_MB), the bytes they write (long_addresses_written_MB:
//   data files, journal and mails) and how many were refused (refused_long_addresses); then after
//   1,000 sign-in links more that are never used, above what it held before (end_growth_MB) and at
//   its peak (peak_growth_MB); refused_requests counts the other requests answered with an error.
// - BM_PasswordSignInWithStoredCodes/N: one password sign-in (HTTP, token minting, the save) with N
//   unused codes stored.
// - BM_PasswordSignInAfterManySignIns: in one run, 20 sign-ins of one account after 200 and again
//   after 6,000 sign-ins of it: the time of one (ms_after_N) and the bytes it writes (kB_after_N).
// - BM_AnonymousAccountsThatComeAndGo: 1,000 rounds of an anonymous sign-up and the deletion of its
//   account: the bytes the first and the last round write (kB_round_1, kB_round_1000) and the size
//   of the data files after them (users_kB, refresh_tokens_kB).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/backend/BackendProgram.h"

namespace {

constexpr const char kRelyingParty[] = "/identityservice/v3/relyingparty/";

// The program with one password user, and a client to it.
class IdentityProgram : public bench::BackendProgram {
 public:
  IdentityProgram() {
    if (started()) client_ = std::make_unique<httplib::Client>("127.0.0.1", port());
  }

  // The HTTP status of one relying-party call, 0 when nothing answered.
  int call(const std::string& name, const nlohmann::json& body) {
    auto res = client_->Post(std::string(kRelyingParty) + name + "?key=k", body.dump(), "application/json");
    return res ? res->status : 0;
  }
  int mailSignInLink(const std::string& email, const std::string& continueUrl) {
    return call("getOobConfirmationCode",
                {{"requestType", "EMAIL_SIGNIN"}, {"email", email}, {"continueUrl", continueUrl}, {"canHandleCodeInApp", true}});
  }

 private:
  std::unique_ptr<httplib::Client> client_;
};

void BM_MailRequestsAndUnusedCodes(benchmark::State& state) {
  for (auto _ : state) {
    IdentityProgram program;
    if (!program.started()) return state.SkipWithError("the backend did not start");
    // One of each first, so that what only the first request allocates is not counted.
    if (program.mailSignInLink("warm@example.com", "https://vorellin.example/") != 200)
      return state.SkipWithError("a sign-in link was refused");
    const double before = program.statusBytes("VmRSS");
    if (!program.resetPeak()) return state.SkipWithError("cannot restart the peak resident set");
    const std::string longUrl = "https://vorellin.example/?q=" + std::string(900000, 'u');
    int refused = 0;
    for (int i = 0; i < 20; ++i)
      if (program.mailSignInLink("long" + std::to_string(i) + "@example.com", longUrl) != 200) ++refused;
    state.counters["long_urls_growth_MB"] = (program.statusBytes("VmRSS") - before) / (1 << 20);
    const double beforeAddresses = program.statusBytes("VmRSS"), written = program.ioBytes("wchar");
    int refusedAddresses = 0;
    for (int i = 0; i < 20; ++i)
      if (program.mailSignInLink(std::to_string(i) + std::string(900000, 'a') + "@example.com",
                                 "https://vorellin.example/") != 200)
        ++refusedAddresses;
    state.counters["long_addresses_growth_MB"] = (program.statusBytes("VmRSS") - beforeAddresses) / (1 << 20);
    state.counters["long_addresses_written_MB"] = (program.ioBytes("wchar") - written) / (1 << 20);
    state.counters["refused_long_addresses"] = refusedAddresses;
    for (int i = 0; i < 1000; ++i)
      if (program.mailSignInLink("unused" + std::to_string(i) + "@example.com", "https://vorellin.example/") != 200)
        ++refused;
    state.counters["end_growth_MB"] = (program.statusBytes("VmRSS") - before) / (1 << 20);
    state.counters["peak_growth_MB"] = (program.statusBytes("VmHWM") - before) / (1 << 20);
    state.counters["refused_requests"] = refused;
  }
}
BENCHMARK(BM_MailRequestsAndUnusedCodes)->Iterations(1)->Unit(benchmark::kSecond);

void BM_PasswordSignInWithStoredCodes(benchmark::State& state) {
  IdentityProgram program;
  if (!program.started()) return state.SkipWithError("the backend did not start");
  for (int64_t i = 0; i < state.range(0); ++i)
    if (program.mailSignInLink("stored" + std::to_string(i) + "@example.com", "https://vorellin.example/") != 200)
      return state.SkipWithError("a sign-in link was refused");
  const nlohmann::json signIn = {{"email", "bench@example.com"}, {"password", "bench-pass"}, {"returnSecureToken", true}};
  for (auto _ : state)
    if (program.call("verifyPassword", signIn) != 200) return state.SkipWithError("the sign-in failed");
}
// As many sign-ins for each count, so the refresh tokens they leave behind weigh alike.
BENCHMARK(BM_PasswordSignInWithStoredCodes)->Arg(0)->Arg(1000)->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_PasswordSignInAfterManySignIns(benchmark::State& state) {
  for (auto _ : state) {
    IdentityProgram program;
    if (!program.started()) return state.SkipWithError("the backend did not start");
    const nlohmann::json signIn = {
        {"email", "bench@example.com"}, {"password", "bench-pass"}, {"returnSecureToken", true}};
    int done = 0;
    for (int after : {200, 6000}) {
      for (; done < after; ++done)
        if (program.call("verifyPassword", signIn) != 200) return state.SkipWithError("a sign-in failed");
      constexpr int kMeasured = 20;
      const double written = program.ioBytes("wchar");
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < kMeasured; ++i, ++done)
        if (program.call("verifyPassword", signIn) != 200) return state.SkipWithError("a sign-in failed");
      const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
      state.counters["ms_after_" + std::to_string(after)] = took.count() / kMeasured;
      state.counters["kB_after_" + std::to_string(after)] = (program.ioBytes("wchar") - written) / kMeasured / 1024;
    }
  }
}
BENCHMARK(BM_PasswordSignInAfterManySignIns)->Iterations(1)->Unit(benchmark::kSecond);

void BM_AnonymousAccountsThatComeAndGo(benchmark::State& state) {
  for (auto _ : state) {
    IdentityProgram program;
    if (!program.started()) return state.SkipWithError("the backend did not start");
    httplib::Client client("127.0.0.1", program.port());
    constexpr int kRounds = 1000;
    for (int round = 1; round <= kRounds; ++round) {
      const double written = program.ioBytes("wchar");
      auto signUp = client.Post(std::string(kRelyingParty) + "signupNewUser?key=k", R"({"returnSecureToken":true})",
                                "application/json");
      if (!signUp || signUp->status != 200) return state.SkipWithError("a sign-up failed");
      const nlohmann::json idToken = nlohmann::json::parse(signUp->body)["idToken"];
      if (program.call("deleteAccount", {{"idToken", idToken}}) != 200) return state.SkipWithError("a deletion failed");
      if (round == 1 || round == kRounds)
        state.counters["kB_round_" + std::to_string(round)] = (program.ioBytes("wchar") - written) / 1024;
    }
    auto kB = [&](const char* file) { return std::filesystem::file_size(program.dataDir() + "/" + file) / 1024.0; };
    state.counters["users_kB"] = kB("users.json");
    state.counters["refresh_tokens_kB"] = kB("refresh-tokens.json");
  }
}
BENCHMARK(BM_AnonymousAccountsThatComeAndGo)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
