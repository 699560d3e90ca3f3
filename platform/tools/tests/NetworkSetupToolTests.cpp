#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/tools/SimulatedMac.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

class NetworkSetupToolTest : public TempPlatformRootTest {
 protected:
  void SetUp() override {
    TempPlatformRootTest::SetUp();
    NetworkService wifi{"Wi-Fi", true, {"192.168.1.1"}, {}, false};
    NetworkService ethernet{"Ethernet", true, {"10.0.0.1"}, {"9.9.9.9"}, false};
    NetworkService bluetooth{"Bluetooth PAN", false, {}, {}, false};
    ASSERT_TRUE(SimulatedMac::writeNetworkServices({wifi, ethernet, bluetooth}));
  }
  std::vector<std::string> manual(const std::string& name) {
    auto s = SimulatedMac::networkService(name);
    EXPECT_TRUE(s.has_value()) << name;
    return s ? s->dnsServers : std::vector<std::string>{};
  }
};

TEST_F(NetworkSetupToolTest, ListsServicesInOrderWithDisabledOnesMarked) {
  Run r = run("networksetup -listallnetworkservices");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "An asterisk (*) denotes that a network service is disabled.\n"
            "Wi-Fi\nEthernet\n*Bluetooth PAN\n");
  // The application's filter leaves exactly the enabled services.
  EXPECT_EQ(run("networksetup -listallnetworkservices | grep -v \"*\"").out, "Wi-Fi\nEthernet\n");
}

TEST_F(NetworkSetupToolTest, ListWithoutStateShowsOnlyTheHeader) {
  std::filesystem::remove(SimulatedMac::networkStatePath());
  Run r = run("networksetup -listallnetworkservices");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "An asterisk (*) denotes that a network service is disabled.\n");
}

TEST_F(NetworkSetupToolTest, SetGetAndClearDnsServers) {
  Run set = run("networksetup -setdnsservers 'Wi-Fi' '1.1.1.1' '1.0.0.1'");
  EXPECT_EQ(set.status, 0);
  EXPECT_EQ(set.out, "");
  EXPECT_EQ(manual("Wi-Fi"), (std::vector<std::string>{"1.1.1.1", "1.0.0.1"}));
  EXPECT_EQ(run("networksetup -getdnsservers 'Wi-Fi'").out, "1.1.1.1\n1.0.0.1\n");
  // Other services are untouched.
  EXPECT_EQ(manual("Ethernet"), std::vector<std::string>{"9.9.9.9"});

  // IPv6 resolvers are addresses too.
  EXPECT_EQ(run("networksetup -setdnsservers Wi-Fi 2606:4700:4700::1111").status, 0);
  EXPECT_EQ(manual("Wi-Fi"), std::vector<std::string>{"2606:4700:4700::1111"});

  Run clear = run("networksetup -setdnsservers 'Wi-Fi' 'empty'");
  EXPECT_EQ(clear.status, 0);
  EXPECT_EQ(clear.out, "");
  EXPECT_TRUE(manual("Wi-Fi").empty());
  Run get = run("networksetup -getdnsservers 'Wi-Fi'");
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, "There aren't any DNS Servers set on Wi-Fi.\n");
  // The DHCP servers are not manual servers and stay as they were.
  EXPECT_EQ(SimulatedMac::networkService("Wi-Fi")->dhcpDnsServers, std::vector<std::string>{"192.168.1.1"});
}

TEST_F(NetworkSetupToolTest, EmptyClearsOnlyInPlaceOfTheFirstAddress) {
  EXPECT_EQ(run("networksetup -setdnsservers Ethernet empty ''").status, 0);
  EXPECT_TRUE(manual("Ethernet").empty());

  ASSERT_EQ(run("networksetup -setdnsservers Ethernet 9.9.9.9").status, 0);
  Run r = run("networksetup -setdnsservers Ethernet '' empty");
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, " is not a valid IP address.\n** Error: The parameters were not valid.\n");
  EXPECT_EQ(manual("Ethernet"), std::vector<std::string>{"9.9.9.9"});
}

TEST_F(NetworkSetupToolTest, UnknownServiceIsAnErrorForEveryCommand) {
  const std::string expected = "Fiber is not a recognized network service.\n** Error: The parameters were not valid.\n";
  for (const char* command : {"networksetup -setdnsservers Fiber 1.1.1.1", "networksetup -setdnsservers Fiber empty",
                              "networksetup -getdnsservers Fiber", "networksetup -setv6off Fiber"}) {
    Run r = run(command);
    EXPECT_NE(r.status, 0) << command;
    EXPECT_EQ(r.out, expected) << command;
  }
  // Names are matched exactly.
  EXPECT_NE(run("networksetup -getdnsservers wi-fi").status, 0);
  auto services = SimulatedMac::readNetworkServices();
  ASSERT_TRUE(services);
  EXPECT_EQ(services->size(), 3u);
}

