// Local and remote application of each mutation kind and of the field transforms.
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "gtest/gtest.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT

const DAVTimestamp kWriteTime(1000, 0);
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

MutationPtr SetM(const std::string& path, ObjectValuePtr value,
                 Precondition precondition = Precondition::None()) {
  return std::make_shared<const VRVSetMutation>(Key(path), std::move(value), precondition);
}

MutationPtr PatchM(const std::string& path, ObjectValuePtr value, FieldMask mask,
                   Precondition precondition = Precondition::Exists(true)) {
  return std::make_shared<const VRVPatchMutation>(Key(path), std::move(value), std::move(mask),
                                                  precondition);
}

MutationPtr DeleteM(const std::string& path, Precondition precondition = Precondition::None()) {
  return std::make_shared<const VRVDeleteMutation>(Key(path), precondition);
}

FieldTransform ServerTimestampAt(const std::string& field) {
  return FieldTransform(Field(field), ServerTimestampTransform::Get());
}
FieldTransform UnionAt(const std::string& field, std::vector<FieldValuePtr> elements) {
  return FieldTransform(Field(field), std::make_shared<const ArrayTransform>(
                                          TransformOperation::Type::ArrayUnion, elements));
}
FieldTransform RemoveAt(const std::string& field, std::vector<FieldValuePtr> elements) {
  return FieldTransform(Field(field), std::make_shared<const ArrayTransform>(
                                          TransformOperation::Type::ArrayRemove, elements));
}
FieldTransform IncrementAt(const std::string& field, FieldValuePtr operand) {
  return FieldTransform(Field(field), std::make_shared<const NumericIncrementTransform>(operand));
}

