// Batches applied in order, locally and with the server's results.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT

const DAVTimestamp kWriteTime(2000, 5);

MutationPtr SetM(const std::string& path, ObjectValuePtr value) {
  return std::make_shared<const VRVSetMutation>(Key(path), std::move(value), Precondition::None());
}
MutationPtr PatchM(const std::string& path, ObjectValuePtr value, FieldMask mask) {
  return std::make_shared<const VRVPatchMutation>(Key(path), std::move(value), std::move(mask),
                                                  Precondition::Exists(true));
}
MutationPtr DeleteM(const std::string& path) {
  return std::make_shared<const VRVDeleteMutation>(Key(path), Precondition::None());
}
MutationPtr IncrementM(const std::string& path, const std::string& field, int64_t by) {
  return std::make_shared<const VRVTransformMutation>(
      Key(path), std::vector<FieldTransform>{FieldTransform(
                     Field(field), std::make_shared<const NumericIncrementTransform>(Int(by)))});
}
MutationPtr ServerTimeM(const std::string& path, const std::string& field) {
  return std::make_shared<const VRVTransformMutation>(
      Key(path),
      std::vector<FieldTransform>{FieldTransform(Field(field), ServerTimestampTransform::Get())});
}

MutationBatchPtr Batch(BatchId id, std::vector<MutationPtr> mutations,
                       std::vector<MutationPtr> base = {}) {
  return std::make_shared<const VRVMutationBatch>(id, kWriteTime, std::move(base),
                                                  std::move(mutations));
}

VRVMutationResult Result(int64_t version,
                         std::optional<std::vector<FieldValuePtr>> results = std::nullopt) {
  return VRVMutationResult(Version(version), std::move(results));
}

void ExpectDoc(const MaybeDocumentPtr& expected, const MaybeDocumentPtr& actual) {
  EXPECT_TRUE(SameDoc(expected, actual))
      << "expected " << (expected ? expected->ToString() : "null") << "\nactual   "
      << (actual ? actual->ToString() : "null");
}

TEST(MutationBatchTest, LocalApplicationInOrder) {
  // A set and a transform of one document, applied to nothing.
  MutationBatchPtr batch = Batch(1, {SetM("c/d", Obj({{"a", Int(1)}})), ServerTimeM("c/d", "t")});
  ExpectDoc(Doc("c/d", 0,
                Obj({{"a", Int(1)}, {"t", VRVServerTimestampValue::serverTimestampValueWithLocalWriteTime(
                                              kWriteTime, nullptr)}}),
                DocumentState::LocalMutations),
            batch->applyToLocalDocument(nullptr, Key("c/d")));

  // Order matters: a delete after a set leaves a deleted document, a set after a delete a document.
  ExpectDoc(Deleted("c/d", 0),
            Batch(2, {SetM("c/d", Obj()), DeleteM("c/d")})->applyToLocalDocument(nullptr, Key("c/d")));
  ExpectDoc(Doc("c/d", 0, Obj({{"x", Int(1)}}), DocumentState::LocalMutations),
            Batch(3, {DeleteM("c/d"), SetM("c/d", Obj({{"x", Int(1)}}))})
                ->applyToLocalDocument(nullptr, Key("c/d")));

  // Mutations of other keys take no part; nothing touched gives the input back (null too).
  MutationBatchPtr others = Batch(4, {SetM("c/other", Obj())});
  DocumentPtr doc = Doc("c/d", 3, Obj());
  EXPECT_EQ(doc, others->applyToLocalDocument(doc, Key("c/d")));
  EXPECT_EQ(nullptr, others->applyToLocalDocument(nullptr, Key("c/d")));
  // Every precondition failing on a missing document gives null.
  EXPECT_EQ(nullptr, Batch(5, {PatchM("c/d", Obj({{"a", Int(1)}}), FieldMask{Field("a")})})
                         ->applyToLocalDocument(nullptr, Key("c/d")));
}

