#include <gtest/gtest.h>

#include "platform/tools/SimulatedMac.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

using ScutilToolTest = TempPlatformRootTest;

const char* const kNameservers = "scutil --dns | grep nameserver | awk '{print $3}'";

TEST_F(ScutilToolTest, OneResolverPerActiveServiceManualBeforeDhcp) {
  ASSERT_TRUE(SimulatedMac::writeNetworkServices({
      {"Wi-Fi", true, {"192.168.1.1", "192.168.1.2"}, {}, false},  // DHCP only
      {"Ethernet", true, {"10.0.0.1"}, {"1.1.1.1"}, false},         // manual hides DHCP
      {"Thunderbolt Bridge", false, {"172.16.0.1"}, {"8.8.8.8"}, false},
      {"VPN", true, {}, {}, false},  // nothing to resolve with
  }));
  Run r = run("scutil --dns");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "DNS configuration\n\n"
            "resolver #1\n"
            "  nameserver[0] : 192.168.1.1\n"
            "  nameserver[1] : 192.168.1.2\n"
            "  flags    : Request A records\n"
            "  reach    : 0x00000002 (Reachable)\n\n"
            "resolver #2\n"
            "  nameserver[0] : 1.1.1.1\n"
            "  flags    : Request A records\n"
            "  reach    : 0x00000002 (Reachable)\n\n");
  EXPECT_EQ(run(kNameservers).out, "192.168.1.1\n192.168.1.2\n1.1.1.1\n");
}

TEST_F(ScutilToolTest, FollowsNetworksetupChanges) {
  ASSERT_TRUE(SimulatedMac::writeNetworkServices({{"Wi-Fi", true, {"192.168.1.1"}, {}, false},
                                                  {"Ethernet", true, {"10.0.0.1"}, {}, false}}));
  ASSERT_EQ(run("networksetup -setdnsservers Wi-Fi 127.0.0.1").status, 0);
  EXPECT_EQ(run(kNameservers).out, "127.0.0.1\n10.0.0.1\n");
  ASSERT_EQ(run("networksetup -setdnsservers Wi-Fi empty").status, 0);
  EXPECT_EQ(run(kNameservers).out, "192.168.1.1\n10.0.0.1\n");
}

TEST_F(ScutilToolTest, NoActiveServiceGivesAnEmptyConfiguration) {
  Run none = run("scutil --dns");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "DNS configuration\n\n");
  ASSERT_TRUE(SimulatedMac::writeNetworkServices({{"Wi-Fi", false, {"192.168.1.1"}, {"1.1.1.1"}, false}}));
  EXPECT_EQ(run(kNameservers).out, "");
}

TEST_F(ScutilToolTest, OtherArgumentsAndBadStateFail) {
  Run r = run("scutil --proxy");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(run("scutil").status, 0);
  writeFile(SimulatedMac::networkStatePath(), "not json");
  Run bad = run("scutil --dns");
  EXPECT_NE(bad.status, 0);
  EXPECT_EQ(bad.out, "");
  EXPECT_NE(bad.err, "");
}

}  // namespace
}  // namespace platform
