#ifndef DAVEDOVE_VERORARIV_NANOPB_WRITER_H_
#define DAVEDOVE_VERORARIV_NANOPB_WRITER_H_

#include <pb.h>
#include <pb_encode.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace davedove {
namespace verorariv {
namespace nanopb {

// Encodes nanopb messages, appending their bytes to a buffer the caller owns. Failing to encode is
// a programming error and stops the process.
class Writer {
 public:
  // The most bytes one writer ever writes: 1 MiB less 4.
  static constexpr size_t kMaxMessageSize = 1048572;

  static Writer Wrap(std::vector<uint8_t>* out_bytes);
  static Writer Wrap(std::string* out_string);

  // Encodes one message of the described type after what this writer has written so far.
  void WriteNanopbMessage(const pb_msgdesc_t* fields, const void* src_struct);

 private:
  explicit Writer(pb_ostream_t stream) : stream_(stream) {}

  pb_ostream_t stream_;
};

}  // namespace nanopb
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_NANOPB_WRITER_H_
