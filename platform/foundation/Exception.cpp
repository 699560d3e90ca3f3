#include "platform/foundation/Exception.h"

#include <cstring>

namespace platform {

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)), what_(name_ + ": " + reason_) {}

void raise(const std::string& name, const std::string& reason) { throw Exception(name, reason); }

void raiseFormat(const std::string& name, const std::string& format, std::initializer_list<std::string> args) {
  throw Exception(name, formatObjC(format, args));
}

std::string formatObjC(const std::string& format, std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(format.size());
  auto arg = args.begin();
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      ++i;
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // Conversion: optional length modifiers (l, ll, z, h, q) then one of @ s d i u x X f c.
    size_t j = i + 1;
    while (j < format.size() && std::strchr("lzhq", format[j])) ++j;
    if (j < format.size() && std::strchr("@sdiuxXfc", format[j]) && j - i <= 3) {
      if (arg != args.end()) {
        out += *arg++;
      } else {
        out.append(format, i, j - i + 1);  // nothing left to put there: keep it as written
      }
      i = j + 1;
      continue;
    }
    out += c;  // not a conversion we know: literal '%'
    ++i;
  }
  return out;
}

}  // namespace platform
