// The key operations and the provider listing of the management API. Both only
// forward: each call gets its own key provider client (with its own I/O context),
// which picks the group and token, connects, retries and converts the errors.
// The client waits on the network until its call is done, so each call runs
// through the given runner (the agent's: its thread pool), not on the thread
// that read the request.
#pragma once

#include <functional>

#include "api/key_operation.h"
#include "api/trusted_infrastructure_providers.h"
#include "apps/zarna/kms/zarn_client.h"

namespace Zarna {
// What each call's client is built with; tests script the state and the service.
using ZarnClientOptionsFactory = std::function<ZarnClientOptions()>;
// Runs a call's work, here or elsewhere; the default runs it right away.
using CallRunner = std::function<void(std::function<void()>)>;
} // namespace Zarna

namespace Com::Talvor::Brim::Kms::KeyOperationSvc {

class KeyOperationImpl : public AsyncServiceInterface {
public:
   explicit KeyOperationImpl(Zarna::ZarnClientOptionsFactory options = {}, Zarna::CallRunner run = {})
       : mOptions(std::move(options)), mRun(std::move(run))
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
   Zarna::CallRunner mRun;
};

} // namespace Com::Talvor::Brim::Kms::KeyOperationSvc

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc {

class ProvidersImpl : public AsyncServiceInterface {
public:
   explicit ProvidersImpl(Zarna::ZarnClientOptionsFactory options = {}, Zarna::CallRunner run = {})
       : mOptions(std::move(options)), mRun(std::move(run))
   {
   }

   void List(const std::optional<FilterSpec> &filter,
             Api::AsyncResult<SummaryList> result) override;

private:
   Zarna::ZarnClientOptionsFactory mOptions;
   Zarna::CallRunner mRun;
};

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc
