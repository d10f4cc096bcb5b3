// Records of the configured peers (attestation and key provider services) as the
// trust state keeps them. Shared records are immutable once stored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Zarna {

// A peer address. An absent port means 443 wherever ports are compared or used.
struct NetworkAddress {
   std::string hostname;
   std::optional<int64_t> port;
};

inline constexpr int64_t kDefaultServicePort = 443;

inline int64_t EffectivePort(const NetworkAddress &address)
{
   return address.port.value_or(kDefaultServicePort);
}

// Same hostname text and same port, an absent port counting as 443.
inline bool SameEndpoint(const NetworkAddress &a, const NetworkAddress &b)
{
   return a.hostname == b.hostname && EffectivePort(a) == EffectivePort(b);
}

// The trusted CA chain of a peer: PEM texts, root first.
struct X509CertChain {
   std::vector<std::string> certs;
};

struct ServiceInfo {
   std::shared_ptr<const NetworkAddress> address;
   std::shared_ptr<const X509CertChain> certChain;
   std::string group;
};

struct ServiceSummary {
   std::string instanceId;
   std::shared_ptr<const NetworkAddress> address;
   std::string group;
};

// Listing criteria; an absent criterion accepts everything, a present empty one nothing.
struct ServiceFilter {
   std::optional<std::set<std::string>> instanceIds;
   std::optional<std::vector<NetworkAddress>> addresses;
   std::optional<std::set<std::string>> groups;
};

bool FilterAccepts(const ServiceFilter &filter, const ServiceSummary &service);

// Result of inserting or deleting a service; the management API maps each value
// to its own error.
enum class ServiceResult : int32_t {
   Ok = 0,
   AlreadyExists = 1,
   ConfigStoreFailure = 2,
   InvalidCertificates = 3,
   NotFound = 4,
   GroupAlreadyServed = 5,
   FirewallFailure = 6,
};

} // namespace Zarna
