// Process start of the installed application, offscreen, to its first window on screen, and the
// resident memory once it has finished launching (the application reports both on standard error
// when VRL_QUIT_AFTER_LAUNCH is set, then quits).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string makeTempDir(const char* prefix) {
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// A simulated Mac with the application installed and its service registered, once per program.
const std::string& installedExecutable() {
  static const std::string executable = [] {
    const std::string root = makeTempDir("vorellin-bench-root-");
    const std::string home = makeTempDir("vorellin-bench-home-");
    ::setenv("VRL_PLATFORM_ROOT", root.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VRL_QUIT_AFTER_LAUNCH", "1", 1);
    const std::string macBin = VRL_MAC_BIN_DIR;
    ::setenv("PATH", (macBin + ":" + std::getenv("PATH")).c_str(), 1);
    const std::string app = root + "/Applications/Vorellin.app";
    fs::create_directories(root + "/Applications");
    fs::copy(std::string(VRL_BINARY_DIR) + "/Vorellin.app", app, fs::copy_options::recursive);
    const std::string load = "launchctl load -w /Applications/Vorellin.app/Contents/Resources/VorellinService.plist";
    if (std::system(load.c_str()) != 0) std::fprintf(stderr, "could not register the service\n");
    static std::string keepRoot = root, keepHome = home;
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(keepRoot, ignored);
      fs::remove_all(keepHome, ignored);
    });
    return app + "/Contents/MacOS/Vorellin";
  }();
  return executable;
}

struct Launch {
  double secondsToFirstWindow = -1;
  long residentKilobytes = -1;
};

Launch launchOnce(const std::string& executable) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv{const_cast<char*>(executable.c_str()), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  Launch launch;
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return launch;
  }
  FILE* in = ::fdopen(pipeFds[0], "r");
  char line[4096];
  while (std::fgets(line, sizeof line, in)) {
    const std::string text = line;
    if (launch.secondsToFirstWindow < 0 && text.rfind("first window shown", 0) == 0)
      launch.secondsToFirstWindow = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string resident = "resident after launch: ";
    if (text.rfind(resident, 0) == 0) launch.residentKilobytes = std::strtol(text.c_str() + resident.size(), nullptr, 10);
  }
  std::fclose(in);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return launch;
}

void BM_ProcessStartToFirstWindow(benchmark::State& state) {
  const std::string& executable = installedExecutable();
  long resident = 0;
  for (auto _ : state) {
    Launch launch = launchOnce(executable);
    if (launch.secondsToFirstWindow < 0) {
      state.SkipWithError("the application showed no window");
      return;
    }
    state.SetIterationTime(launch.secondsToFirstWindow);
    resident = std::max(resident, launch.residentKilobytes);
  }
  state.counters["resident_kB"] = double(resident);
}
BENCHMARK(BM_ProcessStartToFirstWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