std::shared_ptr<const VRVTransformMutation> TransformM(const std::string& path,
                                                       std::vector<FieldTransform> transforms) {
  return std::make_shared<const VRVTransformMutation>(Key(path), std::move(transforms));
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

// The value a local transform gives a field of `start`.
FieldValuePtr LocalResult(FieldTransform transform, ObjectValuePtr start) {
  auto mutation = TransformM("c/d", {std::move(transform)});
  DocumentPtr base = Doc("c/d", 1, std::move(start));
  MaybeDocumentPtr out = mutation->applyToLocalDocument(base, base, kWriteTime);
  return static_cast<const VRVDocument&>(*out).fieldForPath(Field("f"));
}

TEST(SetMutationTest, LocalAndRemote) {
  ObjectValuePtr value = Obj({{"a", Int(1)}});
  MutationPtr set = SetM("c/d", value);

  ExpectDoc(Doc("c/d", 0, value, DocumentState::LocalMutations),
            set->applyToLocalDocument(nullptr, nullptr, kWriteTime));
  // Keeps the version of an existing document; a deleted one gives (0, 0).
  ExpectDoc(Doc("c/d", 5, value, DocumentState::LocalMutations),
            set->applyToLocalDocument(Doc("c/d", 5, Obj({{"old", Int(0)}})), nullptr, kWriteTime));
  ExpectDoc(Doc("c/d", 0, value, DocumentState::LocalMutations),
            set->applyToLocalDocument(Deleted("c/d", 5), nullptr, kWriteTime));

  ExpectDoc(Doc("c/d", 9, value, DocumentState::CommittedMutations),
            set->applyToRemoteDocument(nullptr, Result(9)));
  ExpectDoc(Doc("c/d", 9, value, DocumentState::CommittedMutations),
            set->applyToRemoteDocument(Doc("c/d", 5, Obj()), Result(9)));

  // A failed precondition leaves the local view alone; the server's answer still wins remotely.
  MutationPtr create = SetM("c/d", value, Precondition::Exists(false));
  MaybeDocumentPtr existing = Doc("c/d", 5, Obj());
  EXPECT_EQ(existing, create->applyToLocalDocument(existing, existing, kWriteTime));
  ExpectDoc(Doc("c/d", 9, value, DocumentState::CommittedMutations),
            create->applyToRemoteDocument(existing, Result(9)));
  EXPECT_TRUE(set->idempotent());
  EXPECT_EQ(nullptr, set->fieldMask());
}

TEST(PatchMutationTest, LocalAndRemote) {
  MutationPtr patch = PatchM("c/d", Obj({{"a", Obj({{"b", Int(2)}})}}),
                             FieldMask{Field("a.b"), Field("gone")});
  DocumentPtr doc = Doc("c/d", 5, Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(3)}})}, {"gone", Int(9)}}));
  ObjectValuePtr patched = Obj({{"a", Obj({{"b", Int(2)}, {"c", Int(3)}})}});

  // A masked path the value lacks is deleted from the document.
  ExpectDoc(Doc("c/d", 5, patched, DocumentState::LocalMutations),
            patch->applyToLocalDocument(doc, doc, kWriteTime));
  ExpectDoc(Doc("c/d", 8, patched, DocumentState::CommittedMutations),
            patch->applyToRemoteDocument(doc, Result(8)));

  // Exists(true) fails on a missing document: nothing locally, an unknown document remotely.
  EXPECT_EQ(nullptr, patch->applyToLocalDocument(nullptr, nullptr, kWriteTime));
  MaybeDocumentPtr deleted = Deleted("c/d", 4);
  EXPECT_EQ(deleted, patch->applyToLocalDocument(deleted, deleted, kWriteTime));
  ExpectDoc(Unknown("c/d", 8), patch->applyToRemoteDocument(nullptr, Result(8)));
  ExpectDoc(Unknown("c/d", 8), patch->applyToRemoteDocument(deleted, Result(8)));

  // Without a precondition a patch of nothing starts from the empty object at version (0, 0).
  MutationPtr upsert = PatchM("c/d", Obj({{"x", Int(1)}}), FieldMask{Field("x")},
                              Precondition::None());
  ExpectDoc(Doc("c/d", 0, Obj({{"x", Int(1)}}), DocumentState::LocalMutations),
            upsert->applyToLocalDocument(nullptr, nullptr, kWriteTime));

  // UpdateTime must match exactly.
  MutationPtr guarded = PatchM("c/d", Obj({{"x", Int(1)}}), FieldMask{Field("x")},
                               Precondition::UpdateTime(Version(5)));
  ExpectDoc(Doc("c/d", 5,
                Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(3)}})}, {"gone", Int(9)}, {"x", Int(1)}}),
                DocumentState::LocalMutations),
            guarded->applyToLocalDocument(doc, doc, kWriteTime));
  MaybeDocumentPtr newer = Doc("c/d", 6, Obj());
  EXPECT_EQ(newer, guarded->applyToLocalDocument(newer, newer, kWriteTime));
  ExpectDoc(Unknown("c/d", 7), guarded->applyToRemoteDocument(newer, Result(7)));
}

TEST(DeleteMutationTest, LocalAndRemote) {
  MutationPtr del = DeleteM("c/d");
  ExpectDoc(Deleted("c/d", 0, false), del->applyToLocalDocument(Doc("c/d", 5, Obj()), nullptr,
                                                                kWriteTime));
  ExpectDoc(Deleted("c/d", 0, false), del->applyToLocalDocument(nullptr, nullptr, kWriteTime));
  ExpectDoc(Deleted("c/d", 9, true), del->applyToRemoteDocument(Doc("c/d", 5, Obj()), Result(9)));

  MutationPtr guarded = DeleteM("c/d", Precondition::Exists(true));
  EXPECT_EQ(nullptr, guarded->applyToLocalDocument(nullptr, nullptr, kWriteTime));
  ExpectDoc(Deleted("c/d", 9, true), guarded->applyToRemoteDocument(nullptr, Result(9)));
}

