// The key operations and the provider listing of the management API. Both only
// forward: each call gets its own key provider client (with its own I/O context),
// which picks the group and token, connects, retries and converts the errors.
#pragma once

#include <functional>

#include "api/key_operation.h"
#include "api/trusted_infrastructure_providers.h"
#include "apps/zarna/kms/zarn_client.h"

namespace Zarna {
// What each call's client is built with; tests script the state and the service.
using ZarnClientOptionsFactory = std::function<ZarnClientOptions()>;
} // namespace Zarna

namespace Com::Talvor::Brim::Kms::KeyOperationSvc {

class KeyOperationImpl : public AsyncServiceInterface {
public:
   explicit KeyOperationImpl(Zarna::ZarnClientOptionsFactory options = {})
       : mOptions(std::move(options))
   {
   }

   void GenerateKey(const std::string &provider, const int64_t &keySize,
                    Api::AsyncResult<GeneratedKey> result) override;
   void Encrypt(const std::string &provider, const ::Ruvo::SecretString &plaintext,
                Api::AsyncResult<EncryptResult> result) override;
   void Decrypt(const std::string &provider, const std::string &ciphertext,
                Api::AsyncResult<DecryptResult> result) override;

private:
   Zarna::ZarnClientOptionsFactory mOptions;
};

} // namespace Com::Talvor::Brim::Kms::KeyOperationSvc

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc {

class ProvidersImpl : public AsyncServiceInterface {
public:
   explicit ProvidersImpl(Zarna::ZarnClientOptionsFactory options = {})
       : mOptions(std::move(options))
   {
   }

   void List(const std::optional<FilterSpec> &filter,
             Api::AsyncResult<SummaryList> result) override;

private:
   Zarna::ZarnClientOptionsFactory mOptions;
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc
