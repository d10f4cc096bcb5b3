#include "apps/zarna/kernel/resolve_key_work.h"

#include <string>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/zarna/kernel/rpc_channel.h"
#include "runtime/hostlib/log.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

// Key resolution (locator import, key provider call, kernel key cache) is not
// wired in yet: every request is answered as failed. This function is the one
// to replace.
void RunResolveKeyWork(const ResolveKeyWork &work)
{
   static Ths::Common::TirelRuvo::SequenceOpIdGenerator generator("resolveKey");
   Tirel::Service::ScopedLogContext opId(Ths::Common::TirelRuvo::kOpIdKey, generator.Next());
   Log_Level(130, "Request to resolve %s\n", LogSafeText(work.LocatorText()).c_str());
   RpcPostReply(work.MessageId(), work.replyInfo, kResolveFailureStatus, kReplyTries);
}

} // namespace Zarna
