#include "runtime/hostctl/network_address.h"

#include <gtest/gtest.h>

#include "runtime/hostctl/host_ctl_exception.h"

namespace HostCtl::Network {
namespace {

TEST(NetworkAddressTest, AcceptsOnlyExactAddressTexts)
{
   EXPECT_TRUE(Ipv4Address::IsValidAddress("192.0.2.1"));
   EXPECT_TRUE(Ipv6Address::IsValidAddress("2001:db8::1"));
   EXPECT_TRUE(Ipv6Address::IsValidAddress("::ffff:192.0.2.1"));
   for (const std::string &bad :
        {std::string(), std::string("192.0.2"), std::string("192.0.2.1/24"), std::string("0x7f.0.0.1"),
         std::string("192.0.2.1 "), std::string("192.0.2.256"), std::string("192.0.2.1\0.5", 12),
         std::string("host.example"), std::string(100, '1')}) {
      EXPECT_FALSE(Ipv4Address::IsValidAddress(bad)) << bad;
      EXPECT_FALSE(Ipv6Address::IsValidAddress(bad)) << bad;
      EXPECT_THROW(ParseIpAddress(bad), Lib::HostCtlException) << bad;
   }
   EXPECT_FALSE(Ipv6Address::IsValidAddress("fe80::1%eth0")) << "zone indexes are not addresses";
   EXPECT_FALSE(Ipv6Address::IsValidAddress("2001:db8::/32"));
}

TEST(NetworkAddressTest, ComparesByValueAndPrintsCanonically)
{
   EXPECT_EQ(Ipv6Address("2001:DB8:0:0::1"), Ipv6Address("2001:db8::1"));
   EXPECT_EQ(Ipv6Address("2001:DB8:0:0::1").ToString(), "2001:db8::1");
   EXPECT_NE(Ipv6Address("::1"), Ipv6Address("::2"));
   EXPECT_EQ(Ipv4Address("10.0.0.1"), Ipv4Address("10.0.0.1"));
   EXPECT_NE(Ipv4Address("10.0.0.1"), Ipv4Address("10.0.0.2"));
   EXPECT_TRUE(std::holds_alternative<Ipv4Address>(ParseIpAddress("10.0.0.1")));
   EXPECT_TRUE(std::holds_alternative<Ipv6Address>(ParseIpAddress("::ffff:10.0.0.1")));
   try {
      Ipv4Address bad(std::string("1.2.3.4\n\x01", 9));
      FAIL();
   } catch (const Lib::HostCtlException &e) {
      EXPECT_EQ(e.GetDetailedMessage(), "Invalid IPv4 address '1.2.3.4\\x0a\\x01'") << "control bytes are not echoed";
   }
}

} // namespace
} // namespace HostCtl::Network
