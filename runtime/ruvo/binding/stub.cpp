#include "runtime/ruvo/binding/stub.h"

namespace Ruvo::Binding::Detail {

Data::ErrorValuePtr InvalidArgumentError(const CodecContext &codec)
{
   return Data::StdErrors::Make(Data::StdErrors::kInvalidArgument, codec.Messages(),
                                "INVALID_ARGUMENT");
}

Data::ErrorValuePtr InvalidResponseError(const CodecContext &codec)
{
   return Data::StdErrors::Make(Data::StdErrors::kInvalidRequest, codec.Messages(),
                                "INVALID_REQUEST");
}

Data::ErrorValuePtr NoProviderError()
{
   return Data::StdErrors::Make(Data::StdErrors::kInternalServerError,
                                {CoreMessage::Make(MessageIds::kInternalError, {"no provider"})},
                                "INTERNAL_SERVER_ERROR");
}

} // namespace Ruvo::Binding::Detail
