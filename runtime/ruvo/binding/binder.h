// Server side of a binding: an implementation object exposed as an ApiInterface.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "runtime/ruvo/binding/operation.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/l10n/localizer.h"

namespace Ruvo::Binding {

namespace Detail {

// Error results leave the service here, so pending messages are rendered here, by
// the service's localizer in the caller's locale.
void DeliverError(const Core::AsyncApiResultCb &cb, const Data::ErrorValuePtr &error,
                  const std::vector<NamedMessageBuilder> &pending, const L10n::LocalizerPtr &localizer,
                  const Core::ExecutionContextPtr &context);
void DeliverInvalidInput(const Core::AsyncApiResultCb &cb, const CodecContext &codec);
void DeliverInvalidOutput(const Core::AsyncApiResultCb &cb, const CodecContext &codec);
Data::ErrorValuePtr ImplementationFailed(const char *what);

} // namespace Detail

// A checked native result.
template <class R>
class TypedResult final : public Core::TypedOutput {
public:
   explicit TypedResult(R value) : mValue(std::move(value)) {}
   void Emit(Data::ValueEmitter &emitter) const override
   {
      CodecContext ctx;
      Codec<R>::Emit(mValue, emitter, ctx);
   }
   Data::DataValuePtr ToValue() const override
   {
      CodecContext ctx;
      return ToDataValue(mValue, ctx);
   }

private:
   R mValue;
};

template <class Op, class Impl, class MemFn>
class BoundOperation : public Core::ApiOperation {
public:
   using Result = typename Op::Result;

   BoundOperation(std::shared_ptr<Impl> impl, MemFn fn, L10n::LocalizerPtr localizer)
      : mImpl(std::move(impl)), mFn(fn), mLocalizer(std::move(localizer))
   {
   }
   const Data::TypeDesc &InputType() const override { return Op::InputDesc(); }
   const Data::TypeDesc &ResultType() const override { return Op::ResultDesc(); }

   void Invoke(const Core::ExecutionContextPtr &context, const Data::DataValuePtr &input,
               Core::AsyncApiResultCb cb) const override
   {
      typename Op::ParamTuple params;
      CodecContext codec;
      if (!Op::DecodeInput(input, params, codec)) {
         Detail::DeliverInvalidInput(cb, codec);
         return;
      }
      L10n::LocalizerPtr localizer = mLocalizer;
      AsyncResult<Result> result(
         [cb, localizer, context](Outcome<Result> &&outcome) {
            if (outcome.IsError()) {
               Detail::DeliverError(cb, outcome.error, outcome.pendingMessages, localizer, context);
               return;
            }
            // The codecs' checks run now; the value is converted only when
            // someone asks for its data value.
            CodecContext out;
            Data::DiscardingEmitter check;
            Codec<Result>::Emit(*outcome.value, check, out);
            if (!out.Ok()) {
               Detail::DeliverInvalidOutput(cb, out);
               return;
            }
            cb(Core::MethodResult::GetTypedInstance(
                  std::make_shared<const TypedResult<Result>>(std::move(*outcome.value))),
               {}, {});
         },
         [cb](const Core::Progress &progress) { cb(nullptr, progress, {}); });
      try {
         std::apply([&](auto &...p) { ((*mImpl).*mFn)(p..., result); }, params);
      } catch (const std::exception &e) {
         // A throwing implementation must not take the serving thread with it.
         if (!result.IsDone()) {
            result.SetError(Detail::ImplementationFailed(e.what()));
         }
      }
   }

private:
   std::shared_ptr<Impl> mImpl;
   MemFn mFn;
   L10n::LocalizerPtr mLocalizer;
};

class BoundInterface : public Core::ApiInterface {
public:
   BoundInterface(std::string id, std::map<std::string, std::shared_ptr<const Core::ApiOperation>> ops)
      : mId(std::move(id)), mOperations(std::move(ops))
   {
   }
   const std::string &GetIdentifier() const override { return mId; }
   std::shared_ptr<const Core::ApiOperation> FindOperation(
      const std::string &operation, std::vector<BaseMessage> &messages) const override;

private:
   std::string mId;
   std::map<std::string, std::shared_ptr<const Core::ApiOperation>> mOperations;
};

// Binds the member functions, in the order of the interface's operations.
template <class Decl, class Impl, class... MemFns>
Core::ApiInterfacePtr BindInterface(std::shared_ptr<Impl> impl, L10n::LocalizerPtr localizer,
                                    MemFns... fns)
{
   static_assert(sizeof...(MemFns) == std::tuple_size_v<typename Decl::Operations>,
                 "one member function per operation");
   Decl::RegisterSignatures();
   std::map<std::string, std::shared_ptr<const Core::ApiOperation>> ops;
   auto members = std::make_tuple(fns...);
   [&]<size_t... I>(std::index_sequence<I...>) {
      ((ops[std::string(std::tuple_element_t<I, typename Decl::Operations>::kName)] =
           std::make_shared<BoundOperation<std::tuple_element_t<I, typename Decl::Operations>, Impl,
                                           std::tuple_element_t<I, decltype(members)>>>(
              impl, std::get<I>(members), localizer)),
       ...);
   }(std::index_sequence_for<MemFns...>{});
   return std::make_shared<BoundInterface>(std::string(Decl::kId), std::move(ops));
}

// The binder of a generated service interface: binds an implementation's member
// functions, given once here in the order of the interface's operations.
template <class Decl, class Service, auto... MemFns>
struct ServiceBinder {
   static Core::ApiInterfacePtr BindImplementation(std::shared_ptr<Service> impl,
                                                   L10n::LocalizerPtr localizer = nullptr)
   {
      return BindInterface<Decl>(std::move(impl), std::move(localizer), MemFns...);
   }
};

} // namespace Ruvo::Binding
