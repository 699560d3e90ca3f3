#include "davedove/verorariv/nanopb/reader.h"

namespace davedove {
namespace verorariv {
namespace nanopb {

using util::Status;

Reader Reader::Wrap(const uint8_t* bytes, size_t length) {
  return Reader(pb_istream_from_buffer(bytes, length));
}

Reader Reader::Wrap(absl::string_view bytes) {
  return Wrap(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void Reader::ReadNanopbMessage(const pb_msgdesc_t* fields, void* dest_struct) {
  if (!status_.ok()) return;
  if (!pb_decode(&stream_, fields, dest_struct)) {
    // A damaged record, not a programming error: the caller decides what to do with it.
    status_.Update(Status(VerorarivErrorCode::DataLoss, PB_GET_ERROR(&stream_)));
  }
}

void Reader::FreeNanopbMessage(const pb_msgdesc_t* fields, void* dest_struct) {
  pb_release(fields, dest_struct);
}

}  // namespace nanopb
}  // namespace verorariv
}  // namespace davedove
