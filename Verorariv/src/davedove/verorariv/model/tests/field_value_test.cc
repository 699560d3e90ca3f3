// Equality, hashes, shared instances and plain-value conversion of field values.
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/util/comparison.h"
#include "gtest/gtest.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT

TEST(FieldValueTest, SharedInstances) {
  EXPECT_EQ(VRVBooleanValue::trueValue(), VRVBooleanValue::booleanValue(true));
  EXPECT_EQ(VRVBooleanValue::falseValue(), VRVBooleanValue::booleanValue(false));
  EXPECT_TRUE(Bool(true)->isEqual(*Bool(true)));
  EXPECT_FALSE(Bool(true)->isEqual(*Bool(false)));
  EXPECT_EQ(VRVNullValue::nullValue(), VRVNullValue::nullValue());
  EXPECT_EQ(VRVObjectValue::objectValue(), VRVObjectValue::objectValue());
  EXPECT_TRUE(VRVObjectValue::objectValue()->internalValue()->isEmpty());
  EXPECT_TRUE(std::isnan(VRVDoubleValue::nanValue()->internalValue()));
}

TEST(FieldValueTest, EqualityFollowsClassAndValue) {
  EXPECT_TRUE(Null()->isEqual(*Null()));
  EXPECT_FALSE(Null()->isEqual(*Bool(false)));
  EXPECT_TRUE(Int(7)->isEqual(*Int(7)));
  EXPECT_FALSE(Int(7)->isEqual(*Int(8)));
  EXPECT_TRUE(Dbl(2.5)->isEqual(*Dbl(2.5)));
  EXPECT_TRUE(Str("x")->isEqual(*Str("x")));
  EXPECT_FALSE(Str("x")->isEqual(*Blob("x")));
  EXPECT_TRUE(Blob(std::string("\0\1", 2))->isEqual(*Blob(std::string("\0\1", 2))));
  EXPECT_FALSE(Blob(std::string("\0\1", 2))->isEqual(*Blob(std::string("\0", 1))));
  EXPECT_TRUE(Ts(3, 4)->isEqual(*Ts(3, 4)));
  EXPECT_FALSE(Ts(3, 4)->isEqual(*Ts(3, 5)));
  EXPECT_TRUE(Geo(1, 2)->isEqual(*Geo(1, 2)));
  EXPECT_FALSE(Geo(0, 0)->isEqual(*Geo(-0.0, 0)));
  EXPECT_TRUE(Ref("p", "d", "c/a")->isEqual(*Ref("p", "d", "c/a")));
  EXPECT_FALSE(Ref("p", "d", "c/a")->isEqual(*Ref("p", "e", "c/a")));
  EXPECT_FALSE(Ref("p", "d", "c/a")->isEqual(*Ref("q", "d", "c/a")));
  EXPECT_FALSE(Ref("p", "d", "c/a")->isEqual(*Ref("p", "d", "c/b")));
  EXPECT_TRUE(Arr({Int(1), Str("a")})->isEqual(*Arr({Int(1), Str("a")})));
  EXPECT_FALSE(Arr({Int(1)})->isEqual(*Arr({Dbl(1.0)})));
  EXPECT_FALSE(Arr({Int(1)})->isEqual(*Arr({Int(1), Int(1)})));
  EXPECT_TRUE(Obj({{"a", Arr({Null()})}})->isEqual(*Obj({{"a", Arr({Null()})}})));
  EXPECT_FALSE(Obj({{"a", Int(1)}})->isEqual(*Obj({{"a", Dbl(1)}})));
  EXPECT_FALSE(Obj({{"a", Int(1)}})->isEqual(*Obj({{"b", Int(1)}})));
  EXPECT_TRUE(*Int(3) == *Int(3));
  EXPECT_TRUE(*Int(3) != *Int(4));
}

