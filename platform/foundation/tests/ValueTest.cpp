#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Value, KindsAndTypedAccessors) {
  EXPECT_TRUE(Value().isNull());
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
  EXPECT_EQ(Value("text").kind(), Value::Kind::String);  // not bool
  EXPECT_EQ(Value(true).kind(), Value::Kind::Bool);
  EXPECT_EQ(Value(size_t{3}).kind(), Value::Kind::Integer);
  EXPECT_EQ(Value(2.0).kind(), Value::Kind::Real);

  Value i(int64_t{-9});
  EXPECT_EQ(i.asInteger(), std::optional<int64_t>(-9));
  EXPECT_EQ(i.asReal(), std::optional<double>(-9.0));  // integers convert to real
  EXPECT_FALSE(i.asBool());
  EXPECT_EQ(i.asString(), nullptr);

  Value r(1.5);
  EXPECT_FALSE(r.asInteger());  // reals do not silently truncate
  Value d = Value::data("abc");
  EXPECT_EQ(d.asString(), nullptr);
  ASSERT_NE(d.asData(), nullptr);
  EXPECT_NE(d, Value("abc"));  // data and string differ even with equal bytes
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(true));
}

TEST(Value, DeepEqualityAndCopyIndependence) {
  Value a = Dictionary{{"list", Array{1, "x", Dictionary{{"k", Date{5}}}}}};
  Value b = a;
  EXPECT_EQ(a, b);
  b.asMutableDictionary()->at("list").asMutableArray()->push_back(2);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find("list")->asArray()->size(), 3u);  // the copy did not change the original
  EXPECT_EQ(b.find("list")->asArray()->size(), 4u);

  Value c = Dictionary{{"list", Array{1, "x", Dictionary{{"k", Date{6}}}}}};
  EXPECT_NE(a, c);
  EXPECT_EQ(a.find("missing"), nullptr);
  EXPECT_EQ(Value(1).find("x"), nullptr);
}

TEST(Value, ObjectsCompareByIdentityAndDescribe) {
  struct Named : Object {
    std::string description() const override { return "<named>"; }
  };
  auto o = std::make_shared<Named>();
  Value a{std::shared_ptr<const Object>(o)}, b{std::shared_ptr<const Object>(o)};
  Value other(std::shared_ptr<const Object>(std::make_shared<Named>()));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  EXPECT_EQ(a.asObject(), o);
  EXPECT_EQ(a.description(), "<named>");
}

TEST(Value, Description) {
  Value v = Dictionary{{"name", "two words"}, {"n", 3}, {"ok", true}, {"list", Array{"a"}}};
  std::string d = v.description();
  EXPECT_NE(d.find("name = \"two words\";"), std::string::npos) << d;
  EXPECT_NE(d.find("n = 3;"), std::string::npos) << d;
  EXPECT_NE(d.find("ok = 1;"), std::string::npos) << d;
  EXPECT_EQ(Value(Date{0}).description(), "1970-01-01 00:00:00 +0000");
  EXPECT_EQ(Value().description(), "<null>");
}
