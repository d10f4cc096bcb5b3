#include "peers/zarnd/key_service.h"

#include <algorithm>
#include <functional>

#include <openssl/rand.h>

#include "peers/zarnd/wrapped_key.h"
#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"

namespace Zarnd {

using Ruvo::Data::ErrorValuePtr;
namespace StdErrors = Ruvo::Data::StdErrors;

namespace {

Ruvo::SecretString ToBase64(const Ruvo::SecretString &bytes)
{
   std::string text(Base64_EncodedLength(bytes.Size()) + 1, '\0');
   size_t length = 0;
   Base64_Encode(reinterpret_cast<const uint8_t *>(bytes.Expose().data()), bytes.Size(),
                 text.data(), text.size(), &length);
   Ruvo::SecretString out(std::string_view(text.data(), length));
   OPENSSL_cleanse(text.data(), text.size());
   return out;
}

// Empty (and false) for text that is not strict Base64.
bool FromBase64(const Ruvo::SecretString &text, Ruvo::SecretString &bytes)
{
   std::string buffer(Base64_DecodedLength(text.Expose().data(), text.Size()) + 1, '\0');
   size_t length = 0;
   bool ok =
       Base64_DecodeBuffer(text.Expose().data(), text.Size(),
                           reinterpret_cast<uint8_t *>(buffer.data()), buffer.size(), &length);
   if (ok) {
      bytes = Ruvo::SecretString(std::string_view(buffer.data(), length));
   }
   OPENSSL_cleanse(buffer.data(), buffer.size());
   return ok;
}

const std::string &Subject(const TokenClaims &claims)
{
   static const std::string kNone = "-";
   return claims.subject.empty() ? kNone : claims.subject;
}

// A call whose implementation is made for the caller of each call.
class PerCallOperation : public Ruvo::Core::ApiOperation {
public:
   using Factory = std::function<Ruvo::Core::ApiInterfacePtr(const TokenClaims &)>;
   PerCallOperation(std::shared_ptr<const Ruvo::Core::ApiOperation> prototype, std::string name,
                    Factory factory)
       : mPrototype(std::move(prototype)), mName(std::move(name)), mFactory(std::move(factory))
   {
   }
   const Ruvo::Data::TypeDesc &InputType() const override { return mPrototype->InputType(); }
   const Ruvo::Data::TypeDesc &ResultType() const override { return mPrototype->ResultType(); }
   void Invoke(const Ruvo::Core::ExecutionContextPtr &context,
               const Ruvo::Data::DataValuePtr &input,
               Ruvo::Core::AsyncApiResultCb cb) const override
   {
      TokenClaims caller;
      if (const auto &authn = context ? context->GetAuthenticationResult() : nullptr) {
         caller.subject = authn->user;
         caller.providers = authn->privileges;
         caller.allProviders = std::find(caller.providers.begin(), caller.providers.end(), "*") !=
                               caller.providers.end();
      }
      std::vector<Ruvo::BaseMessage> messages;
      auto op = mFactory(caller)->FindOperation(mName, messages);
      op->Invoke(context, input, std::move(cb));
   }

private:
   std::shared_ptr<const Ruvo::Core::ApiOperation> mPrototype;
   std::string mName;
   Factory mFactory;
};

class PerCallInterface : public Ruvo::Core::ApiInterface {
public:
   PerCallInterface(Ruvo::Core::ApiInterfacePtr prototype, PerCallOperation::Factory factory)
       : mPrototype(std::move(prototype)), mFactory(std::move(factory))
   {
   }
   const std::string &GetIdentifier() const override { return mPrototype->GetIdentifier(); }
   std::shared_ptr<const Ruvo::Core::ApiOperation>
   FindOperation(const std::string &operation,
                 std::vector<Ruvo::BaseMessage> &messages) const override
   {
      auto prototype = mPrototype->FindOperation(operation, messages);
      if (!prototype) {
         return nullptr;
      }
      return std::make_shared<PerCallOperation>(prototype, operation, mFactory);
   }

private:
   Ruvo::Core::ApiInterfacePtr mPrototype;
   PerCallOperation::Factory mFactory;
};

template <class Binder>
Ruvo::Core::ApiInterfacePtr BindPerCall(const std::shared_ptr<const ServiceCore> &core)
{
   auto prototype = Binder::BindImplementation(std::make_shared<KeyService>(core, TokenClaims{}));
   return std::make_shared<PerCallInterface>(prototype, [core](const TokenClaims &caller) {
      return Binder::BindImplementation(std::make_shared<KeyService>(core, caller));
   });
}

} // namespace

ErrorValuePtr MakeServiceError(FaultKind kind, const std::string &id, const std::string &text)
{
   const char *name = StdErrors::kError;
   const char *type = "ERROR";
   switch (kind) {
   case FaultKind::Unauthenticated:
      name = StdErrors::kUnauthenticated;
      type = "UNAUTHENTICATED";
      break;
   case FaultKind::Unauthorized:
      name = StdErrors::kUnauthorized;
      type = "UNAUTHORIZED";
      break;
   case FaultKind::InvalidArgument:
      name = StdErrors::kInvalidArgument;
      type = "INVALID_ARGUMENT";
      break;
   case FaultKind::NotFound:
      name = StdErrors::kNotFound;
      type = "NOT_FOUND";
      break;
   case FaultKind::Internal:
      name = StdErrors::kInternalServerError;
      type = "INTERNAL_SERVER_ERROR";
      break;
   default:
      break;
   }
   return StdErrors::Make(name, {Ruvo::BaseMessage(id, text)}, type);
}

const ProviderConfig *ServiceCore::Find(const std::string &name) const
{
   for (const auto &p : providers) {
      if (p.name == name) {
         return &p;
      }
   }
   return nullptr;
}

ErrorValuePtr KeyService::CheckProvider(const std::string &provider) const
{
   if (!mCaller.MayUse(provider)) {
      Log_Level(115, "Refused provider %s to %s: not in the token\n",
                Hostlib::EscapeText(provider, 64).c_str(),
                Hostlib::EscapeText(Subject(mCaller), 80).c_str());
      return MakeServiceError(FaultKind::Unauthorized, "zarnd.provider.not_permitted",
                              "The access token does not grant this key provider.");
   }
   if (!mCore->Find(provider)) {
      return MakeServiceError(FaultKind::NotFound, "zarnd.provider.not_found",
                              "No such key provider.");
   }
   return nullptr;
}

ErrorValuePtr KeyService::Wrap(const std::string &provider, const Ruvo::SecretString &key,
                               std::string &wrapped) const
{
   uint32_t version = 0;
   Ruvo::SecretString master;
   std::string error;
   if (!mCore->keys->Current(provider, version, master, error)) {
      Log_Level(110, "Master key store failure: %s\n", Hostlib::EscapeText(error, 200).c_str());
      return MakeServiceError(FaultKind::Error, "zarnd.store.failed",
                              "The master key store failed.");
   }
   WrappedKey out;
   if (!SealKey(master, provider, version, key, out)) {
      return MakeServiceError(FaultKind::Error, "zarnd.wrap.failed",
                              "The key could not be wrapped.");
   }
   wrapped = FormatWrappedKey(out);
   return nullptr;
}

void KeyService::GenerateKey(const std::string &provider, const int64_t &keySize,
                             Ruvo::AsyncResult<KeyOp::GeneratedKey> result)
{
   if (auto error = CheckProvider(provider)) {
      result.SetError(error);
      return;
   }
   if (keySize != 128 && keySize != 192 && keySize != 256) {
      result.SetError(MakeServiceError(FaultKind::InvalidArgument, "zarnd.key.invalid_size",
                                       "Key size must be 128, 192 or 256 bits."));
      return;
   }
   std::string bytes(static_cast<size_t>(keySize / 8), '\0');
   if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()),
                  static_cast<int>(bytes.size())) != 1) {
      result.SetError(
          MakeServiceError(FaultKind::Error, "zarnd.random.failed", "No random bytes."));
      return;
   }
   Ruvo::SecretString key(bytes);
   OPENSSL_cleanse(bytes.data(), bytes.size());
   KeyOp::GeneratedKey out;
   if (auto error = Wrap(provider, key, out.ciphertext)) {
      result.SetError(error);
      return;
   }
   out.key = ToBase64(key);
   Log_Level(125, "Generated a %d-bit key for provider %s\n", static_cast<int>(keySize),
             provider.c_str());
   result.SetResult(std::move(out));
}