TEST(FieldValueTest, HashesAsSpecified) {
  std::hash<std::string> hash_string;
  EXPECT_EQ(47u, Null()->Hash());
  EXPECT_EQ(1231u, Bool(true)->Hash());
  EXPECT_EQ(1237u, Bool(false)->Hash());

  const int64_t big = (int64_t{5} << 32) | 3;
  EXPECT_EQ(static_cast<size_t>(big ^ 5), Int(big)->Hash());
  const int64_t negative = -2;
  EXPECT_EQ(static_cast<size_t>(negative ^ (negative >> 32)), Int(negative)->Hash());
  EXPECT_EQ(static_cast<size_t>(int64_t{-2} ^ int64_t{-1}), Int(-2)->Hash());

  EXPECT_EQ(util::DoubleBitwiseHash(1.5), Dbl(1.5)->Hash());
  const uint64_t nan_bits = 0x7ff8000000000000ull;
  EXPECT_EQ(static_cast<size_t>(nan_bits ^ (nan_bits >> 32)), Dbl(std::nan("1"))->Hash());

  EXPECT_EQ(1u, Str("")->Hash());
  EXPECT_EQ(1u, Str("anything at all")->Hash());

  EXPECT_EQ(DAVTimestamp(9, 8).Hash(), Ts(9, 8)->Hash());
  EXPECT_EQ(static_cast<size_t>(int64_t{9} ^ int64_t{8}), Ts(9, 8)->Hash());
  EXPECT_EQ(DAVTimestamp(9, 0).Hash(), ServerTs(9, Int(4))->Hash());
  EXPECT_EQ(DAVGeoPoint(1, 2).Hash(), Geo(1, 2)->Hash());

  size_t expected_reference =
      31 * (31 * hash_string("proj") + hash_string("db")) + Key("c/a").Hash();
  EXPECT_EQ(expected_reference, Ref("proj", "db", "c/a")->Hash());

  // Equal values hash alike, for the kinds whose hash is left to us too.
  EXPECT_EQ(Blob("ab")->Hash(), Blob("ab")->Hash());
  EXPECT_EQ(Arr({Int(1), Str("a")})->Hash(), Arr({Int(1), Str("a")})->Hash());
  EXPECT_NE(Arr({Int(1), Int(2)})->Hash(), Arr({Int(2), Int(1)})->Hash());
  EXPECT_EQ(Obj({{"a", Int(1)}, {"b", Int(2)}})->Hash(),
            Obj({{"b", Int(2)}, {"a", Int(1)}})->Hash());
  EXPECT_EQ(Obj()->internalValue()->Hash(), Obj()->Hash());
}

TEST(FieldValueTest, ReferenceOwnsItsDatabaseId) {
  FieldValuePtr reference;
  {
    auto database = std::make_unique<DatabaseId>("project", "(default)");
    reference = VRVReferenceValue::referenceValue(Key("rooms/eros"), *database);
  }  // the database id it came from is gone
  auto typed = std::static_pointer_cast<const VRVReferenceValue>(reference);
  EXPECT_EQ("project", typed->databaseID().project_id());
  EXPECT_EQ("(default)", typed->databaseID().database_id());
  EXPECT_TRUE(reference->isEqual(*Ref("project", "(default)", "rooms/eros")));
}

TEST(FieldValueTest, PlainValues) {
  EXPECT_TRUE(Null()->value().isNull());
  EXPECT_EQ(platform::Value(true), Bool(true)->value());
  EXPECT_EQ(std::optional<int64_t>(-5), Int(-5)->value().asInteger());
  EXPECT_EQ(std::optional<double>(0.25), Dbl(0.25)->value().asReal());
  EXPECT_EQ(platform::Value("text"), Str("text")->value());
  EXPECT_EQ(platform::Value::data("\x01\x02"), Blob("\x01\x02")->value());

  std::optional<DAVTimestamp> timestamp = UnboxedObject<DAVTimestamp>(Ts(12, 34)->value());
  ASSERT_TRUE(timestamp.has_value());
  EXPECT_EQ(DAVTimestamp(12, 34), *timestamp);
  std::optional<DAVGeoPoint> geo_point = UnboxedObject<DAVGeoPoint>(Geo(3, 4)->value());
  ASSERT_TRUE(geo_point.has_value());
  EXPECT_EQ(DAVGeoPoint(3, 4), *geo_point);
  std::optional<VRVDocumentKey> key = UnboxedObject<VRVDocumentKey>(Ref("p", "d", "c/a")->value());
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(Key("c/a"), key->key());
  EXPECT_FALSE(UnboxedObject<DAVGeoPoint>(Ts(1)->value()).has_value());

  platform::Value array = Arr({Int(1), Str("a")})->value();
  ASSERT_TRUE(array.isArray());
  EXPECT_EQ(2u, array.asArray()->size());
  EXPECT_EQ(platform::Value("a"), (*array.asArray())[1]);

  platform::Value object = Obj({{"n", Obj({{"x", Bool(false)}})}})->value();
  ASSERT_NE(nullptr, object.find("n"));
  ASSERT_NE(nullptr, object.find("n")->find("x"));
  EXPECT_EQ(platform::Value(false), *object.find("n")->find("x"));

  EXPECT_TRUE(ServerTs(5, Int(1))->value().isNull());
}

