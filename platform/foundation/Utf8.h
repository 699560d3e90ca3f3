// UTF-8 checks for text from outside or from storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace platform {

// The length (1 to 4) of the well-formed UTF-8 sequence that starts at bytes[at], and its code point;
// 0 when none starts there: a stray continuation byte, a cut-off sequence, an overlong form (which
// could smuggle ASCII bytes in), a surrogate or a code point past U+10FFFF.
size_t utf8SequenceAt(std::string_view bytes, size_t at, uint32_t* codePoint = nullptr);

// Decodes UTF-8 into code points; a byte that does not start a valid sequence becomes U+FFFD.
// Returns whether every byte was valid. `out` may be null when only the answer is wanted.
bool decodeUtf8(std::string_view bytes, std::vector<uint32_t>* out);

inline bool isValidUtf8(std::string_view bytes) { return decodeUtf8(bytes, nullptr); }

}  // namespace platform
