#ifndef DAVEDOVE_VERORARIV_NANOPB_READER_H_
#define DAVEDOVE_VERORARIV_NANOPB_READER_H_

#include <pb.h>
#include <pb_decode.h>

#include <cstddef>
#include <cstdint>

#include "absl/strings/string_view.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace nanopb {

// Decodes nanopb messages from a byte range it does not own (the caller keeps the bytes alive
// while reading). The first decoding failure is kept as a DataLoss status; once the status holds
// an error, further reads do nothing.
class Reader {
 public:
  static Reader Wrap(const uint8_t* bytes, size_t length);
  static Reader Wrap(absl::string_view bytes);

  // Decodes one message of the described type into `dest_struct`.
  void ReadNanopbMessage(const pb_msgdesc_t* fields, void* dest_struct);

  // Releases what decoding allocated inside `dest_struct`.
  void FreeNanopbMessage(const pb_msgdesc_t* fields, void* dest_struct);

  const util::Status& status() const { return status_; }

 private:
  explicit Reader(pb_istream_t stream) : stream_(stream) {}

  util::Status status_;
  pb_istream_t stream_;
};

}  // namespace nanopb
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_NANOPB_READER_H_
