#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "davedove/verorariv/nanopb/reader.h"
#include "davedove/verorariv/nanopb/writer.h"
#include "test_record.pb.h"

namespace davedove {
namespace verorariv {
namespace nanopb {
namespace {

using util::Status;

// A record whose allocated members the test owns (freed with the library's release).
class OwnedRecord {
 public:
  OwnedRecord() = default;
  OwnedRecord(int32_t id, const std::string& token, const std::vector<std::string>& tags) {
    record_.id = id;
    record_.sequence = -(int64_t{1} << 40);
    record_.has_version = true;
    record_.version.seconds = 1700000000;
    record_.version.nanos = 999999999;
    record_.token = static_cast<pb_bytes_array_t*>(malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(token.size())));
    record_.token->size = static_cast<pb_size_t>(token.size());
    memcpy(record_.token->bytes, token.data(), token.size());
    record_.tags_count = static_cast<pb_size_t>(tags.size());
    record_.tags = static_cast<char**>(malloc(sizeof(char*) * (tags.empty() ? 1 : tags.size())));
    for (size_t i = 0; i < tags.size(); ++i) {
      record_.tags[i] = static_cast<char*>(malloc(tags[i].size() + 1));
      memcpy(record_.tags[i], tags[i].c_str(), tags[i].size() + 1);
    }
  }
  ~OwnedRecord() { pb_release(vrvtest_Record_fields, &record_); }
  OwnedRecord(const OwnedRecord&) = delete;
  OwnedRecord& operator=(const OwnedRecord&) = delete;

  vrvtest_Record* get() { return &record_; }

 private:
  vrvtest_Record record_ = vrvtest_Record_init_zero;
};

std::string TokenOf(const vrvtest_Record& r) {
  return r.token ? std::string(reinterpret_cast<const char*>(r.token->bytes), r.token->size) : std::string();
}

std::string Encode(vrvtest_Record* record) {
  std::string out;
  Writer writer = Writer::Wrap(&out);
  writer.WriteNanopbMessage(vrvtest_Record_fields, record);
  return out;
}

TEST(ReaderWriterTest, RoundTripThroughBothBuffers) {
  OwnedRecord original(42, std::string("\x00\xff tok", 6), {"alpha", "", "gamma"});

  std::vector<uint8_t> as_vector;
  Writer::Wrap(&as_vector).WriteNanopbMessage(vrvtest_Record_fields, original.get());
  const std::string as_string = Encode(original.get());
  ASSERT_FALSE(as_string.empty());
  EXPECT_EQ(std::string(as_vector.begin(), as_vector.end()), as_string);

  vrvtest_Record decoded = vrvtest_Record_init_zero;
  Reader reader = Reader::Wrap(as_vector.data(), as_vector.size());
  reader.ReadNanopbMessage(vrvtest_Record_fields, &decoded);
  ASSERT_TRUE(reader.status().ok()) << reader.status().ToString();
  EXPECT_EQ(decoded.id, 42);
  EXPECT_EQ(decoded.sequence, -(int64_t{1} << 40));
  ASSERT_TRUE(decoded.has_version);
  EXPECT_EQ(decoded.version.seconds, 1700000000);
  EXPECT_EQ(decoded.version.nanos, 999999999);
  EXPECT_EQ(TokenOf(decoded), std::string("\x00\xff tok", 6));
  ASSERT_EQ(decoded.tags_count, 3u);
  EXPECT_STREQ(decoded.tags[0], "alpha");
  EXPECT_STREQ(decoded.tags[1], "");
  EXPECT_STREQ(decoded.tags[2], "gamma");

  // Releasing frees the allocations (the leak checker sees any left) and clears the pointers.
  reader.FreeNanopbMessage(vrvtest_Record_fields, &decoded);
  EXPECT_EQ(decoded.token, nullptr);
  EXPECT_EQ(decoded.tags, nullptr);
  EXPECT_EQ(decoded.tags_count, 0u);

  // The string_view form reads the same bytes.
  vrvtest_Record again = vrvtest_Record_init_zero;
  Reader from_view = Reader::Wrap(absl::string_view(as_string));
  from_view.ReadNanopbMessage(vrvtest_Record_fields, &again);
  ASSERT_TRUE(from_view.status().ok());
  EXPECT_EQ(again.id, 42);
  from_view.FreeNanopbMessage(vrvtest_Record_fields, &again);
}

TEST(ReaderWriterTest, EmptyBytesReadAsDefaults) {
  vrvtest_Record decoded = vrvtest_Record_init_zero;
  decoded.id = 5;
  Reader reader = Reader::Wrap(nullptr, 0);
  reader.ReadNanopbMessage(vrvtest_Record_fields, &decoded);
  EXPECT_TRUE(reader.status().ok());
  EXPECT_EQ(decoded.id, 0);  // decoding starts from the defaults
  EXPECT_FALSE(decoded.has_version);
}

TEST(ReaderWriterTest, SecondMessageIsAppended) {
  OwnedRecord first(1, "a", {"x"});
  OwnedRecord second(2, "bb", {});
  const std::string first_alone = Encode(first.get());
  const std::string second_alone = Encode(second.get());

  std::string both = "prefix";  // what the buffer held before stays in front
  Writer writer = Writer::Wrap(&both);
  writer.WriteNanopbMessage(vrvtest_Record_fields, first.get());
  writer.WriteNanopbMessage(vrvtest_Record_fields, second.get());
  EXPECT_EQ(both, "prefix" + first_alone + second_alone);

  // The second message read alone from its slice decodes to the second record.
  vrvtest_Record decoded = vrvtest_Record_init_zero;
  Reader reader = Reader::Wrap(absl::string_view(both).substr(6 + first_alone.size()));
  reader.ReadNanopbMessage(vrvtest_Record_fields, &decoded);
  ASSERT_TRUE(reader.status().ok());
  EXPECT_EQ(decoded.id, 2);
  EXPECT_EQ(TokenOf(decoded), "bb");
  EXPECT_EQ(decoded.tags_count, 0u);
  reader.FreeNanopbMessage(vrvtest_Record_fields, &decoded);
}

TEST(ReaderWriterTest, TruncatedBytesAreDataLossAndTheFirstErrorWins) {
  OwnedRecord original(7, "a fairly long token", {"tag"});
  const std::string bytes = Encode(original.get());

  int failed_cuts = 0;
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string truncated = bytes.substr(0, cut);

    // What the library itself reports for these bytes.
    vrvtest_Record probe = vrvtest_Record_init_zero;
    pb_istream_t raw = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(truncated.data()), cut);
    if (pb_decode(&raw, vrvtest_Record_fields, &probe)) {
      // A cut at a field boundary is a shorter valid message.
      pb_release(vrvtest_Record_fields, &probe);
      continue;
    }
    const std::string library_error = PB_GET_ERROR(&raw);
    ++failed_cuts;

