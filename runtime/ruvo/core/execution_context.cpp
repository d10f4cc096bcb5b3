#include "runtime/ruvo/core/execution_context.h"

namespace Ruvo::Core {

const SecretString *SecurityContext::GetSecret(const std::string &key) const
{
   auto it = mSecrets.find(key);
   return it == mSecrets.end() ? nullptr : &it->second;
}

std::optional<std::string> ExecutionContext::GetApplicationValue(const std::string &key) const
{
   auto it = mApplication.find(key);
   if (it == mApplication.end()) {
      return std::nullopt;
   }
   return it->second;
}

} // namespace Ruvo::Core
