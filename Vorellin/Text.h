// Small text helpers shared by the application's command and proxy code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Utf8.h"

namespace vorellin {
namespace text {

// Without leading and trailing white space.
std::string trim(const std::string& text);

// ASCII letters lowered.
std::string lowercase(std::string text);

using platform::decodeUtf8;
using platform::isValidUtf8;

}  // namespace text
}  // namespace vorellin
