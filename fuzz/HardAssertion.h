// In the fuzz programs a hard assertion of the document database throws instead of stopping the
// process: the decoders stop on input that breaks their contract by design, and the fuzzer looks
// for everything else (memory errors, undefined behaviour, leaks, hangs, other crashes).
#pragma once

namespace fuzz {
struct HardAssertion {};
}  // namespace fuzz
