// Stand-in for the launchd control tool: records which jobs are loaded; it never starts a job.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"
#include "platform/tools/SimulatedMac.h"

using platform::LaunchJob;
using platform::SimulatedMac;

namespace {

constexpr int kFailure = 1;
constexpr int kAlreadyLoaded = 5;    // EIO, as launchd reports a second load
constexpr int kServiceNotFound = 113;

int usage() {
  std::fprintf(stderr,
               "Usage: launchctl <subcommand> ... | help [subcommand]\n"
               "Subcommands:\n"
               "\tlist           Lists information about services.\n"
               "\tload           Bootstraps a service or directory of services.\n"
               "\tunload         Unloads a service or directory of services.\n");
  return kFailure;
}

int stateError(const std::string& error) {
  std::fprintf(stderr, "launchctl: %s\n", error.c_str());
  return kFailure;
}

// The job's label from its property list; prints the reason and returns "" when there is none.
std::string labelOf(const std::string& plistPath) {
  std::string file = platform::systemPath(plistPath);
  std::string error;
  std::optional<platform::Value> plist = platform::readPropertyListFile(file, &error);
  if (!plist) {
    std::FILE* probe = std::fopen(file.c_str(), "rb");
    if (!probe) {
      std::fprintf(stderr, "%s: No such file or directory\n", plistPath.c_str());
      return {};
    }
    std::fclose(probe);
    std::fprintf(stderr, "%s: Invalid property list\n", plistPath.c_str());
    return {};
  }
  const platform::Value* label = plist->find("Label");
  if (!label || !label->asString() || label->asString()->empty()) {
    std::fprintf(stderr, "%s: Invalid property list\n", plistPath.c_str());
    return {};
  }
  return *label->asString();
}

int list() {
  std::string error;
  auto jobs = SimulatedMac::readLoadedJobs(&error);
  if (!jobs) return stateError(error);
  std::printf("PID\tStatus\tLabel\n");
  for (const LaunchJob& job : *jobs) std::printf("-\t0\t%s\n", job.label.c_str());
  return 0;
}

int loadOne(const std::string& plistPath) {
  std::string label = labelOf(plistPath);
  if (label.empty()) return kFailure;
  bool alreadyLoaded = false;
  std::string error;
  bool ok = SimulatedMac::updateLoadedJobs(
      [&](std::vector<LaunchJob>& jobs) {
        for (const LaunchJob& j : jobs)
          if (j.label == label) alreadyLoaded = true;
        if (alreadyLoaded) return false;
        jobs.push_back({label, plistPath});
        return true;
      },
      &error);
  if (!ok) return stateError(error);
  if (alreadyLoaded) {
    std::fprintf(stderr, "Load failed: 5: Input/output error\n");
    return kAlreadyLoaded;
  }
  return 0;
}

int unloadOne(const std::string& plistPath) {
  std::string label = labelOf(plistPath);
  if (label.empty()) return kFailure;
  bool found = false;
  std::string error;
  bool ok = SimulatedMac::updateLoadedJobs(
      [&](std::vector<LaunchJob>& jobs) {
        for (auto it = jobs.begin(); it != jobs.end(); ++it) {
          if (it->label == label) {
            jobs.erase(it);
            found = true;
            break;
          }
        }
        return found;
      },
      &error);
  if (!ok) return stateError(error);
  if (!found) {
    std::fprintf(stderr, "Unload failed: 113: Could not find specified service\n");
    return kServiceNotFound;
  }
  return 0;
}

// load / unload [-w] [-F] <plist>...; the status is that of the last failure, 0 when all succeeded.
int loadOrUnload(const std::vector<std::string>& args, bool load) {
  std::vector<std::string> paths;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-w" || args[i] == "-F") continue;  // the enable override is implied: jobs are only recorded
    if (!args[i].empty() && args[i][0] == '-') return usage();
    paths.push_back(args[i]);
  }
  if (paths.empty()) return usage();
  int status = 0;
  for (const std::string& p : paths) {
    int s = load ? loadOne(p) : unloadOne(p);
    if (s != 0) status = s;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  if (args[0] == "list" && args.size() == 1) return list();
  if (args[0] == "load") return loadOrUnload(args, true);
  if (args[0] == "unload") return loadOrUnload(args, false);
  if (args[0] != "list") std::fprintf(stderr, "Unrecognized subcommand: %s\n", args[0].c_str());
  return usage();
}
