// Path access, setting, deleting and masking of object values.
#include <string>

#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/field_mask.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using namespace testutil;  // NOLINT

void ExpectObject(const ObjectValuePtr& expected, const ObjectValuePtr& actual) {
  EXPECT_TRUE(expected->isEqual(*actual)) << "expected " << expected->ToString() << "\nactual   "
                                          << actual->ToString();
}

TEST(ObjectValueTest, ValueForPath) {
  ObjectValuePtr object = Obj({{"a", Obj({{"b", Int(1)}, {"s", Str("text")}})}, {"c", Int(2)}});
  EXPECT_EQ(object, object->valueForPath(FieldPath()));
  EXPECT_TRUE(Int(1)->isEqual(*object->valueForPath(Field("a.b"))));
  EXPECT_TRUE(Int(2)->isEqual(*object->valueForPath(Field("c"))));
  EXPECT_EQ(nullptr, object->valueForPath(Field("a.s.x")));  // through a string
  EXPECT_EQ(nullptr, object->valueForPath(Field("c.x")));    // through a number
  EXPECT_EQ(nullptr, object->valueForPath(Field("missing")));
  EXPECT_EQ(nullptr, object->valueForPath(Field("a.missing.deeper")));
}

TEST(ObjectValueTest, SetValueByPath) {
  ObjectValuePtr empty = Obj();
  ObjectValuePtr set = empty->objectBySettingValue(Int(1), Field("a.b.c"));
  ExpectObject(Obj({{"a", Obj({{"b", Obj({{"c", Int(1)}})}})}}), set);
  EXPECT_TRUE(empty->internalValue()->isEmpty());  // the receiver stays as it was

  // A non-object value on the way is replaced by an object.
  ObjectValuePtr with_string = Obj({{"a", Str("x")}, {"z", Int(0)}});
  ExpectObject(Obj({{"a", Obj({{"b", Int(5)}})}, {"z", Int(0)}}),
               with_string->objectBySettingValue(Int(5), Field("a.b")));

  // Siblings survive; an existing leaf is overwritten.
  ObjectValuePtr nested = Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(2)}})}});
  ExpectObject(Obj({{"a", Obj({{"b", Str("new")}, {"c", Int(2)}})}}),
               nested->objectBySettingValue(Str("new"), Field("a.b")));
  ExpectObject(Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(2)}})}, {"top", Null()}}),
               nested->objectBySettingValue(Null(), std::string("top")));
}

TEST(ObjectValueTest, SettingSharesUnchangedSubtrees) {
  ObjectValuePtr untouched = Obj({{"x", Int(1)}});
  ObjectValuePtr object = Obj({{"keep", untouched}, {"change", Obj({{"y", Int(2)}})}});
  ObjectValuePtr changed = object->objectBySettingValue(Int(3), Field("change.y"));
  EXPECT_EQ(untouched, changed->valueForPath(Field("keep")));
}

TEST(ObjectValueTest, DeleteByPath) {
  ObjectValuePtr object = Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(2)}})}, {"s", Str("x")}});
  ExpectObject(Obj({{"a", Obj({{"c", Int(2)}})}, {"s", Str("x")}}),
               object->objectByDeletingPath(Field("a.b")));
  ExpectObject(Obj({{"s", Str("x")}}), object->objectByDeletingPath(Field("a")));

  // Through a non-object or a missing field: the receiver itself.
  EXPECT_EQ(object, object->objectByDeletingPath(Field("s.b")));
  EXPECT_EQ(object, object->objectByDeletingPath(Field("missing.b")));
  // A missing top-level field: an equal object.
  ExpectObject(object, object->objectByDeletingPath(Field("missing")));
  // Deleting the last field of a nested object leaves the empty object there.
  ExpectObject(Obj({{"a", Obj()}}), Obj({{"a", Obj({{"b", Int(1)}})}})
                                        ->objectByDeletingPath(Field("a.b")));
}

TEST(ObjectValueTest, ApplyFieldMask) {
  ObjectValuePtr object = Obj({{"a", Obj({{"b", Int(1)}, {"c", Int(2)}})}, {"d", Int(3)}});
  ExpectObject(Obj({{"a", Obj({{"b", Int(1)}})}}),
               object->objectByApplyingFieldMask(FieldMask{Field("a.b")}));
  ExpectObject(Obj({{"a", Obj({{"b", Int(1)}})}, {"d", Int(3)}}),
               object->objectByApplyingFieldMask(FieldMask{Field("a.b"), Field("d"),
                                                           Field("nope.x")}));
  EXPECT_EQ(object, object->objectByApplyingFieldMask(FieldMask{FieldPath(), Field("d")}));
  EXPECT_EQ(VRVObjectValue::objectValue(), object->objectByApplyingFieldMask(FieldMask{}));
}

TEST(ObjectValueTest, FieldMaskHashAndText) {
  FieldMask mask{Field("b"), Field("a.c"), Field("b")};
  EXPECT_EQ(2u, mask.size());
  EXPECT_EQ("{ a.c b }", mask.ToString());
  EXPECT_EQ("{ }", FieldMask{}.ToString());
  size_t expected = 31 * (31 * 0 + Field("a.c").Hash()) + Field("b").Hash();
  EXPECT_EQ(31 * expected + 2, mask.Hash());
  EXPECT_EQ(0u, FieldMask{}.Hash());
}

TEST(ObjectValueTest, ManyFieldsStayOrderedAndReachable) {
  // Enough fields that the dictionary switches to its tree form.
  ObjectValuePtr object = Obj();
  for (int i = 0; i < 60; ++i) {
    object = object->objectBySettingValue(Int(i), Field("f" + std::to_string(i)));
  }
  EXPECT_EQ(60u, object->internalValue()->count());
  for (int i = 0; i < 60; i += 7) {
    EXPECT_TRUE(Int(i)->isEqual(*object->valueForPath(Field("f" + std::to_string(i)))));
  }
  ObjectValuePtr smaller = object->objectByDeletingPath(Field("f10"));
  EXPECT_EQ(59u, smaller->internalValue()->count());
  EXPECT_EQ(nullptr, smaller->valueForPath(Field("f10")));
}

class ObjectValueDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ObjectValueDeathTest, EmptyPathsAreRefused) {
  EXPECT_DEATH(Obj()->objectBySettingValue(Int(1), FieldPath()),
               "Cannot set value with an empty path \\(expected fieldPath.size\\(\\) > 0\\)");
  EXPECT_DEATH(Obj()->objectByDeletingPath(FieldPath()),
               "Cannot delete an empty path \\(expected fieldPath.size\\(\\) > 0\\)");
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