TEST(MutationBatchTest, BaseMutationsFeedTheTransforms) {
  // The base mutation's value is the previous value of the later transform.
  MutationBatchPtr batch =
      Batch(1, {IncrementM("c/d", "n", 5)}, {SetM("c/d", Obj({{"n", Int(10)}}))});
  ExpectDoc(Doc("c/d", 0, Obj({{"n", Int(15)}}), DocumentState::LocalMutations),
            batch->applyToLocalDocument(Doc("c/d", 0, Obj({{"n", Int(1)}})), Key("c/d")));

  // Each of the batch's own mutations applies to the result of the one before, as on the server.
  MutationBatchPtr two = Batch(2, {IncrementM("c/d", "n", 1), IncrementM("c/d", "n", 1)},
                               {SetM("c/d", Obj({{"n", Int(1)}}))});
  ExpectDoc(Doc("c/d", 4, Obj({{"n", Int(3)}}), DocumentState::LocalMutations),
            two->applyToLocalDocument(Doc("c/d", 4, Obj({{"n", Int(40)}})), Key("c/d")));

  // Two batches that differ only in their base mutations are not equal.
  MutationBatchPtr same_without_base = Batch(1, {IncrementM("c/d", "n", 5)});
  EXPECT_FALSE(batch->isEqual(*same_without_base));
  EXPECT_TRUE(batch->isEqual(
      *Batch(1, {IncrementM("c/d", "n", 5)}, {SetM("c/d", Obj({{"n", Int(10)}}))})));
}

TEST(MutationBatchTest, ArrayUnionThenRemoveOfOneFieldMatchesTheServer) {
  auto arrayM = [](TransformOperation::Type type, const std::string& element) -> MutationPtr {
    return std::make_shared<const VRVTransformMutation>(
        Key("c/d"), std::vector<FieldTransform>{FieldTransform(
                        Field("ips"), std::make_shared<const ArrayTransform>(
                                          type, std::vector<FieldValuePtr>{Str(element)}))});
  };
  MutationBatchPtr batch = Batch(1, {PatchM("c/d", Obj({{"m", Int(2)}}), FieldMask{Field("m")}),
                                     arrayM(TransformOperation::Type::ArrayUnion, "new"),
                                     PatchM("c/d", Obj({{"m", Int(2)}}), FieldMask{Field("m")}),
                                     arrayM(TransformOperation::Type::ArrayRemove, "old")});
  DocumentPtr doc = Doc("c/d", 3, Obj({{"ips", Arr({Str("old"), Str("kept")})}}));
  ExpectDoc(Doc("c/d", 3, Obj({{"ips", Arr({Str("kept"), Str("new")})}, {"m", Int(2)}}),
                DocumentState::LocalMutations),
            batch->applyToLocalDocument(doc, Key("c/d")));

  // Acknowledged, the same list at the commit version.
  MutationBatchResultPtr result = VRVMutationBatchResult::resultWithBatch(
      batch, Version(9),
      {Result(9), Result(9, std::vector<FieldValuePtr>{Null()}), Result(9),
       Result(9, std::vector<FieldValuePtr>{Null()})},
      "token");
  ExpectDoc(Doc("c/d", 9, Obj({{"ips", Arr({Str("kept"), Str("new")})}, {"m", Int(2)}}),
                DocumentState::CommittedMutations),
            batch->applyToRemoteDocument(doc, Key("c/d"), *result));
}

TEST(MutationBatchTest, LocalDocumentSet) {
  MutationBatchPtr batch = Batch(1, {PatchM("c/a", Obj({{"f", Int(5)}}), FieldMask{Field("f")}),
                                     IncrementM("c/a", "f", 1), SetM("c/new", Obj()),
                                     PatchM("c/missing", Obj(), FieldMask{Field("x")})});
  MaybeDocumentMap docs;
  docs = docs.insert(Key("c/a"), Doc("c/a", 7, Obj({{"f", Int(1)}})));
  docs = docs.insert(Key("c/untouched"), Doc("c/untouched", 1, Obj()));

  MaybeDocumentMap result = batch->applyToLocalDocumentSet(docs);
  // The increment adds to the patched value, once: f = 6.
  ExpectDoc(Doc("c/a", 7, Obj({{"f", Int(6)}}), DocumentState::LocalMutations),
            result.find(Key("c/a"))->second);
  ExpectDoc(Doc("c/new", 0, Obj(), DocumentState::LocalMutations),
            result.find(Key("c/new"))->second);
  EXPECT_FALSE(result.contains(Key("c/missing")));
  EXPECT_EQ(docs.find(Key("c/untouched"))->second, result.find(Key("c/untouched"))->second);
  EXPECT_EQ(3u, result.size());
  EXPECT_EQ(2u, docs.size());  // the input map is unchanged

  DocumentKeySet keys = batch->keys();
  EXPECT_EQ((DocumentKeySet{Key("c/a"), Key("c/missing"), Key("c/new")}), keys);
}

