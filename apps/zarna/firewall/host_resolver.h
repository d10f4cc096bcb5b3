// Name resolution for the firewall allow-list, replaceable so tests can make it
// fail or return chosen addresses.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

namespace Zarna {

struct ResolvedAddress {
   int family = AF_UNSPEC;
   sockaddr_storage address{};
};

class HostResolver {
public:
   virtual ~HostResolver() = default;
   // getaddrinfo's contract: 0 with the addresses in resolver order, or an EAI_* code.
   virtual int Resolve(const std::string &hostname, const addrinfo &hints,
                       std::vector<ResolvedAddress> &addresses) = 0;
   virtual std::string ErrorText(int code) const { return gai_strerror(code); }
};

// getaddrinfo, gai_strerror, freeaddrinfo.
class SystemHostResolver : public HostResolver {
public:
   int Resolve(const std::string &hostname, const addrinfo &hints,
               std::vector<ResolvedAddress> &addresses) override;
};

// Installs a resolver (nullptr: the system one) and returns the previous one.
std::shared_ptr<HostResolver> SetHostResolver(std::shared_ptr<HostResolver> resolver);
std::shared_ptr<HostResolver> GetHostResolver();

} // namespace Zarna
