#pragma once

#include <optional>
#include <string>

namespace platform {

// Standard alphabet ("+/") with "=" padding.
std::string base64Encode(const std::string& bytes);
// Strict unless ignoreUnknownCharacters: then characters outside the alphabet (and "=" inside the
// text) are skipped first. The remaining text must be a whole number of 4-character groups, with
// at most two "=" at its end. nullopt when it is not valid base64.
std::optional<std::string> base64Decode(const std::string& text, bool ignoreUnknownCharacters = false);

// URL-safe alphabet ("-_"); no padding unless asked for.
std::string base64URLEncode(const std::string& bytes, bool padding = false);
// Accepts the text with or without "=" padding; nullopt for any other character or a bad length.
std::optional<std::string> base64URLDecode(const std::string& text);

}  // namespace platform
