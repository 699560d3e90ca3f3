#include "davedove/verorariv/nanopb/writer.h"

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace nanopb {

namespace {

template <typename Buffer>
bool AppendToBuffer(pb_ostream_t* stream, const pb_byte_t* buf, size_t count) {
  auto* out = static_cast<Buffer*>(stream->state);
  out->insert(out->end(), buf, buf + count);
  return true;
}

template <typename Buffer>
pb_ostream_t StreamInto(Buffer* out) {
  pb_ostream_t stream{};
  stream.callback = AppendToBuffer<Buffer>;
  stream.state = out;
  stream.max_size = Writer::kMaxMessageSize;
  stream.bytes_written = 0;
  stream.errmsg = nullptr;
  return stream;
}

}  // namespace

Writer Writer::Wrap(std::vector<uint8_t>* out_bytes) {
  return Writer(StreamInto(out_bytes));
}

Writer Writer::Wrap(std::string* out_string) {
  return Writer(StreamInto(out_string));
}

void Writer::WriteNanopbMessage(const pb_msgdesc_t* fields, const void* src_struct) {
  if (!pb_encode(&stream_, fields, src_struct)) {
    HARD_FAIL("%s", PB_GET_ERROR(&stream_));
  }
}

}  // namespace nanopb
}  // namespace verorariv
}  // namespace davedove
