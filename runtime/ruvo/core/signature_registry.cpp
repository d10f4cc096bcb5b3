#include "runtime/ruvo/core/signature_registry.h"

namespace Ruvo::Core {

SignatureRegistry &SignatureRegistry::Instance()
{
   static SignatureRegistry *registry = new SignatureRegistry; // lives until exit
   return *registry;
}

void SignatureRegistry::Register(const std::string &methodText, OperationSignature signature)
{
   Hostlib::MutexLock guard(mLock);
   mSignatures[methodText] = signature;
}

std::optional<OperationSignature> SignatureRegistry::Find(std::string_view methodText) const
{
   Hostlib::MutexLock guard(mLock);
   auto it = mSignatures.find(methodText);
   if (it == mSignatures.end()) {
      return std::nullopt;
   }
   return it->second;
}

} // namespace Ruvo::Core
