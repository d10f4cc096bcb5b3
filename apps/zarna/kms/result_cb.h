// The completion adapter of one remote call: keeps the result, or else the error.
#pragma once

#include <optional>
#include <utility>

#include "runtime/ruvo/core/async_result.h"

namespace Zarna {

template <class T> class ResultCb {
public:
   ResultCb(std::optional<T> &result, Ruvo::Data::ErrorValuePtr &error)
       : mResult(result), mError(error)
   {
   }
   void operator()(Ruvo::Outcome<T> &&outcome) const
   {
      if (outcome.value) {
         mResult = std::move(*outcome.value);
      } else if (outcome.error) {
         mError = outcome.error;
      }
   }

private:
   std::optional<T> &mResult;
   Ruvo::Data::ErrorValuePtr &mError;
};

} // namespace Zarna
