#include "runtime/ruvo/core/method_result.h"

namespace Ruvo::Core {

std::shared_ptr<const MethodResult> MethodResult::GetInstance(Data::DataValuePtr output)
{
   if (!output) {
      output = Data::MakeVoid();
   }
   return std::shared_ptr<const MethodResult>(new MethodResult(std::move(output), nullptr, nullptr));
}

std::shared_ptr<const MethodResult>
MethodResult::GetTypedInstance(std::shared_ptr<const TypedOutput> output)
{
   if (!output) {
      return GetInstance(nullptr);
   }
   return std::shared_ptr<const MethodResult>(new MethodResult(nullptr, std::move(output), nullptr));
}

const Data::DataValuePtr &MethodResult::GetOutput() const
{
   if (mTyped) {
      std::call_once(mBuilt, [this] {
         mOutput = mTyped->ToValue();
         if (!mOutput) {
            mOutput = Data::MakeVoid();
         }
      });
   }
   return mOutput;
}

std::shared_ptr<const MethodResult> MethodResult::GetErrorInstance(Data::ErrorValuePtr error)
{
   if (!error) {
      error = Data::StdErrors::Make(Data::StdErrors::kError, {});
   }
   return std::shared_ptr<const MethodResult>(new MethodResult(nullptr, nullptr, std::move(error)));
}

std::string MethodResult::ToString() const
{
   return mError ? mError->ToString() : GetOutput()->ToString();
}

} // namespace Ruvo::Core
