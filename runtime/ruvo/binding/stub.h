// Client side of a binding: typed calls over any provider.
#pragma once

#include <memory>
#include <string>

#include "runtime/ruvo/binding/operation.h"
#include "runtime/ruvo/core/api_provider.h"

namespace Ruvo::Binding {

namespace Detail {
Data::ErrorValuePtr InvalidArgumentError(const CodecContext &codec);
Data::ErrorValuePtr InvalidResponseError(const CodecContext &codec);
Data::ErrorValuePtr NoProviderError();
} // namespace Detail

// A provider together with the activation used when a call names none.
class AsyncApiStub {
public:
   explicit AsyncApiStub(Core::AsyncApiProviderPtr provider, Core::AsyncActivationPtr activation = nullptr)
      : mProvider(std::move(provider)),
        mActivation(activation ? std::move(activation) : std::make_shared<Core::AsyncActivation>())
   {
   }
   const Core::AsyncApiProviderPtr &GetProvider() const { return mProvider; }
   const Core::AsyncActivationPtr &GetActivation() const { return mActivation; }

   template <class Decl, class Op, class... Args>
   void Call(const Core::AsyncActivationPtr &activation, AsyncResult<typename Op::Result> result,
             const Args &...args) const
   {
      CodecContext codec;
      Data::DataValuePtr input = Op::EncodeInput(codec, args...);
      if (!input) {
         result.SetError(Detail::InvalidArgumentError(codec));
         return;
      }
      if (!mProvider) {
         result.SetError(Detail::NoProviderError());
         return;
      }
      const auto &context = (activation ? activation : mActivation)->GetExecutionContext();
      mProvider->Invoke(
         Core::MethodIdentifier(std::string(Decl::kId), std::string(Op::kName)), input, context,
         [result](const Core::MethodResultPtr &r, const Core::Progress &progress,
                  Core::Continuation) mutable {
            if (!r) {
               result.SetProgress(progress);
            } else if (r->IsError()) {
               result.SetError(r->GetError());
            } else {
               typename Op::Result value{};
               CodecContext out;
               if (FromDataValue(r->GetOutput(), value, out)) {
                  result.SetResult(std::move(value));
               } else {
                  result.SetError(Detail::InvalidResponseError(out));
               }
            }
         });
   }

private:
   Core::AsyncApiProviderPtr mProvider;
   Core::AsyncActivationPtr mActivation;
};

template <class Decl>
class ServiceStub {
public:
   explicit ServiceStub(std::shared_ptr<AsyncApiStub> api) : mApi(std::move(api))
   {
      Decl::RegisterSignatures();
   }
   ServiceStub(Core::AsyncApiProviderPtr provider, Core::AsyncActivationPtr activation = nullptr)
      : ServiceStub(std::make_shared<AsyncApiStub>(std::move(provider), std::move(activation)))
   {
   }

protected:
   template <class Op, class... Args>
   void Call(const Core::AsyncActivationPtr &activation, AsyncResult<typename Op::Result> result,
             const Args &...args) const
   {
      mApi->Call<Decl, Op>(activation, std::move(result), args...);
   }

private:
   std::shared_ptr<AsyncApiStub> mApi;
};

} // namespace Ruvo::Binding