    vrvtest_Record decoded = vrvtest_Record_init_zero;
    Reader reader = Reader::Wrap(truncated);
    reader.ReadNanopbMessage(vrvtest_Record_fields, &decoded);
    ASSERT_FALSE(reader.status().ok());
    EXPECT_EQ(reader.status().code(), VerorarivErrorCode::DataLoss);
    EXPECT_EQ(reader.status().error_message(), library_error);
    EXPECT_FALSE(library_error.empty());

    // A later read is skipped: the target stays untouched and the first error stays.
    vrvtest_Record untouched = vrvtest_Record_init_zero;
    untouched.id = 99;
    reader.ReadNanopbMessage(vrvtest_Record_fields, &untouched);
    EXPECT_EQ(untouched.id, 99);
    EXPECT_EQ(reader.status(), Status(VerorarivErrorCode::DataLoss, library_error));
    reader.FreeNanopbMessage(vrvtest_Record_fields, &decoded);
  }
  EXPECT_GT(failed_cuts, 0);
}

// A Blob message of `size` bytes of data, written through an encode callback.
struct BlobSource {
  explicit BlobSource(size_t size) : data(size, 'x') {
    message.data.funcs.encode = [](pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
      const auto* bytes = static_cast<const std::string*>(*arg);
      return pb_encode_tag_for_field(stream, field) &&
             pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(bytes->data()), bytes->size());
    };
    message.data.arg = &data;
  }
  std::string data;
  vrvtest_Blob message = vrvtest_Blob_init_zero;
};

TEST(ReaderWriterTest, WritesUpToTheSizeLimit) {
  // Field tag (1 byte) + length (3 bytes) + payload = exactly the limit.
  BlobSource at_limit(Writer::kMaxMessageSize - 4);
  std::string out;
  Writer::Wrap(&out).WriteNanopbMessage(vrvtest_Blob_fields, &at_limit.message);
  EXPECT_EQ(out.size(), Writer::kMaxMessageSize);
  EXPECT_EQ(out.substr(4), at_limit.data);
}

class ReaderWriterDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ReaderWriterDeathTest, EncodingPastTheLimitStopsTheProcess) {
  BlobSource too_big(Writer::kMaxMessageSize - 3);
  std::string out;
  Writer writer = Writer::Wrap(&out);
  EXPECT_DEATH(writer.WriteNanopbMessage(vrvtest_Blob_fields, &too_big.message),
               "VERORARIV INTERNAL ASSERTION FAILED: stream full");

  // The limit counts everything one writer wrote, not each message alone.
  BlobSource half(Writer::kMaxMessageSize / 2);
  std::string both;
  Writer twice = Writer::Wrap(&both);
  twice.WriteNanopbMessage(vrvtest_Blob_fields, &half.message);
  EXPECT_DEATH(twice.WriteNanopbMessage(vrvtest_Blob_fields, &half.message),
               "VERORARIV INTERNAL ASSERTION FAILED: stream full");
}

}  // namespace
}  // namespace nanopb
}  // namespace verorariv
}  // namespace davedove
