#include "sdk-core/DAVBundleUtil.h"

#include "platform/utilities/AppEnvironmentUtil.h"

std::vector<std::shared_ptr<platform::Bundle>> DAVBundleUtil::relevantBundles() {
  std::vector<std::shared_ptr<platform::Bundle>> bundles;
  if (auto main = platform::Bundle::main()) bundles.push_back(main);
  return bundles;
}

std::optional<std::string> DAVBundleUtil::optionsDictionaryPathWithResourceName(
    const std::string& resourceName, const std::string& fileType,
    const std::vector<std::shared_ptr<platform::Bundle>>& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    if (auto path = bundle->pathForResource(resourceName, fileType)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> DAVBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const auto& bundle : relevantBundles()) {
    const platform::Value* types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types || !types->asArray()) continue;
    for (const auto& type : *types->asArray()) {
      const platform::Value* list = type.find("CFBundleURLSchemes");
      if (!list || !list->asArray()) continue;
      for (const auto& scheme : *list->asArray()) {
        if (const std::string* text = scheme.asString()) schemes.push_back(*text);
      }
    }
  }
  return schemes;
}

bool DAVBundleUtil::hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                              const std::vector<std::shared_ptr<platform::Bundle>>& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    std::string candidate = platform::VULAppEnvironmentUtil::isAppExtension()
                                ? bundleIdentifierByRemovingLastPartFrom(bundleIdentifier)
                                : bundleIdentifier;
    if (candidate == bundle->bundleIdentifier()) return true;
  }
  return false;
}

std::string DAVBundleUtil::bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier) {
  auto dot = bundleIdentifier.rfind('.');
  if (dot == std::string::npos) return std::string();
  return bundleIdentifier.substr(0, dot);
}
