#include "davedove/verorariv/api/DAVFieldValueConverter.h"

#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVValue.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/core/tests/core_testutil.h"
#include "davedove/verorariv/util/log.h"
#include "gtest/gtest.h"
#include "platform/utilities/Logger.h"

namespace davedove {
namespace verorariv {
namespace {

using model::DatabaseId;
using model::FieldValuePtr;
using model::ServerTimestampBehavior;
using model::VRVServerTimestampValue;
using testutil::Arr;
using testutil::Bool;
using testutil::Bytes;
using testutil::Dbl;
using testutil::Geo;
using testutil::Int;
using testutil::Key;
using testutil::Null;
using testutil::Obj;
using testutil::Ref;
using testutil::Str;
using testutil::Ts;

FieldValuePtr Pending(int64_t seconds, FieldValuePtr previous = nullptr) {
  return VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(DAVTimestamp(seconds, 0),
                                                                         std::move(previous));
}

// An instance that is never started: references are made within it.
const std::shared_ptr<DAVVerorariv>& Database() {
  static const auto* database = new std::shared_ptr<DAVVerorariv>(
      std::make_shared<DAVVerorariv>(DatabaseId("p", "(default)"), "[DEFAULT]", nullptr, nullptr));
  return *database;
}

DAVValue Bob() { return Database()->documentWithPath("users/bob"); }

DAVFieldValueConverter Converter(bool timestampsInSnapshots) {
  return DAVFieldValueConverter(Database(), timestampsInSnapshots, Key("rooms/eros"));
}

TEST(DAVValueTest, BuildsByHand) {
  DAVValue::Map data = {
      {"name", "Ada"},
      {"age", 36},
      {"ratio", 0.5},
      {"admin", true},
      {"none", nullptr},
      {"tags", DAVValue::Array{"a", "b"}},
      {"when", DAVTimestamp(10, 20)},
      {"where", DAVGeoPoint(1, 2)},
      {"raw", DAVValue::bytes("\x01")},
      {"friend", Bob()},
      {"nested", DAVValue::Map{{"x", 1}}},
  };
  DAVValue value = data;
  EXPECT_EQ(value.kind(), DAVValue::Kind::Map);
  EXPECT_EQ(*value.find("name")->asString(), "Ada");
  EXPECT_EQ(*value.find("age")->asInteger(), 36);
  EXPECT_EQ(value.find("age")->asDouble(), nullptr);
  EXPECT_EQ(*value.find("ratio")->asDouble(), 0.5);
  EXPECT_TRUE(*value.find("admin")->asBoolean());
  EXPECT_TRUE(value.find("none")->isNull());
  EXPECT_EQ(value.find("tags")->asArray()->size(), 2u);
  EXPECT_EQ(value.find("when")->asTimestamp()->nanoseconds(), 20);
  EXPECT_EQ(value.find("where")->asGeoPoint()->longitude(), 2);
  EXPECT_EQ(*value.find("raw")->asBytes(), "\x01");
  EXPECT_EQ(value.find("raw")->asString(), nullptr);
  EXPECT_EQ(value.find("friend")->asReference()->path(), "users/bob");
  EXPECT_EQ(*value.find("nested")->find("x")->asInteger(), 1);
  EXPECT_EQ(value.find("missing"), nullptr);

  EXPECT_EQ(value, DAVValue(data));
  DAVValue::Map changed = data;
  changed["age"] = 37;
  EXPECT_NE(value, DAVValue(changed));
  EXPECT_NE(DAVValue(1), DAVValue(1.0));
  EXPECT_NE(DAVValue("x"), DAVValue::bytes("x"));
  EXPECT_EQ(DAVValue(std::nan("")), DAVValue(std::nan("")));
  EXPECT_NE(DAVValue(0.0), DAVValue(-0.0));
  EXPECT_EQ(DAVValue(static_cast<const char*>(nullptr)), DAVValue());
  EXPECT_EQ(DAVValue::Array({1, "a"}), DAVValue::Array({1, "a"}));
  EXPECT_EQ(DAVValue(DAVValue::Array{1, "a", nullptr}).ToString(), "[1, \"a\", null]");
}

TEST(DAVFieldValueConverterTest, ConvertsEveryKind) {
  DAVFieldValueConverter converter = Converter(true);
  auto options = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None);
  model::ObjectValuePtr data = Obj({
      {"null", Null()},
      {"bool", Bool(true)},
      {"int", Int(-3)},
      {"double", Dbl(2.5)},
      {"string", Str("s")},
      {"bytes", Bytes("b")},
      {"timestamp", Ts(100, 5)},
      {"geo", Geo(3, 4)},
      {"reference", Ref("users/bob")},
      {"array", Arr({Int(1), Obj({{"k", Str("v")}})})},
      {"map", Obj({{"inner", Arr({})}})},
  });
  DAVValue expected = DAVValue::Map{
      {"null", nullptr},
      {"bool", true},
      {"int", -3},
      {"double", 2.5},
      {"string", "s"},
      {"bytes", DAVValue::bytes("b")},
      {"timestamp", DAVTimestamp(100, 5)},
      {"geo", DAVGeoPoint(3, 4)},
      {"reference", Bob()},
      {"array", DAVValue::Array{1, DAVValue::Map{{"k", "v"}}}},
      {"map", DAVValue::Map{{"inner", DAVValue::Array{}}}},
  };
  EXPECT_EQ(converter.convertedValue(*data, options), expected)
      << converter.convertedValue(*data, options).ToString();
  EXPECT_EQ(DAVValue(converter.convertedObject(*data, options)), expected);
}

TEST(DAVFieldValueConverterTest, TimestampsAsDatesWhenDisabled) {
  DAVFieldValueConverter converter = Converter(false);
  auto options = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None);
  EXPECT_FALSE(options.timestampsInSnapshotsEnabled());
  DAVValue value = converter.convertedValue(*Ts(100, 500000000), options);
  ASSERT_NE(value.asDate(), nullptr);
  EXPECT_DOUBLE_EQ(value.asDate()->secondsSince1970, 100.5);
}

TEST(DAVFieldValueConverterTest, ServerTimestampBehaviors) {
  DAVFieldValueConverter converter = Converter(true);
  auto none = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None);
  auto estimate = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::Estimate);
  auto previous = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::Previous);
  EXPECT_EQ(none.serverTimestampBehavior(), ServerTimestampBehavior::None);
  EXPECT_EQ(estimate.serverTimestampBehavior(), ServerTimestampBehavior::Estimate);
  EXPECT_EQ(previous.serverTimestampBehavior(), ServerTimestampBehavior::Previous);

  FieldValuePtr pending = Pending(50, Str("before"));
  EXPECT_TRUE(converter.convertedValue(*pending, none).isNull());
  EXPECT_EQ(converter.convertedValue(*pending, estimate), DAVValue(DAVTimestamp(50, 0)));
  EXPECT_EQ(converter.convertedValue(*pending, previous), DAVValue("before"));
  EXPECT_TRUE(converter.convertedValue(*Pending(50), previous).isNull());

  // A previous reference or map converts like any other value of its kind.
  EXPECT_EQ(converter.convertedValue(*Pending(50, Ref("users/bob")), previous),
            Bob());
  EXPECT_EQ(converter.convertedValue(*Pending(50, Obj({{"k", Pending(40, Int(1))}})), previous),
            DAVValue(DAVValue::Map{{"k", 1}}));
  // Nested inside objects and arrays the behaviour holds as well.
  EXPECT_EQ(converter.convertedValue(*Obj({{"t", Arr({Pending(50)})}}), estimate),
            DAVValue(DAVValue::Map{{"t", DAVValue::Array{DAVTimestamp(50, 0)}}}));

  DAVFieldValueConverter dates = Converter(false);
  auto estimateDates = dates.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::Estimate);
  ASSERT_NE(dates.convertedValue(*pending, estimateDates).asDate(), nullptr);
  EXPECT_EQ(dates.convertedValue(*pending, estimateDates).asDate()->secondsSince1970, 50);
}

