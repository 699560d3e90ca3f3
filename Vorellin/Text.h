// Small text helpers shared by the application's command and proxy code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorellin {
namespace text {

// Without leading and trailing white space.
std::string trim(const std::string& text);

// ASCII letters lowered.
std::string lowercase(std::string text);

// Decodes UTF-8 into code points; a byte that does not start a valid sequence (including overlong
// forms and surrogates, which could smuggle ASCII bytes in) becomes U+FFFD. Returns whether every
// byte was valid. `out` may be null when only the answer is wanted.
bool decodeUtf8(const std::string& bytes, std::vector<uint32_t>* out);

inline bool isValidUtf8(const std::string& bytes) { return decodeUtf8(bytes, nullptr); }

}  // namespace text
}  // namespace vorellin
