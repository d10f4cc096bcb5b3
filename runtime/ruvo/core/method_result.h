// The outcome of one call and the callback that delivers it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/error_value.h"

namespace Ruvo::Core {

class MethodResult {
public:
   static std::shared_ptr<const MethodResult> GetInstance(Data::DataValuePtr output);
   static std::shared_ptr<const MethodResult> GetErrorInstance(Data::ErrorValuePtr error);

   // Exactly one of the two is set.
   const Data::DataValuePtr &GetOutput() const { return mOutput; }
   const Data::ErrorValuePtr &GetError() const { return mError; }
   bool IsError() const { return mError != nullptr; }
   std::string ToString() const;

private:
   MethodResult(Data::DataValuePtr output, Data::ErrorValuePtr error)
      : mOutput(std::move(output)), mError(std::move(error))
   {
   }
   Data::DataValuePtr mOutput;
   Data::ErrorValuePtr mError;
};

using MethodResultPtr = std::shared_ptr<const MethodResult>;

struct Progress {
   int64_t min = 0;
   int64_t max = 0;
   int64_t current = 0;
};

// Lets a streaming producer go on once the consumer has taken a partial result;
// empty when there is nothing to continue.
using Continuation = std::function<void()>;

// Called with a null result and a progress record for progress, and exactly once
// with a result at the end.
using AsyncApiResultCb =
   std::function<void(const MethodResultPtr &result, const Progress &progress, Continuation next)>;

} // namespace Ruvo::Core
