// Small text helpers shared by the application's command and proxy code.
#pragma once

#include <string>

namespace vorellin {
namespace text {

// Without leading and trailing white space.
std::string trim(const std::string& text);

// ASCII letters lowered.
std::string lowercase(std::string text);

}  // namespace text
}  // namespace vorellin