TEST(DAVFieldValueConverterTest, ForeignReferenceBecomesLocal) {
  DAVFieldValueConverter converter = Converter(true);
  auto options = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None);
  DAVValue value = converter.convertedValue(*Ref("users/bob", "other", "db2"), options);
  ASSERT_NE(value.asReference(), nullptr);
  EXPECT_EQ(value.asReference()->path(), "users/bob");
  EXPECT_EQ(value.asReference()->verorariv(), Database());
}

TEST(DAVFieldValueConverterTest, ForeignReferenceLogsTheWarningOnce) {
  std::mutex mutex;
  std::vector<std::string> messages;
  platform::VULLogObserverToken token =
      platform::VULAddLogObserver([&](const platform::VULLogRecord& record) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(record.message);
      });
  util::LogSetLevel(util::LogLevel::Warning);
  DAVFieldValueConverter converter = Converter(true);
  auto options = converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::None);
  converter.convertedValue(*Ref("users/bob"), options);
  converter.convertedValue(*Ref("users/bob", "other", "db2"), options);
  platform::VULRemoveLogObserver(token);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "WARNING: Document rooms/eros contains a document reference within a different "
            "database (other/db2) which is not supported. It will be treated as a reference "
            "within the current database (p/(default)) instead.");
}

TEST(DAVFieldValueConverterDeathTest, UnknownBehaviorStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DAVFieldValueConverter converter = Converter(true);
  EXPECT_DEATH(converter.optionsForServerTimestampBehavior(static_cast<DAVServerTimestampBehavior>(3)),
               "Unexpected server timestamp option: 3");
}

}  // namespace
}  // namespace verorariv
}  // namespace davedove