TEST(TransformMutationTest, LocalAndRemoteApplication) {
  auto transform = TransformM("c/d", {ServerTimestampAt("when"), IncrementAt("n", Int(2))});
  EXPECT_EQ(Precondition::Exists(true), transform->precondition());
  EXPECT_EQ((FieldMask{Field("n"), Field("when")}), *transform->fieldMask());
  EXPECT_FALSE(transform->idempotent());
  EXPECT_TRUE(TransformM("c/d", {ServerTimestampAt("a"), UnionAt("b", {Int(1)})})->idempotent());

  DocumentPtr doc = Doc("c/d", 5, Obj({{"when", Str("before")}, {"n", Int(1)}, {"o", Int(0)}}));
  MaybeDocumentPtr local = transform->applyToLocalDocument(doc, doc, kWriteTime);
  ExpectDoc(Doc("c/d", 5,
                Obj({{"when", ServerTs(1000, Str("before"))}, {"n", Int(3)}, {"o", Int(0)}}),
                DocumentState::LocalMutations),
            local);
  // The pending timestamp remembers the value it replaced.
  auto pending = std::static_pointer_cast<const VRVServerTimestampValue>(
      static_cast<const VRVDocument&>(*local).fieldForPath(Field("when")));
  ASSERT_NE(nullptr, pending->previousValue());
  EXPECT_TRUE(Str("before")->isEqual(*pending->previousValue()));

  // Remotely the fields take the server's values, whatever the local sum was.
  MaybeDocumentPtr remote =
      transform->applyToRemoteDocument(doc, Result(9, std::vector<FieldValuePtr>{Ts(9), Int(40)}));
  ExpectDoc(Doc("c/d", 9, Obj({{"when", Ts(9)}, {"n", Int(40)}, {"o", Int(0)}}),
                DocumentState::CommittedMutations),
            remote);

  // No document, or a deleted one: unchanged locally, unknown remotely.
  EXPECT_EQ(nullptr, transform->applyToLocalDocument(nullptr, nullptr, kWriteTime));
  MaybeDocumentPtr deleted = Deleted("c/d", 3);
  EXPECT_EQ(deleted, transform->applyToLocalDocument(deleted, deleted, kWriteTime));
  ExpectDoc(Unknown("c/d", 9),
            transform->applyToRemoteDocument(
                deleted, Result(9, std::vector<FieldValuePtr>{Ts(9), Int(40)})));
}

TEST(TransformMutationTest, LocalResultsBuildOnTheDocumentTheyApplyTo) {
  // As on the server: an earlier write of the batch (here n = 100) is what the increment adds to.
  auto transform = TransformM("c/d", {IncrementAt("n", Int(1))});
  DocumentPtr base = Doc("c/d", 1, Obj({{"n", Int(10)}}));
  DocumentPtr current = Doc("c/d", 1, Obj({{"n", Int(100)}, {"x", Int(1)}}),
                            DocumentState::LocalMutations);
  ExpectDoc(Doc("c/d", 1, Obj({{"n", Int(101)}, {"x", Int(1)}}), DocumentState::LocalMutations),
            transform->applyToLocalDocument(current, base, kWriteTime));
  ExpectDoc(Doc("c/d", 1, Obj({{"n", Int(101)}, {"x", Int(1)}}), DocumentState::LocalMutations),
            transform->applyToLocalDocument(current, Deleted("c/d", 1), kWriteTime));
}

TEST(TransformMutationTest, TwoTransformsOfOnePathKeepTheLater) {
  auto transform = TransformM("c/d", {IncrementAt("n", Int(1)), IncrementAt("n", Int(5))});
  DocumentPtr doc = Doc("c/d", 1, Obj({{"n", Int(10)}}));
  ExpectDoc(Doc("c/d", 1, Obj({{"n", Int(15)}}), DocumentState::LocalMutations),
            transform->applyToLocalDocument(doc, doc, kWriteTime));
}

