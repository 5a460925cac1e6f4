#include "win32/network.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include "tests/support/test_machine.h"

namespace win32 {
namespace {

TEST(GetNetworkRoute, LooksUpHostAndPort) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  std::string address = "sentinel";
  EXPECT_FALSE(GetNetworkRoute("stat.orvane.example", 443, &address));  // no map at all
  EXPECT_EQ(GetTrustedCaFile(), "");

  Json::Value network(Json::objectValue);
  network["routes"]["Stat.Orvane.Example:443"] = "127.0.0.1:4000";
  network["routes"]["mk.orvane.example:8443"] = "127.0.0.1:4001";
  network["routes"]["bad.example:port"] = "127.0.0.1:4002";
  network["routes"]["number.example:443"] = 4003;
  network["routes"]["empty.example:443"] = "";
  network["ca_file"] = "/some/ca.pem";
  machine.SetFact("network", network);

  struct Case {
    const char* host;
    int port;
    const char* want;  // null: no route
  };
  const Case cases[] = {
      {"stat.orvane.example", 443, "127.0.0.1:4000"},
      {"STAT.ORVANE.EXAMPLE", 443, "127.0.0.1:4000"},  // names ignore case
      {"stat.orvane.example", 80, nullptr},
      {"mk.orvane.example", 8443, "127.0.0.1:4001"},
      {"mk.orvane.example", 443, nullptr},
      {"orvane.example", 443, nullptr},
      {"bad.example", 0, nullptr},
      {"number.example", 443, nullptr},
      {"empty.example", 443, nullptr},
  };
  for (const Case& c : cases) {
    address = "sentinel";
    EXPECT_EQ(GetNetworkRoute(c.host, c.port, &address), c.want != nullptr) << c.host;
    EXPECT_EQ(address, c.want ? c.want : "sentinel") << c.host;
  }
  EXPECT_EQ(GetTrustedCaFile(), "/some/ca.pem");
}

}  // namespace
}  // namespace win32
