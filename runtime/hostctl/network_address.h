// IPv4 and IPv6 addresses, parsed strictly and compared by value.
#pragma once

#include <netinet/in.h>

#include <string>
#include <variant>

namespace HostCtl::Network {

class Ipv4Address {
public:
   // Dotted-quad only ("1.2.3.4"); no shorthand, no octal, no trailing bytes.
   static bool IsValidAddress(const std::string &text);

   // HostCtlException when the text is not valid.
   explicit Ipv4Address(const std::string &text);
   explicit Ipv4Address(const in_addr &address) : mAddress(address) {}

   std::string ToString() const;
   const in_addr &GetRaw() const { return mAddress; }
   bool operator==(const Ipv4Address &other) const;
   bool operator!=(const Ipv4Address &other) const { return !(*this == other); }

private:
   in_addr mAddress{};
};

class Ipv6Address {
public:
   // Any RFC 4291 text form ("::1", "fd00:0::1", "::ffff:1.2.3.4"); no zone index.
   static bool IsValidAddress(const std::string &text);

   explicit Ipv6Address(const std::string &text);
   explicit Ipv6Address(const in6_addr &address) : mAddress(address) {}

   // The canonical (RFC 5952) form.
   std::string ToString() const;
   const in6_addr &GetRaw() const { return mAddress; }
   bool operator==(const Ipv6Address &other) const;
   bool operator!=(const Ipv6Address &other) const { return !(*this == other); }

private:
   in6_addr mAddress{};
};

using IpAddress = std::variant<Ipv4Address, Ipv6Address>;

// IPv4 first, then IPv6; HostCtlException when the text is neither.
IpAddress ParseIpAddress(const std::string &text);
std::string ToString(const IpAddress &address);

} // namespace HostCtl::Network
