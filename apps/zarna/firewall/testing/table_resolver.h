// A resolver for tests that answers from a table: the address texts of each host
// in resolver order (the family by the text's form; "" stands for an address of
// a family the firewall does not know). Hosts not in the table do not resolve.
#pragma once

#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "apps/zarna/firewall/host_resolver.h"

namespace ZarnaTesting {

class TableResolver : public Zarna::HostResolver {
public:
   int Resolve(const std::string &hostname, const addrinfo &hints,
               std::vector<Zarna::ResolvedAddress> &addresses) override
   {
      lastHints = hints;
      auto it = table.find(hostname);
      if (it == table.end()) {
         return EAI_NONAME;
      }
      for (const std::string &text : it->second) {
         Zarna::ResolvedAddress resolved;
         if (text.empty()) {
            resolved.family = AF_UNIX;
         } else if (text.find(':') == std::string::npos) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&resolved.address);
            resolved.family = v4->sin_family = AF_INET;
            inet_pton(AF_INET, text.c_str(), &v4->sin_addr);
         } else {
            auto *v6 = reinterpret_cast<sockaddr_in6 *>(&resolved.address);
            resolved.family = v6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr);
         }
         addresses.push_back(resolved);
      }
      return 0;
   }

   std::map<std::string, std::vector<std::string>> table;
   addrinfo lastHints{};
};

} // namespace ZarnaTesting
