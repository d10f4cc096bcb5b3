// The provider interface every layer of a call chain implements, and the
// interface bindings a local provider dispatches to.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/data/type_desc.h"

namespace Ruvo::Core {

class AsyncApiProvider {
public:
   virtual std::string GetName() const = 0;
   // Completes `cb` exactly once (possibly after progress reports, possibly later
   // and on another thread).
   virtual void Invoke(const MethodIdentifier &method, const Data::DataValuePtr &input,
                       const ExecutionContextPtr &context, AsyncApiResultCb cb) = 0;
   virtual ~AsyncApiProvider() = default;
};

using AsyncApiProviderPtr = std::shared_ptr<AsyncApiProvider>;

// One bound operation: reads its input value, runs the implementation, delivers
// the result value.
class ApiOperation {
public:
   virtual const Data::TypeDesc &InputType() const = 0;
   virtual const Data::TypeDesc &ResultType() const = 0;
   virtual void Invoke(const ExecutionContextPtr &context, const Data::DataValuePtr &input,
                       AsyncApiResultCb cb) const = 0;
   virtual ~ApiOperation() = default;
};

// One bound interface.
class ApiInterface {
public:
   virtual const std::string &GetIdentifier() const = 0;
   // nullptr, with the reason added to `messages`, when there is no such operation.
   virtual std::shared_ptr<const ApiOperation> FindOperation(
      const std::string &operation, std::vector<BaseMessage> &messages) const = 0;
   virtual ~ApiInterface() = default;
};

using ApiInterfacePtr = std::shared_ptr<const ApiInterface>;

} // namespace Ruvo::Core
