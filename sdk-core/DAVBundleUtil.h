// Where the SDK looks for its configuration and which bundle identifiers it accepts.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"

class DAVBundleUtil {
 public:
  // The main bundle, then the bundle holding the SDK's code. The SDK is linked into the program, so
  // that is the main bundle too, and it is listed once.
  static std::vector<std::shared_ptr<platform::Bundle>> relevantBundles();

  // Path of the resource in the first bundle, in list order, that has it.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(
      const std::string& resourceName, const std::string& fileType,
      const std::vector<std::shared_ptr<platform::Bundle>>& bundles);

  // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" item of the relevant bundles, in order.
  static std::vector<std::string> relevantURLSchemes();

  // True when the identifier (without its last part inside an application extension) is the identifier
  // of one of the bundles.
  static bool hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                        const std::vector<std::shared_ptr<platform::Bundle>>& bundles);

  // "a.b.c" -> "a.b".
  static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
};
