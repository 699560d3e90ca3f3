#include <gtest/gtest.h>

#include "platform/foundation/Exception.h"
#include "sdk-core/DAVAppAssociationRegistration.h"

namespace {

struct Host : platform::Object {
  std::string description() const override { return "<Host>"; }
};
struct Thing : platform::Object {};

TEST(DAVAppAssociationRegistrationTest, OneObjectPerHostAndKeyMadeOnFirstRequest) {
  auto host = std::make_shared<Host>();
  auto otherHost = std::make_shared<Host>();
  int made = 0;
  auto make = [&made] {
    ++made;
    return std::make_shared<Thing>();
  };
  auto a = DAVAppAssociationRegistration::registeredObjectWithHost(host, "k", make);
  auto b = DAVAppAssociationRegistration::registeredObjectWithHost(host, "k", make);
  auto c = DAVAppAssociationRegistration::registeredObjectWithHost(host, "other", make);
  auto d = DAVAppAssociationRegistration::registeredObjectWithHost(otherHost, "k", make);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  EXPECT_EQ(made, 3);

  // No result keeps nothing: the next request tries again.
  int empties = 0;
  auto none = [&empties] {
    ++empties;
    return std::shared_ptr<platform::Object>();
  };
  EXPECT_EQ(DAVAppAssociationRegistration::registeredObjectWithHost(host, "empty", none), nullptr);
  EXPECT_EQ(DAVAppAssociationRegistration::registeredObjectWithHost(host, "empty", none), nullptr);
  EXPECT_EQ(empties, 2);
}

TEST(DAVAppAssociationRegistrationTest, ReenteringForTheSameKeyRaisesAndOtherKeysWork) {
  auto host = std::make_shared<Host>();
  std::string name, reason;
  std::shared_ptr<platform::Object> inner;
  auto outer = DAVAppAssociationRegistration::registeredObjectWithHost(host, "outer", [&] {
    inner = DAVAppAssociationRegistration::registeredObjectWithHost(host, "inner", [] { return std::make_shared<Thing>(); });
    try {
      DAVAppAssociationRegistration::registeredObjectWithHost(host, "outer", [] { return std::make_shared<Thing>(); });
    } catch (const platform::Exception& e) {
      name = e.name();
      reason = e.reason();
    }
    return std::make_shared<Thing>();
  });
  EXPECT_EQ(name, "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
  EXPECT_EQ(reason, "host: <Host> key: outer");
  EXPECT_TRUE(outer);
  EXPECT_EQ(inner, DAVAppAssociationRegistration::registeredObjectWithHost(host, "inner", [] { return nullptr; }));
}

TEST(DAVAppAssociationRegistrationTest, ObjectsGoWithTheirHost) {
  std::weak_ptr<platform::Object> weakThing;
  {
    auto host = std::make_shared<Host>();
    weakThing = DAVAppAssociationRegistration::registeredObjectWithHost(host, "k", [] { return std::make_shared<Thing>(); });
    EXPECT_FALSE(weakThing.expired());
  }
  // Any later call drops the associations of hosts that are gone.
  auto anotherHost = std::make_shared<Host>();
  DAVAppAssociationRegistration::registeredObjectWithHost(anotherHost, "k", [] { return std::make_shared<Thing>(); });
  EXPECT_TRUE(weakThing.expired());
}

}  // namespace
