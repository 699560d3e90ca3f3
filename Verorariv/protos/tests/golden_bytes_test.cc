// Frozen encodings. Stored rows embed documents and writes whole, so these bytes must never change;
// a failure here means a field number or type changed.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <string>

#include "variru/verorariv/v1/document.pb.h"
#include "variru/verorariv/v1/write.pb.h"

namespace {

using google::protobuf::util::MessageDifferencer;
using variru::verorariv::v1::Document;
using variru::verorariv::v1::DocumentTransform;
using variru::verorariv::v1::Value;
using variru::verorariv::v1::Write;

const char kName[] = "projects/p/databases/d/documents/c/x";

// Map entries in key order, so the bytes do not depend on hash order.
std::string Deterministic(const google::protobuf::MessageLite& message) {
  std::string out;
  {
    google::protobuf::io::StringOutputStream raw(&out);
    google::protobuf::io::CodedOutputStream coded(&raw);
    coded.SetSerializationDeterministic(true);
    EXPECT_TRUE(message.SerializeToCodedStream(&coded));
  }
  return out;
}

std::string Bytes(std::initializer_list<int> prefix, const std::string& middle, std::initializer_list<int> suffix) {
  std::string out;
  for (int b : prefix) out.push_back(static_cast<char>(b));
  out += middle;
  for (int b : suffix) out.push_back(static_cast<char>(b));
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

TEST(GoldenBytesTest, Document) {
  Document doc;
  doc.set_name(kName);
  (*doc.mutable_fields())["b"].set_string_value("hi");
  (*doc.mutable_fields())["a"].set_integer_value(42);
  doc.mutable_update_time()->set_seconds(5);
  doc.mutable_update_time()->set_nanos(6);

  const std::string golden = Bytes({0x0a, 0x24}, kName,
                                   {
                                       0x12, 0x07, 0x0a, 0x01, 'a', 0x12, 0x02, 0x18, 0x2a,            // a: 42
                                       0x12, 0x09, 0x0a, 0x01, 'b', 0x12, 0x04, 0x32, 0x02, 'h', 'i',  // b: "hi"
                                       0x22, 0x04, 0x08, 0x05, 0x10, 0x06,                             // update_time
                                   });
  EXPECT_EQ(Hex(Deterministic(doc)), Hex(golden));

  Document parsed;
  ASSERT_TRUE(parsed.ParseFromString(golden));
  EXPECT_TRUE(MessageDifferencer::Equals(parsed, doc));
  EXPECT_EQ(parsed.fields().at("a").value_type_case(), Value::kIntegerValue);
  EXPECT_EQ(parsed.fields().at("b").string_value(), "hi");
}

TEST(GoldenBytesTest, UpdateWrite) {
  Write write;
  write.mutable_update()->set_name(kName);
  (*write.mutable_update()->mutable_fields())["a"].set_boolean_value(true);
  write.mutable_update_mask()->add_field_paths("a");
  write.mutable_current_document()->set_exists(true);

  const std::string golden = Bytes({0x0a, 0x2f, 0x0a, 0x24}, kName,
                                   {
                                       0x12, 0x07, 0x0a, 0x01, 'a', 0x12, 0x02, 0x10, 0x01,  // a: true
                                       0x22, 0x03, 0x0a, 0x01, 'a',                          // update_mask
                                       0x2a, 0x02, 0x08, 0x01,                               // exists: true
                                   });
  EXPECT_EQ(Hex(Deterministic(write)), Hex(golden));

  Write parsed;
  ASSERT_TRUE(parsed.ParseFromString(golden));
  EXPECT_TRUE(MessageDifferencer::Equals(parsed, write));
  EXPECT_EQ(parsed.operation_case(), Write::kUpdate);
}

TEST(GoldenBytesTest, TransformWrite) {
  Write write;
  DocumentTransform* transform = write.mutable_transform();
  transform->set_document(kName);
  auto* stamp = transform->add_field_transforms();
  stamp->set_field_path("t");
  stamp->set_set_to_server_value(DocumentTransform::FieldTransform::REQUEST_TIME);
  auto* increment = transform->add_field_transforms();
  increment->set_field_path("n");
  increment->mutable_increment()->set_integer_value(1);
  write.mutable_current_document()->set_exists(true);

  const std::string golden = Bytes({0x1a, 0x36, 0x0a, 0x24}, kName,
                                   {
                                       0x12, 0x05, 0x0a, 0x01, 't', 0x10, 0x01,              // t: request time
                                       0x12, 0x07, 0x0a, 0x01, 'n', 0x1a, 0x02, 0x18, 0x01,  // n: +1
                                       0x2a, 0x02, 0x08, 0x01,                               // exists: true
                                   });
  EXPECT_EQ(Hex(Deterministic(write)), Hex(golden));

  Write parsed;
  ASSERT_TRUE(parsed.ParseFromString(golden));
  EXPECT_TRUE(MessageDifferencer::Equals(parsed, write));
}

TEST(GoldenBytesTest, DeleteWrite) {
  Write write;
  write.set_delete_(kName);
  write.mutable_current_document()->mutable_update_time()->set_seconds(1);

  const std::string golden = Bytes({0x12, 0x24}, kName, {0x2a, 0x04, 0x12, 0x02, 0x08, 0x01});
  EXPECT_EQ(Hex(Deterministic(write)), Hex(golden));
}

}  // namespace
