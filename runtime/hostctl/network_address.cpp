#include "runtime/hostctl/network_address.h"

#include <arpa/inet.h>

#include <cstring>

#include "runtime/hostctl/host_ctl_exception.h"
#include "runtime/hostlib/safe_text.h"

namespace HostCtl::Network {

namespace {

// inet_pton reads a C string, so text with an embedded NUL would be judged by
// its prefix alone.
bool Parse(int family, const std::string &text, void *out)
{
   if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string::npos) {
      return false;
   }
   return inet_pton(family, text.c_str(), out) == 1;
}

std::string Printable(const std::string &text)
{
   return Hostlib::EscapeText(text, 64);
}

} // namespace

bool Ipv4Address::IsValidAddress(const std::string &text)
{
   in_addr ignored{};
   return Parse(AF_INET, text, &ignored);
}

Ipv4Address::Ipv4Address(const std::string &text)
{
   if (!Parse(AF_INET, text, &mAddress)) {
      throw Lib::HostCtlException("Invalid IPv4 address '" + Printable(text) + "'");
   }
}

std::string Ipv4Address::ToString() const
{
   char text[INET_ADDRSTRLEN] = {};
   inet_ntop(AF_INET, &mAddress, text, sizeof text);
   return text;
}

bool Ipv4Address::operator==(const Ipv4Address &other) const
{
   return mAddress.s_addr == other.mAddress.s_addr;
}

bool Ipv6Address::IsValidAddress(const std::string &text)
{
   in6_addr ignored{};
   return Parse(AF_INET6, text, &ignored);
}

Ipv6Address::Ipv6Address(const std::string &text)
{
   if (!Parse(AF_INET6, text, &mAddress)) {
      throw Lib::HostCtlException("Invalid IPv6 address '" + Printable(text) + "'");
   }
}

std::string Ipv6Address::ToString() const
{
   char text[INET6_ADDRSTRLEN] = {};
   inet_ntop(AF_INET6, &mAddress, text, sizeof text);
   return text;
}

bool Ipv6Address::operator==(const Ipv6Address &other) const
{
   return std::memcmp(&mAddress, &other.mAddress, sizeof mAddress) == 0;
}

IpAddress ParseIpAddress(const std::string &text)
{
   if (Ipv4Address::IsValidAddress(text)) {
      return Ipv4Address(text);
   }
   if (Ipv6Address::IsValidAddress(text)) {
      return Ipv6Address(text);
   }
   throw Lib::HostCtlException("Invalid IP address '" + Printable(text) + "'");
}

std::string ToString(const IpAddress &address)
{
   return std::visit([](const auto &a) { return a.ToString(); }, address);
}

} // namespace HostCtl::Network
