#include "runtime/ruvo/core/async_result.h"

#include "runtime/hostlib/log.h"

namespace Ruvo::Detail {

Data::ErrorValuePtr AbandonedResultError()
{
   return Data::StdErrors::Make(Data::StdErrors::kInternalServerError,
                                {CoreMessage::Make(MessageIds::kResultAbandoned, {"call"})},
                                "INTERNAL_SERVER_ERROR");
}

void ReportSecondCompletion()
{
#ifndef NDEBUG
   Panic("VERIFY %s:%d\n", "runtime/ruvo/core/async_result", __LINE__);
#endif
}

} // namespace Ruvo::Detail
