#include "apps/zarna/ruvo/provider/local_caller_log.h"

#include "runtime/hostlib/log.h"

namespace Zarna {

void LocalCallerLogProvider::Invoke(const Ruvo::Core::MethodIdentifier &method,
                                    const Ruvo::Data::DataValuePtr &input,
                                    const Ruvo::Core::ExecutionContextPtr &context,
                                    Ruvo::Core::AsyncApiResultCb cb)
{
   const auto *peer =
       context && context->GetPeerCredentials() ? &*context->GetPeerCredentials() : nullptr;
   if (peer != nullptr) {
      Log_Level(125, "Local caller uid %u pid %d\n", peer->uid, peer->pid);
   } else {
      Log_Level(115, "Local caller not known to the kernel\n");
   }
   mNext->Invoke(method, input, context, std::move(cb));
}

} // namespace Zarna
