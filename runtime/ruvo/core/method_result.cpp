#include "runtime/ruvo/core/method_result.h"

namespace Ruvo::Core {

std::shared_ptr<const MethodResult> MethodResult::GetInstance(Data::DataValuePtr output)
{
   if (!output) {
      output = Data::MakeVoid();
   }
   return std::shared_ptr<const MethodResult>(new MethodResult(std::move(output), nullptr));
}

std::shared_ptr<const MethodResult> MethodResult::GetErrorInstance(Data::ErrorValuePtr error)
{
   if (!error) {
      error = Data::StdErrors::Make(Data::StdErrors::kError, {});
   }
   return std::shared_ptr<const MethodResult>(new MethodResult(nullptr, std::move(error)));
}

std::string MethodResult::ToString() const
{
   return mError ? mError->ToString() : mOutput->ToString();
}

} // namespace Ruvo::Core