TEST(TransformOperationTest, ServerTimestamps) {
  FieldValuePtr fresh = LocalResult(ServerTimestampAt("f"), Obj());
  ASSERT_TRUE(fresh->isEqual(*ServerTs(1000)));
  EXPECT_EQ(nullptr,
            std::static_pointer_cast<const VRVServerTimestampValue>(fresh)->previousValue());
  EXPECT_TRUE(ServerTimestampTransform::Get()->ApplyServer(Int(1), Ts(5))->isEqual(*Ts(5)));
}

TEST(TransformOperationTest, ArrayUnionAndRemove) {
  ObjectValuePtr start = Obj({{"f", Arr({Int(2), Int(3), Int(2)})}});
  EXPECT_TRUE(LocalResult(UnionAt("f", {Int(1), Int(2), Int(1)}), start)
                  ->isEqual(*Arr({Int(2), Int(3), Int(2), Int(1)})));
  EXPECT_TRUE(LocalResult(RemoveAt("f", {Int(2)}), start)->isEqual(*Arr({Int(3)})));
  // Removal uses equality, so 2.0 does not remove 2.
  EXPECT_TRUE(LocalResult(RemoveAt("f", {Dbl(2.0)}), start)->isEqual(*Arr({Int(2), Int(3), Int(2)})));
  // A non-array field, or none, starts from the empty list.
  EXPECT_TRUE(LocalResult(UnionAt("f", {Int(1)}), Obj({{"f", Str("x")}}))->isEqual(*Arr({Int(1)})));
  EXPECT_TRUE(LocalResult(UnionAt("f", {Int(1)}), Obj())->isEqual(*Arr({Int(1)})));
  EXPECT_TRUE(LocalResult(RemoveAt("f", {Int(1)}), Obj({{"f", Int(1)}}))->isEqual(*Arr({})));

  // The server's result is not used: the transform is replayed on the document.
  ArrayTransform array_union(TransformOperation::Type::ArrayUnion, {Int(9)});
  EXPECT_TRUE(array_union.ApplyServer(Arr({Int(1)}), Null())->isEqual(*Arr({Int(1), Int(9)})));
  EXPECT_EQ(1u, ArrayTransform::Elements(array_union).size());
}

TEST(TransformOperationTest, NumericIncrements) {
  auto increment = [](FieldValuePtr previous, FieldValuePtr operand) {
    return NumericIncrementTransform(operand).ApplyLocal(previous, kWriteTime);
  };
  EXPECT_TRUE(increment(Int(kMax), Int(1))->isEqual(*Int(kMax)));
  EXPECT_TRUE(increment(Int(kMax - 1), Int(kMax))->isEqual(*Int(kMax)));
  EXPECT_TRUE(increment(Int(kMin), Int(-1))->isEqual(*Int(kMin)));
  EXPECT_TRUE(increment(Int(kMin), Int(kMin))->isEqual(*Int(kMin)));
  EXPECT_TRUE(increment(Int(kMax), Int(kMin))->isEqual(*Int(-1)));
  EXPECT_TRUE(increment(Int(1), Int(2))->isEqual(*Int(3)));
  EXPECT_TRUE(increment(Int(1), Dbl(0.5))->isEqual(*Dbl(1.5)));
  EXPECT_TRUE(increment(Dbl(1.5), Int(1))->isEqual(*Dbl(2.5)));
  EXPECT_TRUE(increment(Dbl(1.5), Dbl(0.25))->isEqual(*Dbl(1.75)));
  EXPECT_TRUE(increment(Str("x"), Int(2))->isEqual(*Int(2)));
  EXPECT_TRUE(increment(nullptr, Dbl(2.5))->isEqual(*Dbl(2.5)));
  EXPECT_TRUE(increment(Null(), Int(2))->isEqual(*Int(2)));

  EXPECT_DOUBLE_EQ(3.0, NumericIncrementTransform(Int(3)).OperandAsDouble());
  EXPECT_DOUBLE_EQ(0.5, NumericIncrementTransform(Dbl(0.5)).OperandAsDouble());
  EXPECT_TRUE(NumericIncrementTransform(Int(3)).ApplyServer(Int(100), Int(7))->isEqual(*Int(7)));
}

