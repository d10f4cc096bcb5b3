#include "tools/zarnactl/api_token.h"

#include <sys/stat.h>

#include "runtime/authn/token_minter.h"

namespace Zarnactl {

std::vector<std::string> AllPrivileges()
{
   return {kServicesRead, kServicesManage, kProvidersRead, kMetadataRead};
}

bool AttachApiToken(const TokenKeyOption &key, const std::vector<std::string> &privileges,
                    Ruvo::Core::ExecutionContext &context, std::string &error)
{
   struct stat st {};
   if (!key.given && stat(key.path.c_str(), &st) != 0) {
      return true;
   }
   Brim::Authn::EcKeyPtr privateKey;
   if (!Brim::Authn::LoadEs256PrivateKey(key.path, privateKey, error)) {
      error = "cannot use the API token key: " + error;
      return false;
   }
   Brim::Authn::MintSpec spec;
   spec.privileges = privileges;
   std::string token;
   if (!Brim::Authn::MintApiToken(privateKey.get(), spec, token, error)) {
      return false;
   }
   auto &security = context.GetSecurityContext();
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString(token));
   std::fill(token.begin(), token.end(), '\0');
   return true;
}

} // namespace Zarnactl
