// What protects the TCP management API: the API metadata (loaded into the
// runtime's containers and an authorization info) and the token handler built
// from the host's API public key.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/filters/authn_filter.h"
#include "runtime/ruvo/filters/authz_info.h"
#include "runtime/ruvo/log/logger.h"
#include "runtime/tirel/config.h"

namespace Zarna {

inline constexpr const char *kDefaultMetadataFile =
    "/usr/lib/talvor/ruvo/zarn_ruvo_agent_metadata.json";
inline constexpr const char *kDefaultTokenKeyFile =
    "/etc/talvor/cpservices/zarna/api-token.key.pub";

struct ApiSecurity {
   std::string metadataFile = kDefaultMetadataFile;
   Ruvo::Authn::TokenHandlerPtr tokenHandler;
};

// Reads "api/metadataFile" and "api/tokenKey" and loads the token key. False,
// with the line to log, when the key cannot be loaded: the agent must not serve an
// API it cannot protect.
bool LoadApiSecurity(const Tirel::Service::Settings &settings, const Ruvo::Log::LoggerPtr &logger,
                     ApiSecurity &out, std::string &error);

// Registers the CLI, metamodel and authentication sources of the metadata file and
// reads its authorization section. Stops the process when any of them fails.
std::shared_ptr<Ruvo::Authz::AuthzInfo> LoadApiMetadata(const std::string &path,
                                                        const Ruvo::Log::LoggerPtr &logger);

// Stops the process, as for a malformed file, when the authorization metadata
// names an operation that none of the bindings serves: such a file was written for
// another agent, and its privileges cannot be trusted to fit this one.
void VerifyAuthorizedOperationsAreServed(const std::vector<Ruvo::Core::ApiInterfacePtr> &bindings,
                                         const Ruvo::Authz::AuthzInfo &info,
                                         const std::string &path);

} // namespace Zarna
