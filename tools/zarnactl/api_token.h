// The tokens zarnactl presents on TCP: minted per call from the host's API
// private key, valid for minutes, holding only the privileges the call needs.
#pragma once

#include <string>
#include <vector>

#include "runtime/ruvo/core/execution_context.h"

namespace Zarnactl {

inline constexpr const char *kDefaultTokenKey = "/etc/talvor/cpservices/zarna/api-token.key";

// The privileges the agent's metadata names for the calls zarnactl makes.
inline constexpr const char *kServicesRead = "Zarna.Services.Read";
inline constexpr const char *kServicesManage = "Zarna.Services.Manage";
inline constexpr const char *kProvidersRead = "Zarna.Providers.Read";
inline constexpr const char *kMetadataRead = "Zarna.Metadata.Read";
std::vector<std::string> AllPrivileges();

struct TokenKeyOption {
   std::string path = kDefaultTokenKey;
   bool given = false; // --token-key on the command line
};

// Puts a fresh token with `privileges` into the context's security context. A key
// named with --token-key must load; without it, a missing default key means the
// call goes without a token (the agent then refuses it and says why). False, with
// the reason, otherwise.
bool AttachApiToken(const TokenKeyOption &key, const std::vector<std::string> &privileges,
                    Ruvo::Core::ExecutionContext &context, std::string &error);

} // namespace Zarnactl