TEST(TransformOperationTest, EqualityAndHashes) {
  ArrayTransform union_a(TransformOperation::Type::ArrayUnion, {Int(1), Str("a")});
  ArrayTransform union_b(TransformOperation::Type::ArrayUnion, {Int(1), Str("a")});
  ArrayTransform remove_a(TransformOperation::Type::ArrayRemove, {Int(1), Str("a")});
  EXPECT_TRUE(union_a == union_b);
  EXPECT_FALSE(union_a == remove_a);
  EXPECT_FALSE(union_a == ArrayTransform(TransformOperation::Type::ArrayUnion, {Int(1)}));
  EXPECT_FALSE(union_a == *ServerTimestampTransform::Get());
  EXPECT_TRUE(*ServerTimestampTransform::Get() == ServerTimestampTransform());
  EXPECT_TRUE(NumericIncrementTransform(Int(1)) == NumericIncrementTransform(Int(1)));
  EXPECT_FALSE(NumericIncrementTransform(Int(1)) == NumericIncrementTransform(Dbl(1)));

  EXPECT_EQ(37u, ServerTimestampTransform::Get()->Hash());
  size_t expected_union = 31 * 37 + 1231;
  expected_union = 31 * expected_union + Int(1)->Hash();
  expected_union = 31 * expected_union + 1;  // every string hashes to 1
  EXPECT_EQ(expected_union, union_a.Hash());
  EXPECT_EQ(31u * 37 + 1237, ArrayTransform(TransformOperation::Type::ArrayRemove, {}).Hash());
  EXPECT_EQ(Int(5)->Hash() + 31 * 37, NumericIncrementTransform(Int(5)).Hash());
}

TEST(MutationEqualityTest, EqualityHashesAndDescriptions) {
  ObjectValuePtr value = Obj({{"a", Int(1)}});
  MutationPtr set = SetM("c/d", value);
  EXPECT_TRUE(set->isEqual(*SetM("c/d", Obj({{"a", Int(1)}}))));
  EXPECT_FALSE(set->isEqual(*SetM("c/d", value, Precondition::Exists(false))));
  EXPECT_FALSE(set->isEqual(*SetM("c/e", value)));
  EXPECT_FALSE(set->isEqual(*PatchM("c/d", value, FieldMask{Field("a")}, Precondition::None())));
  EXPECT_EQ(31 * (31 * Key("c/d").Hash() + Precondition::None().Hash()) + value->Hash(),
            set->Hash());
  EXPECT_EQ("<VRVSetMutation key=c/d value=" + value->ToString() +
                " precondition=<Precondition <none>>>",
            set->ToString());

  FieldMask mask{Field("a"), Field("b.c")};
  MutationPtr patch = PatchM("c/d", value, mask);
  EXPECT_TRUE(patch->isEqual(*PatchM("c/d", value, mask)));
  EXPECT_FALSE(patch->isEqual(*PatchM("c/d", value, FieldMask{Field("a")})));
  size_t patch_hash = 31 * Key("c/d").Hash() + Precondition::Exists(true).Hash();
  patch_hash = 31 * patch_hash + mask.Hash();
  patch_hash = 31 * patch_hash + value->Hash();
  EXPECT_EQ(patch_hash, patch->Hash());
  EXPECT_EQ("<VRVPatchMutation key=c/d mask={ a b.c } value=" + value->ToString() +
                " precondition=<Precondition exists=yes>>",
            patch->ToString());

  auto transform = TransformM("c/d", {ServerTimestampAt("a"), IncrementAt("b.c", Int(2))});
  EXPECT_TRUE(transform->isEqual(
      *TransformM("c/d", {ServerTimestampAt("a"), IncrementAt("b.c", Int(2))})));
  EXPECT_FALSE(transform->isEqual(
      *TransformM("c/d", {ServerTimestampAt("a"), IncrementAt("b.c", Int(3))})));
  EXPECT_FALSE(transform->isEqual(*TransformM("c/d", {ServerTimestampAt("a")})));
  size_t transform_hash = 31 * Key("c/d").Hash() + Precondition::Exists(true).Hash();
  transform_hash = 31 * (transform_hash + Field("a").Hash()) + 37;
  transform_hash = 31 * (transform_hash + Field("b.c").Hash()) + (Int(2)->Hash() + 31 * 37);
  EXPECT_EQ(transform_hash, transform->Hash());
  EXPECT_EQ("<VRVTransformMutation key=c/d transforms= a b.c precondition=<Precondition "
            "exists=yes>>",
            transform->ToString());

  MutationPtr del = DeleteM("c/d");
  EXPECT_TRUE(del->isEqual(*DeleteM("c/d")));
  EXPECT_FALSE(del->isEqual(*DeleteM("c/d", Precondition::Exists(true))));
  EXPECT_EQ(31 * Key("c/d").Hash() + Precondition::None().Hash(), del->Hash());
  EXPECT_EQ("<VRVDeleteMutation key=c/d precondition=<Precondition <none>>>", del->ToString());
}

