// The application's writes as mutations, applied to a local document: what a set, a merge and an
// update keep, replace and delete, and where sentinels are refused.
#include "davedove/verorariv/api/DAVUserDataConverter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVFieldValueConverter.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/core/tests/core_testutil.h"
#include "davedove/verorariv/model/DAVTimestamp.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace {

using model::DatabaseId;
using model::DocumentKey;
using model::MaybeDocumentPtr;
using model::MutationPtr;

const DatabaseId kDatabase("p", DatabaseId::kDefault);

class UserDataConverterTest : public ::testing::Test {
 protected:
  // The document after the mutations, as the application would read it (none when missing).
  std::optional<DAVValue::Map> Apply(const std::vector<MutationPtr>& mutations,
                                     MaybeDocumentPtr document) {
    DAVTimestamp now = DAVTimestamp::timestampWithSeconds(100, 0);
    for (const MutationPtr& mutation : mutations) {
      document = mutation->applyToLocalDocument(document, document, now);
    }
    auto existing = std::dynamic_pointer_cast<const model::VRVDocument>(document);
    if (!existing) return std::nullopt;
    DAVFieldValueConverter converter(
        std::make_shared<DAVVerorariv>(kDatabase, "[DEFAULT]", nullptr, nullptr), true, key_);
    return converter.convertedObject(
        *existing->data(),
        converter.optionsForServerTimestampBehavior(DAVServerTimestampBehavior::Estimate));
  }

  MaybeDocumentPtr Stored() const {
    return testutil::Doc("users/u1", {{"a", testutil::Obj({{"x", testutil::Int(1)},
                                                             {"y", testutil::Int(2)}})},
                                      {"keep", testutil::Str("k")},
                                      {"tags", testutil::Arr({testutil::Str("t1"), testutil::Str("t2"),
                                                              testutil::Str("t1")})}});
  }

  DAVUserDataConverter converter_{kDatabase};
  DocumentKey key_ = DocumentKey::FromPathString("users/u1");
};

TEST_F(UserDataConverterTest, SetMergeAndUpdateKeepWhatTheyShould) {
  // A set replaces everything.
  auto set = Apply(converter_.setMutations({{"a", DAVValue::Map{{"x", 5}}}}, key_), Stored());
  ASSERT_TRUE(set);
  EXPECT_EQ(*set, (DAVValue::Map{{"a", DAVValue::Map{{"x", 5}}}}));

  // A merge writes leaf by leaf: nested siblings and other fields stay; delete removes.
  auto merged = Apply(converter_.mergeMutations({{"a", DAVValue::Map{{"x", 5}}},
                                                 {"keep", DAVFieldValue::fieldValueForDelete()},
                                                 {"new", DAVValue::Map{}}},
                                                key_),
                      Stored());
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->at("a"), (DAVValue(DAVValue::Map{{"x", 5}, {"y", 2}})));
  EXPECT_EQ(merged->count("keep"), 0u);
  EXPECT_EQ(merged->at("new"), DAVValue(DAVValue::Map{}));
  // ...and creates a missing document.
  EXPECT_EQ(Apply(converter_.mergeMutations({{"n", 1}}, key_), nullptr), (DAVValue::Map{{"n", 1}}));

  // An update names fields by dotted path and replaces a named map whole.
  auto dotted = Apply(converter_.updateMutations({{"a.x", 7}}, key_), Stored());
  EXPECT_EQ(dotted->at("a"), (DAVValue(DAVValue::Map{{"x", 7}, {"y", 2}})));
  auto whole = Apply(converter_.updateMutations({{"a", DAVValue::Map{{"z", 1}}}}, key_), Stored());
  EXPECT_EQ(whole->at("a"), (DAVValue(DAVValue::Map{{"z", 1}})));
  EXPECT_EQ(whole->at("keep"), DAVValue("k"));
  // ...and leaves a missing document missing.
  EXPECT_EQ(Apply(converter_.updateMutations({{"n", 1}}, key_), nullptr), std::nullopt);
}

TEST_F(UserDataConverterTest, SentinelsBecomeTransformsOfTheStoredValue) {
  auto result = Apply(
      converter_.updateMutations({{"tags", DAVFieldValue::fieldValueForArrayRemove({"t1"})},
                                  {"more", DAVFieldValue::fieldValueForArrayUnion({"m", "m"})},
                                  {"at", DAVFieldValue::fieldValueForServerTimestamp()}},
                                 key_),
      Stored());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->at("tags"), DAVValue(DAVValue::Array{"t2"}));
  EXPECT_EQ(result->at("more"), DAVValue(DAVValue::Array{"m"}));
  EXPECT_EQ(result->at("at"), DAVValue(DAVTimestamp::timestampWithSeconds(100, 0)))
      << "the estimate is the local write time";
  EXPECT_EQ(result->at("keep"), DAVValue("k"));

  auto union_ = Apply(converter_.updateMutations(
                          {{"tags", DAVFieldValue::fieldValueForArrayUnion({"t3", "t2"})}}, key_),
                      Stored());
  EXPECT_EQ(union_->at("tags"), DAVValue(DAVValue::Array{"t1", "t2", "t1", "t3"}));
}

TEST_F(UserDataConverterTest, SentinelsOutOfPlaceAreRefused) {
  auto reason = [](const std::function<void()>& action) -> std::string {
    try {
      action();
    } catch (const platform::Exception& exception) {
      EXPECT_EQ(exception.name(), "DAVInvalidArgumentException");
      return exception.reason();
    }
    return "";
  };
  EXPECT_EQ(reason([&] {
              converter_.updateMutations(
                  {{"tags", DAVValue::Array{DAVFieldValue::fieldValueForServerTimestamp()}}}, key_);
            }),
            "DAVFieldValue.serverTimestamp() is not currently supported inside arrays");
  EXPECT_EQ(reason([&] { converter_.parsedQueryValue(DAVFieldValue::fieldValueForDelete()); }),
            "DAVFieldValue.delete() can only be used with updateData() and setData()");
  EXPECT_EQ(reason([&] { converter_.updateMutations({{"a..b", 1}}, key_); }),
            "Invalid field path (a..b). Paths must not be empty, begin with '.', end with '.', or "
            "contain '..'");
  EXPECT_EQ(reason([&] {
              auto other = std::make_shared<DAVVerorariv>(DatabaseId("other", DatabaseId::kDefault),
                                                          "[DEFAULT]", nullptr, nullptr);
              converter_.setMutations({{"r", other->documentWithPath("users/u2")}}, key_);
            }),
            "Document Reference is for database other/(default) but should be for database "
            "p/(default)");
}

}  // namespace
}  // namespace verorariv
}  // namespace davedove
