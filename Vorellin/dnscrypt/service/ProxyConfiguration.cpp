#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

namespace vorellin::fenwix {
namespace {

constexpr const char* kCaFileEnv = "VRL_FENWIX_CA_FILE";

std::nullopt_t fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return std::nullopt;
}

}  // namespace

std::optional<ProxyConfiguration> ProxyConfiguration::load(const std::string& path, std::string* error,
                                                          TrustOverride trust) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(error, "cannot read " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return parse(ss.str(), error, trust);
}

std::optional<ProxyConfiguration> ProxyConfiguration::parse(const std::string& text, std::string* error,
                                                           TrustOverride trust) {
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& e) {
    std::ostringstream msg;
    msg << "configuration is not valid TOML: " << e.description() << " at line " << e.source().begin.line;
    return fail(error, msg.str());
  }

  ProxyConfiguration config;
  if (const toml::array* listen = root["listen_addresses"].as_array()) {
    for (const auto& item : *listen) {
      if (auto s = item.value<std::string>()) config.listenAddresses.push_back(*s);
    }
  }
  if (config.listenAddresses.empty()) return fail(error, "configuration has no listen_addresses");

  // The library converts a floating-point value to an integer before checking its range: one far
  // out of range is refused here, before that conversion would be undefined.
  if (const auto* real = root["timeout"].as_floating_point();
      real && std::isfinite(real->get()) && std::fabs(real->get()) > 1e15)
    return fail(error, "timeout must be 1 to 60000 milliseconds");
  if (auto timeout = root["timeout"].value<int64_t>()) {
    if (*timeout <= 0 || *timeout > 60000) return fail(error, "timeout must be 1 to 60000 milliseconds");
    config.timeoutMs = static_cast<int>(*timeout);
  }
  if (trust == TrustOverride::Honoured) {
    if (auto ca = root["vorellin_ca_file"].value<std::string>()) {
      config.caFile = *ca;
    } else if (const char* env = std::getenv(kCaFileEnv); env && *env) {
      config.caFile = env;
    }
  }

  std::vector<std::string> names;
  const toml::table* statics = root["static"].as_table();
  if (const toml::array* wanted = root["server_names"].as_array()) {
    for (const auto& item : *wanted)
      if (auto s = item.value<std::string>()) names.push_back(*s);
  } else if (statics) {
    for (const auto& [key, value] : *statics) names.emplace_back(key.str());
  }
  for (const auto& name : names) {
    const toml::table* entry = statics ? (*statics)[name].as_table() : nullptr;
    if (!entry) {
      config.warnings.push_back("server " + name + " has no static entry");
      continue;
    }
    auto stampText = (*entry)["stamp"].value<std::string>();
    if (!stampText) {
      config.warnings.push_back("server " + name + " has no stamp");
      continue;
    }
    std::string why;
    auto stamp = DnsStamp::parse(*stampText, &why);
    if (!stamp) {
      config.warnings.push_back("server " + name + ": " + why);
      continue;
    }
    config.servers.push_back({name, std::move(*stamp)});
  }
  if (config.servers.empty()) {
    std::string text = "configuration leaves no usable server";
    for (const auto& w : config.warnings) text += "; " + w;
    return fail(error, text);
  }
  return config;
}

}  // namespace vorellin::fenwix