void KeyService::Encrypt(const std::string &provider, const Ruvo::SecretString &plaintext,
                         Ruvo::AsyncResult<KeyOp::EncryptResult> result)
{
   if (auto error = CheckProvider(provider)) {
      result.SetError(error);
      return;
   }
   Ruvo::SecretString key;
   if (!FromBase64(plaintext, key) || !IsSupportedKeyLength(key.Size())) {
      result.SetError(MakeServiceError(FaultKind::InvalidArgument, "zarnd.key.invalid_plaintext",
                                       "The key must be Base64 of 128, 192 or 256 bits."));
      return;
   }
   KeyOp::EncryptResult out;
   if (auto error = Wrap(provider, key, out.ciphertext)) {
      result.SetError(error);
      return;
   }
   Log_Level(125, "Wrapped a key for provider %s\n", provider.c_str());
   result.SetResult(std::move(out));
}

void KeyService::Decrypt(const std::string &provider, const std::string &ciphertext,
                         Ruvo::AsyncResult<KeyOp::DecryptResult> result)
{
   if (auto error = CheckProvider(provider)) {
      result.SetError(error);
      return;
   }
   WrappedKey wrapped;
   if (!ParseWrappedKey(ciphertext, wrapped)) {
      result.SetError(MakeServiceError(FaultKind::InvalidArgument, "zarnd.key.invalid_wrapped",
                                       "The text is not a wrapped key."));
      return;
   }
   Ruvo::SecretString master;
   std::string error;
   if (!mCore->keys->Get(provider, wrapped.version, master, error)) {
      if (!error.empty()) {
         Log_Level(110, "Master key store failure: %s\n", Hostlib::EscapeText(error, 200).c_str());
         result.SetError(MakeServiceError(FaultKind::Error, "zarnd.store.failed",
                                          "The master key store failed."));
      } else {
         // Another replica may already hold a newer master key.
         result.SetError(MakeServiceError(FaultKind::NotFound, "zarnd.key.master_version_not_found",
                                          "The master key version of the wrapped key is unknown."));
      }
      return;
   }
   Ruvo::SecretString key;
   if (!OpenKey(master, provider, wrapped, key)) {
      result.SetError(MakeServiceError(FaultKind::InvalidArgument, "zarnd.key.not_authentic",
                                       "The wrapped key does not belong to this key provider."));
      return;
   }
   KeyOp::DecryptResult out;
   out.key = ToBase64(key);
   Log_Level(125, "Unwrapped a key for provider %s\n", provider.c_str());
   result.SetResult(std::move(out));
}