// A mutation that overrides only what the base cannot answer.
class BareMutation : public VRVMutation {
 public:
  BareMutation() : VRVMutation(Key("c/d"), Precondition::None()) {}
  bool isEqual(const VRVMutation& other) const override { return this == &other; }
  size_t Hash() const override { return 0; }
  std::string ToString() const override { return "bare"; }
};

TEST(MutationEqualityTest, AbstractOperationsRaise) {
  BareMutation bare;
  try {
    bare.applyToRemoteDocument(nullptr, Result(1));
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ("You must override -[VRVMutation applyToRemoteDocument:mutationResult:] in a subclass",
              e.reason());
  }
  EXPECT_THROW(bare.applyToLocalDocument(nullptr, nullptr, kWriteTime), platform::Exception);
  EXPECT_THROW(bare.idempotent(), platform::Exception);
  EXPECT_THROW(bare.fieldMask(), platform::Exception);
}

class MutationDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(MutationDeathTest, BrokenContracts) {
  MutationPtr set = SetM("c/d", Obj());
  EXPECT_DEATH(set->applyToLocalDocument(Doc("c/other", 1, Obj()), nullptr, kWriteTime),
               "Can only set a document with the same key \\(expected maybeDoc.key == self.key\\)");
  EXPECT_DEATH(set->applyToRemoteDocument(nullptr, Result(1, std::vector<FieldValuePtr>{})),
               "Transform results received by VRVSetMutation.");
  EXPECT_DEATH(PatchM("c/d", Obj(), FieldMask{})
                   ->applyToRemoteDocument(nullptr, Result(1, std::vector<FieldValuePtr>{})),
               "Transform results received by VRVPatchMutation.");
  EXPECT_DEATH(DeleteM("c/d")->applyToRemoteDocument(nullptr, Result(1, std::vector<FieldValuePtr>{})),
               "Transform results received by VRVDeleteMutation.");

  auto transform = TransformM("c/d", {ServerTimestampAt("a")});
  EXPECT_DEATH(transform->applyToRemoteDocument(Doc("c/d", 1, Obj()), Result(1)),
               "Transform results missing for VRVTransformMutation.");
  EXPECT_DEATH(transform->applyToRemoteDocument(Doc("c/d", 1, Obj()),
                                                Result(1, std::vector<FieldValuePtr>{})),
               "server transform result count \\(0\\) should match field transforms count \\(1\\)");
  EXPECT_DEATH(NumericIncrementTransform(Str("x")).OperandAsDouble(),
               "Expected 'operand' to be of VRVNumerValue type, but was VRVStringValue");
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
