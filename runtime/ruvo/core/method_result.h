// The outcome of one call and the callback that delivers it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/ruvo/data/data_value.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/value_emitter.h"

namespace Ruvo::Core {

// A result still in its native form, checked by its codecs: a serializer may write
// it straight from there; its data value is built on first demand.
class TypedOutput {
public:
   virtual ~TypedOutput() = default;
   virtual void Emit(Data::ValueEmitter &emitter) const = 0;
   virtual Data::DataValuePtr ToValue() const = 0;
};

class MethodResult {
public:
   static std::shared_ptr<const MethodResult> GetInstance(Data::DataValuePtr output);
   static std::shared_ptr<const MethodResult> GetTypedInstance(std::shared_ptr<const TypedOutput> output);
   static std::shared_ptr<const MethodResult> GetErrorInstance(Data::ErrorValuePtr error);

   // Exactly one of the two is set.
   const Data::DataValuePtr &GetOutput() const;
   const Data::ErrorValuePtr &GetError() const { return mError; }
   bool IsError() const { return mError != nullptr; }
   // The native form of the output, when the result was made from one.
   const TypedOutput *GetTypedOutput() const { return mTyped.get(); }
   std::string ToString() const;

private:
   MethodResult(Data::DataValuePtr output, std::shared_ptr<const TypedOutput> typed,
                Data::ErrorValuePtr error)
      : mOutput(std::move(output)), mTyped(std::move(typed)), mError(std::move(error))
   {
   }
   mutable std::once_flag mBuilt;
   mutable Data::DataValuePtr mOutput;
   std::shared_ptr<const TypedOutput> mTyped;
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