TEST(MutationBatchTest, RemoteApplicationWithResults) {
  MutationBatchPtr batch = Batch(1, {SetM("c/d", Obj({{"a", Int(1)}})), IncrementM("c/d", "a", 1),
                                     DeleteM("c/other")});
  MutationBatchResultPtr result = VRVMutationBatchResult::resultWithBatch(
      batch, Version(50),
      {Result(40), Result(41, std::vector<FieldValuePtr>{Int(99)}), Result(42)}, "token");

  ExpectDoc(Doc("c/d", 41, Obj({{"a", Int(99)}}), DocumentState::CommittedMutations),
            batch->applyToRemoteDocument(nullptr, Key("c/d"), *result));
  ExpectDoc(Deleted("c/other", 42, true),
            batch->applyToRemoteDocument(Doc("c/other", 1, Obj()), Key("c/other"), *result));
  DocumentPtr alone = Doc("c/alone", 1, Obj());
  EXPECT_EQ(alone, batch->applyToRemoteDocument(alone, Key("c/alone"), *result));
}

TEST(MutationBatchTest, BatchResults) {
  MutationBatchPtr batch = Batch(1, {SetM("c/d", Obj()), PatchM("c/d", Obj(), FieldMask{}),
                                     SetM("c/e", Obj())});
  MutationBatchResultPtr result = VRVMutationBatchResult::resultWithBatch(
      batch, Version(50), {Result(40), Result(41), Result(43)}, "stream");
  EXPECT_EQ(batch, result->batch());
  EXPECT_EQ(Version(50), result->commitVersion());
  EXPECT_EQ("stream", result->streamToken());
  EXPECT_EQ(3u, result->mutationResults().size());
  ASSERT_EQ(2u, result->docVersions().size());
  // The later mutation of one key wins.
  EXPECT_EQ(Version(41), result->docVersions().at(Key("c/d")));
  EXPECT_EQ(Version(43), result->docVersions().at(Key("c/e")));
}

TEST(MutationBatchTest, EqualityHashAndText) {
  MutationPtr set = SetM("c/d", Obj());
  MutationBatchPtr batch = Batch(7, {set});
  EXPECT_TRUE(batch->isEqual(*Batch(7, {SetM("c/d", Obj())})));
  EXPECT_FALSE(batch->isEqual(*Batch(8, {set})));
  EXPECT_FALSE(batch->isEqual(*Batch(7, {set, set})));
  EXPECT_FALSE(batch->isEqual(
      VRVMutationBatch(7, DAVTimestamp(2000, 6), {}, {set})));

  MutationPtr base = DeleteM("c/b");
  size_t expected = 31 * 7 + kWriteTime.Hash();
  expected = 31 * expected + base->Hash();
  expected = 31 * expected + set->Hash();
  EXPECT_EQ(expected, Batch(7, {set}, {base})->Hash());
  // A negative id enters the hash as its 64-bit two's complement.
  size_t negative = 31 * static_cast<size_t>(int64_t{-1}) + kWriteTime.Hash();
  EXPECT_EQ(31 * negative + set->Hash(), Batch(kBatchIdUnknown, {set})->Hash());

  MutationPtr del = DeleteM("c/e");
  EXPECT_EQ("<VRVMutationBatch: id=7, localWriteTime=" + kWriteTime.ToString() + ", mutations=[" +
                set->ToString() + ", " + del->ToString() + "]>",
            Batch(7, {set, del})->ToString());
}

class MutationBatchDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MutationBatchDeathTest, BrokenContracts) {
  EXPECT_DEATH(VRVMutationBatch(1, kWriteTime, {}, {}),
               "Cannot create an empty mutation batch \\(expected !mutations.empty\\(\\)\\)");
  MutationBatchPtr batch = Batch(1, {SetM("c/d", Obj()), SetM("c/e", Obj())});
  EXPECT_DEATH(batch->applyToLocalDocument(Doc("c/x", 1, Obj()), Key("c/d")),
               "applyTo: key c/d doesn't match maybeDoc key c/x");
  EXPECT_DEATH(VRVMutationBatchResult::resultWithBatch(batch, Version(1), {Result(1)}, ""),
               "Mutations sent 2 must equal results received 1");
  VRVMutationBatchResult short_result(batch, Version(1), {Result(1)}, "", {});
  EXPECT_DEATH(batch->applyToRemoteDocument(nullptr, Key("c/d"), short_result),
               "Mismatch between mutations length \\(2\\) and results length \\(1\\)");
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
