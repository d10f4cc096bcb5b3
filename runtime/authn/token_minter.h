// Makes management API tokens: what zarnactl and scripts present to the agent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "runtime/authn/es256.h"

namespace Brim::Authn {

inline constexpr int64_t kDefaultTokenLifetimeSec = 300;

struct MintSpec {
   std::vector<std::string> privileges;
   int64_t lifetimeSec = kDefaultTokenLifetimeSec;
   std::string subject = "zarnactl";
   int64_t now = 0; // seconds since the epoch; 0: the system clock
};

// An ES256 token for the API audience with iat, nbf, exp, sub, jti and privileges.
bool MintApiToken(EVP_PKEY *privateKey, const MintSpec &spec, std::string &token,
                  std::string &error);

// Signs any header and claims with ES256, as given: tests make odd tokens with it.
bool SignCompactJwt(EVP_PKEY *privateKey, const nlohmann::json &header,
                    const nlohmann::json &claims, std::string &token);

} // namespace Brim::Authn
