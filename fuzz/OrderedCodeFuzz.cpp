// Ordered-code reads over arbitrary bytes: every reader, in an order the input chooses. A number not in
// its shortest form is an assertion failure by design (the key decoders use the Try readers).
#include <cstddef>
#include <cstdint>
#include <string>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/util/ordered_code.h"
#include "fuzz/HardAssertion.h"

using davedove::verorariv::util::OrderedCode;

namespace {

void readAll(const uint8_t* data, size_t size) {
  const uint8_t plan = data[0];
  absl::string_view src(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (int step = 0; !src.empty() && step < 64; ++step) {
    const size_t before = src.size();
    std::string text;
    uint64_t unsignedNumber = 0;
    int64_t signedNumber = 0;
    bool infinity = false;
    bool ok = false;
    switch ((plan + step) % 8) {
      case 0: ok = OrderedCode::ReadString(&src, &text); break;
      case 1: ok = OrderedCode::ReadNumIncreasing(&src, &unsignedNumber); break;
      case 2: ok = OrderedCode::ReadSignedNumIncreasing(&src, &signedNumber); break;
      case 3: ok = OrderedCode::TryReadNumIncreasing(&src, &unsignedNumber); break;
      case 4: ok = OrderedCode::TryReadSignedNumIncreasing(&src, &signedNumber); break;
      case 5: ok = OrderedCode::ReadInfinity(&src); break;
      case 6: ok = OrderedCode::ReadStringOrInfinity(&src, &text, &infinity); break;
      case 7: ok = OrderedCode::ReadTrailingString(&src, &text); break;
    }
    if (!ok || src.size() >= before) break;  // a failed read, or one that consumed nothing
    // What was read writes back to the same value.
    std::string again;
    if ((plan + step) % 8 == 2) {
      OrderedCode::WriteSignedNumIncreasing(&again, signedNumber);
      absl::string_view view(again);
      int64_t back = 0;
      if (!OrderedCode::ReadSignedNumIncreasing(&view, &back) || back != signedNumber) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  try {
    readAll(data, size);
  } catch (const fuzz::HardAssertion&) {
  }
  return 0;
}