void KeyService::List(Ruvo::AsyncResult<ProvidersList::SummaryList> result)
{
   // Only the providers the caller may use: a listed provider that the caller is
   // then refused the status of would fail the caller's whole listing.
   ProvidersList::SummaryList out;
   for (const auto &p : mCore->providers) {
      if (mCaller.MayUse(p.name)) {
         auto summary = std::make_shared<ProvidersList::Summary>();
         summary->provider = p.name;
         out.push_back(std::move(summary));
      }
   }
   result.SetResult(std::move(out));
}

void KeyService::Get(const std::string &provider, Ruvo::AsyncResult<ProviderStatusSvc::Info> result)
{
   if (auto error = CheckProvider(provider)) {
      result.SetError(error);
      return;
   }
   const Fault &fault = mCore->fault;
   if (fault.kind == FaultKind::StatusFail && fault.statusProvider == provider) {
      result.SetError(
          MakeServiceError(fault.statusError, "zarnd.fault.status", "Injected status failure."));
      return;
   }
   const ProviderConfig *config = mCore->Find(provider);
   ProviderStatusSvc::Info info;
   info.status = config->status;
   info.details.push_back(std::make_shared<Ruvo::BaseMessage>(
       "zarnd.provider.status",
       std::string("Key provider is ") + StatusName(config->status) + "."));
   result.SetResult(std::move(info));
}

std::vector<Ruvo::Core::ApiInterfacePtr> BindKeyServices(std::shared_ptr<const ServiceCore> core)
{
   return {BindPerCall<KeyOp::AsyncServiceBinder>(core),
           BindPerCall<ProvidersList::AsyncServiceBinder>(core),
           BindPerCall<ProviderStatusSvc::AsyncServiceBinder>(core)};
}

} // namespace Zarnd