TEST_F(NetworkSetupToolTest, InvalidAddressLeavesTheServersUnchanged) {
  for (const char* bad : {"300.1.1.1", "1.1.1", "dns.example", "1.1.1.1.1", "127.0.0.1 "}) {
    Run r = run("networksetup -setdnsservers Ethernet 1.1.1.1 " + shellQuote(bad));
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_EQ(r.out, std::string(bad) + " is not a valid IP address.\n** Error: The parameters were not valid.\n");
    EXPECT_EQ(manual("Ethernet"), std::vector<std::string>{"9.9.9.9"}) << bad;
  }
}

TEST_F(NetworkSetupToolTest, SetV6OffMarksOnlyThatService) {
  Run r = run("networksetup -setv6off \"Wi-Fi\" ");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(SimulatedMac::networkService("Wi-Fi")->ipv6Off);
  EXPECT_FALSE(SimulatedMac::networkService("Ethernet")->ipv6Off);
  EXPECT_EQ(manual("Ethernet"), std::vector<std::string>{"9.9.9.9"});
}

TEST_F(NetworkSetupToolTest, ServiceNamesWithQuotesAndSpacesAreOneWord) {
  const std::string odd = "Bob's \"USB\" $HOME `x` LAN";
  ASSERT_TRUE(SimulatedMac::updateNetworkServices([&](std::vector<NetworkService>& s) {
    s.push_back({odd, true, {"172.16.0.1"}, {}, false});
    return true;
  }));
  EXPECT_EQ(run("networksetup -listallnetworkservices | grep -v \"*\"").out, "Wi-Fi\nEthernet\n" + odd + "\n");
  Run set = run("networksetup -setdnsservers " + shellQuote(odd) + " " + shellQuote("1.1.1.1"));
  EXPECT_EQ(set.status, 0) << set.out;
  EXPECT_EQ(manual(odd), std::vector<std::string>{"1.1.1.1"});
  EXPECT_EQ(run("networksetup -getdnsservers " + shellQuote(odd)).out, "1.1.1.1\n");
  EXPECT_EQ(run("networksetup -setdnsservers " + shellQuote(odd) + " empty").status, 0);
  EXPECT_EQ(run("networksetup -getdnsservers " + shellQuote(odd)).out,
            "There aren't any DNS Servers set on " + odd + ".\n");
  // A prefix of the name is a different service.
  EXPECT_NE(run("networksetup -getdnsservers 'Bob'").status, 0);
}

TEST_F(NetworkSetupToolTest, ConcurrentSetsFromSeveralProcessesKeepEveryChange) {
  std::vector<NetworkService> services;
  for (int i = 0; i < 8; ++i) services.push_back({"Service " + std::to_string(i), true, {}, {}, false});
  ASSERT_TRUE(SimulatedMac::writeNetworkServices(services));
  // Each process rewrites its own service several times; the last write of each must survive.
  std::string script;
  for (int i = 0; i < 8; ++i) {
    script += "( for n in 1 2 3 4 5; do networksetup -setdnsservers 'Service " + std::to_string(i) + "' 10.0." +
              std::to_string(i) + ".$n 10.1." + std::to_string(i) + ".$n || exit 1; done ) &\npids=\"$pids $!\"\n";
  }
  script += "fail=0; for pid in $pids; do wait $pid || fail=1; done; exit $fail";
  Run r = run(script);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto after = SimulatedMac::readNetworkServices();
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ((*after)[i].name, "Service " + std::to_string(i));
    EXPECT_EQ((*after)[i].dnsServers, (std::vector<std::string>{"10.0." + std::to_string(i) + ".5",
                                                                "10.1." + std::to_string(i) + ".5"}));
  }
}

TEST_F(NetworkSetupToolTest, MissingArgumentsAndUnknownCommandsFail) {
  Run noAddress = run("networksetup -setdnsservers Wi-Fi");
  EXPECT_NE(noAddress.status, 0);
  EXPECT_EQ(noAddress.out, "Usage: networksetup -setdnsservers <networkservice> <dns1> [dns2] [...]\n");
  EXPECT_NE(run("networksetup -getdnsservers").status, 0);
  EXPECT_NE(run("networksetup -setv6off").status, 0);
  Run unknown = run("networksetup -setproxy Wi-Fi");
  EXPECT_NE(unknown.status, 0);
  EXPECT_EQ(unknown.out.rfind("** Error: Unknown command -setproxy\n", 0), 0u) << unknown.out;
  EXPECT_NE(run("networksetup").status, 0);
}

TEST_F(NetworkSetupToolTest, MalformedStateIsReportedAndNeverOverwritten) {
  const std::string broken = "{\"services\": [{\"name\": 7}]}";
  writeFile(SimulatedMac::networkStatePath(), broken);
  for (const char* command : {"networksetup -listallnetworkservices", "networksetup -setdnsservers Wi-Fi 1.1.1.1",
                              "networksetup -getdnsservers Wi-Fi"}) {
    Run r = run(command);
    EXPECT_NE(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind("** Error: ", 0), 0u) << command << ": " << r.out;
  }
  EXPECT_EQ(readFile(SimulatedMac::networkStatePath()), broken);
}

}  // namespace
}  // namespace platform