TEST(FieldValueTest, ValuesUnderServerTimestampOptions) {
  const VRVFieldValueOptions none(ServerTimestampBehavior::None, true);
  const VRVFieldValueOptions estimate(ServerTimestampBehavior::Estimate, true);
  const VRVFieldValueOptions estimate_as_date(ServerTimestampBehavior::Estimate, false);
  const VRVFieldValueOptions previous(ServerTimestampBehavior::Previous, true);

  FieldValuePtr pending = ServerTs(100, Str("before"));
  EXPECT_TRUE(pending->valueWithOptions(none).isNull());
  std::optional<DAVTimestamp> estimated = UnboxedObject<DAVTimestamp>(pending->valueWithOptions(estimate));
  ASSERT_TRUE(estimated.has_value());
  EXPECT_EQ(DAVTimestamp(100, 0), *estimated);
  EXPECT_EQ(std::optional<platform::Date>(platform::Date{100.0}),
            pending->valueWithOptions(estimate_as_date).asDate());
  EXPECT_EQ(platform::Value("before"), pending->valueWithOptions(previous));
  EXPECT_TRUE(ServerTs(100)->valueWithOptions(previous).isNull());

  // A previous value that is itself a pending timestamp reads under the same options.
  FieldValuePtr twice = ServerTs(200, ServerTs(100, Int(7)));
  EXPECT_EQ(std::optional<int64_t>(7), twice->valueWithOptions(previous).asInteger());

  // Timestamps read as dates unless timestamps in snapshots are enabled.
  EXPECT_EQ(std::optional<platform::Date>(platform::Date{12.5}),
            Ts(12, 500000000)->valueWithOptions(estimate_as_date).asDate());
  EXPECT_TRUE(UnboxedObject<DAVTimestamp>(Ts(12)->valueWithOptions(estimate)).has_value());

  // Containers pass the options down.
  platform::Value nested =
      Obj({{"list", Arr({pending})}, {"when", Ts(1)}})->valueWithOptions(previous);
  ASSERT_NE(nullptr, nested.find("list"));
  EXPECT_EQ(platform::Value("before"), (*nested.find("list")->asArray())[0]);
  EXPECT_TRUE(UnboxedObject<DAVTimestamp>(*nested.find("when")).has_value());

  VRVFieldValueOptions settable(ServerTimestampBehavior::Previous, false);
  settable.setTimestampsInSnapshotsEnabled(true);
  EXPECT_TRUE(settable.timestampsInSnapshotsEnabled());
  EXPECT_EQ(ServerTimestampBehavior::Previous, settable.serverTimestampBehavior());
}

TEST(FieldValueTest, Descriptions) {
  EXPECT_EQ("<ServerTimestamp localTime=" + DAVTimestamp(3, 0).ToString() + ">",
            ServerTs(3)->ToString());
  EXPECT_EQ(platform::Value("abc").description(), Str("abc")->ToString());
  EXPECT_EQ(platform::Value(int64_t{42}).description(), Int(42)->ToString());
}

// A kind that overrides nothing.
class BareValue : public VRVFieldValue {};

TEST(FieldValueTest, AbstractOperationsRaise) {
  BareValue bare;
  try {
    bare.typeOrder();
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ("NSInternalInconsistencyException", e.name());
    EXPECT_EQ("You must override -[VRVFieldValue typeOrder] in a subclass", e.reason());
  }
  EXPECT_THROW(bare.value(), platform::Exception);
  EXPECT_THROW(bare.Hash(), platform::Exception);
  EXPECT_THROW(bare.isEqual(*Null()), platform::Exception);
  EXPECT_THROW(bare.compare(*Null()), platform::Exception);
}

class FieldValueDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FieldValueDeathTest, UnknownServerTimestampBehaviour) {
  const VRVFieldValueOptions bad(static_cast<ServerTimestampBehavior>(3), true);
  EXPECT_DEATH(ServerTs(1)->valueWithOptions(bad), "Unexpected server timestamp option: 3");
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
