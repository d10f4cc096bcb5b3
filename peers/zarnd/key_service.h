// The three interfaces zarnd serves, for one caller: the key operations, the
// provider list and the provider status. The caller's token decides which
// providers it may name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "peers/zarnd/master_keys.h"
#include "peers/zarnd/token_verifier.h"
#include "peers/zarnd/zarnd_config.h"
#include "runtime/ruvo/core/api_provider.h"

namespace Zarnd {

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace ProvidersList = Com::Talvor::Brim::Kms::ProvidersSvc;
namespace ProviderStatusSvc = Com::Talvor::Brim::Kms::Providers::StatusSvc;

// What every call shares; immutable once built, apart from the store, which
// locks itself.
struct ServiceCore {
   std::vector<ProviderConfig> providers;
   std::shared_ptr<MasterKeys> keys;
   Fault fault;

   const ProviderConfig *Find(const std::string &name) const;
};

class KeyService : public KeyOp::AsyncServiceInterface,
                   public ProvidersList::AsyncServiceInterface,
                   public ProviderStatusSvc::AsyncServiceInterface {
public:
   KeyService(std::shared_ptr<const ServiceCore> core, TokenClaims caller)
       : mCore(std::move(core)), mCaller(std::move(caller))
   {
   }

   void GenerateKey(const std::string &provider, const int64_t &keySize,
                    Ruvo::AsyncResult<KeyOp::GeneratedKey> result) override;
   void Encrypt(const std::string &provider, const Ruvo::SecretString &plaintext,
                Ruvo::AsyncResult<KeyOp::EncryptResult> result) override;
   void Decrypt(const std::string &provider, const std::string &ciphertext,
                Ruvo::AsyncResult<KeyOp::DecryptResult> result) override;
   void List(Ruvo::AsyncResult<ProvidersList::SummaryList> result) override;
   void Get(const std::string &provider,
            Ruvo::AsyncResult<ProviderStatusSvc::Info> result) override;

private:
   // Null when the caller may use the provider; the error otherwise.
   Ruvo::Data::ErrorValuePtr CheckProvider(const std::string &provider) const;
   // The key wrapped under the provider's current master key.
   Ruvo::Data::ErrorValuePtr Wrap(const std::string &provider, const Ruvo::SecretString &key,
                                  std::string &wrapped) const;

   std::shared_ptr<const ServiceCore> mCore;
   TokenClaims mCaller;
};

// The bindings of the three interfaces; each call gets a KeyService for the
// caller that the token filter recorded in its execution context.
std::vector<Ruvo::Core::ApiInterfacePtr> BindKeyServices(std::shared_ptr<const ServiceCore> core);

// The error values zarnd answers with.
Ruvo::Data::ErrorValuePtr MakeServiceError(FaultKind kind, const std::string &id,
                                           const std::string &text);

} // namespace Zarnd
