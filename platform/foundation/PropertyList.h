#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

enum class PlistFormat { Xml, Binary };

// Parses XML or binary property-list bytes; nullopt plus an error text when malformed.
std::optional<Value> parsePropertyList(const std::string& bytes, std::string* error = nullptr);
// Missing or malformed file: nullopt plus an error text.
std::optional<Value> readPropertyListFile(const std::string& path, std::string* error = nullptr);
// Null and Object values are skipped (inside containers) or give an empty dictionary at the top.
std::string serializePropertyList(const Value& v, PlistFormat f = PlistFormat::Xml);
// Atomic: temp file in the same directory, fsync, rename.
bool writePropertyListFile(const std::string& path, const Value& v, std::string* error = nullptr,
                           PlistFormat f = PlistFormat::Xml);
bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string* error = nullptr,
                         int mode = 0644);

}  // namespace platform
