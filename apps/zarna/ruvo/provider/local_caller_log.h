// A layer of the local-socket chain that names the caller of each call (uid and
// pid, as the kernel reported them) in a line under the call's operation id, so
// that key operations can be traced to a local user.
#pragma once

#include <string>

#include "runtime/ruvo/core/api_provider.h"

namespace Zarna {

class LocalCallerLogProvider : public Ruvo::Core::AsyncApiProvider {
public:
   explicit LocalCallerLogProvider(Ruvo::Core::AsyncApiProviderPtr next) : mNext(std::move(next)) {}

   std::string GetName() const override { return "LocalCallerLogProvider"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &context,
               Ruvo::Core::AsyncApiResultCb cb) override;

private:
   Ruvo::Core::AsyncApiProviderPtr mNext;
};

} // namespace Zarna
