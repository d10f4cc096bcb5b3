// Reads a compact-serialised JWT (three base64url parts) into its header, its
// claims and the bytes its signature covers. Checks nothing about the claims.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Brim::Authn {

struct CompactJwt {
   nlohmann::json header;    // an object
   nlohmann::json claims;    // an object
   std::string signingInput; // "<header part>.<claims part>"
   std::string signature;    // raw bytes
};

// False, with a reason that quotes nothing of the token, when the text is over
// `maxBytes`, is not three base64url parts, or its header or claims are not JSON
// objects.
bool ParseCompactJwt(std::string_view token, size_t maxBytes, CompactJwt &out, std::string &reason);

} // namespace Brim::Authn
