// The port id's arithmetic, without a device tree: what a hub's location
// text, a chain of ports and two bus numbers make of it, up to where an
// INT64 can hold no more.
#include <gtest/gtest.h>

#include <cstdint>

#include "discovery/PortId.h"

TEST(PortIdTest, LocationTextsGiveTwoDigitPortsOrNone) {
  struct Case {
    const WCHAR* location;
    INT64 port;
  } cases[] = {
      {L"Port_#0003.Hub_#0002", 3},
      {L"Port_#0099.Hub_#0001", 99},
      {L"Port_#0100.Hub_#0001", PORT_UNREADABLE},  // no digit of base 100
      {L"Port_#-001.Hub_#0001", PORT_UNREADABLE},
      {L"Port_#0007", 7},
      {L"PCI bus 3, device 0, function 0", 0},  // names no port
      {L"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.port, PortNumberOfLocation(c.location)) << c.location;
  EXPECT_TRUE(IsRootHubId(L"USB\\ROOT_HUB30\\4&1A2B3C4D&0&0"));
  EXPECT_FALSE(IsRootHubId(L"USB\\VID_174C&PID_2362\\MSFT30"));
  EXPECT_FALSE(IsRootHubId(L"USB\\ROOT"));
}

TEST(PortIdTest, ChainsReverseSoTheHostControllerComesFirst) {
  EXPECT_EQ(103, PortIdOfChain(301));        // port 3 of controller 1
  EXPECT_EQ(10302, PortIdOfChain(20301));    // port 3 of a hub on port 2
  EXPECT_EQ(1201, PortIdOfChain(112));       // port 12 of controller 1: digits are base 100
  EXPECT_EQ(1, PortIdOfChain(100));          // a leaf port 0
  EXPECT_EQ(PORT_ID_UNKNOWN, PortIdOfChain(-1)) << "a chain that could not be read";
  // Reversed, a long chain whose controller number is two digits needs one
  // more digit than an INT64 has: unknown, never wrapped.
  EXPECT_EQ(PORT_ID_UNKNOWN, PortIdOfChain(1020304050607080910LL));
  EXPECT_EQ(1009080706050403LL, PortIdOfChain(304050607080910LL));

  EXPECT_EQ(420, AppendPortDigit(4, 20));
  const INT64 largest = INT64_MAX / 100;
  EXPECT_EQ(largest * 100 + INT64_MAX % 100, AppendPortDigit(largest, INT64_MAX % 100));
  EXPECT_EQ(-1, AppendPortDigit(largest, INT64_MAX % 100 + 1));
  EXPECT_EQ(-1, AppendPortDigit(largest + 1, 0));
  EXPECT_EQ(-1, AppendPortDigit(-1, 3)) << "an unknown chain stays unknown";

  EXPECT_EQ(301, PciePortIdOf(3, 4));
  EXPECT_EQ(2, PciePortIdOf(0, 2));
}
