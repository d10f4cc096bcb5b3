#include "apps/zarna/ruvo/services/key_operation_impl.h"

#include <exception>

#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"

namespace Zarna {
namespace {

// Runs one client call through `run`; whatever the client does, the result is
// completed exactly once when the work is done. `call` holds copies of the
// arguments: the work may run after the caller has returned.
template <class T, class Call>
void WithClient(const ZarnClientOptionsFactory &options, const CallRunner &run,
                Ruvo::AsyncResult<T> result, Call call)
{
   auto work = [options, result = std::move(result), call = std::move(call)]() mutable {
      try {
         ZarnClient client(options ? options() : ZarnClientOptions{});
         call(client, result);
      } catch (const std::exception &e) {
         Log_Level(110, "Key operation failed: %s\n", Hostlib::EscapeText(e.what(), 200).c_str());
      }
      if (!result.IsDone()) {
         result.SetError(MakeError(ErrorClass::Error, ErrorIds::kServicesCannotCommunicate));
      }
   };
   if (run) {
      run(std::move(work));
   } else {
      work();
   }
}

} // namespace
} // namespace Zarna

namespace Com::Talvor::Brim::Kms::KeyOperationSvc {

void KeyOperationImpl::GenerateKey(const std::string &provider, const int64_t &keySize,
                                   Api::AsyncResult<GeneratedKey> result)
{
   Zarna::WithClient(mOptions, mRun, std::move(result),
                     [provider, keySize](Zarna::ZarnClient &client, auto r) {
      client.GenerateKey(provider, keySize, std::move(r));
   });
}

void KeyOperationImpl::Encrypt(const std::string &provider, const ::Ruvo::SecretString &plaintext,
                               Api::AsyncResult<EncryptResult> result)
{
   Zarna::WithClient(mOptions, mRun, std::move(result),
                     [provider, plaintext](Zarna::ZarnClient &client, auto r) {
      client.Encrypt(provider, plaintext, std::move(r));
   });
}

void KeyOperationImpl::Decrypt(const std::string &provider, const std::string &ciphertext,
                               Api::AsyncResult<DecryptResult> result)
{
   Zarna::WithClient(mOptions, mRun, std::move(result),
                     [provider, ciphertext](Zarna::ZarnClient &client, auto r) {
      client.Decrypt(provider, ciphertext, std::move(r));
   });
}

} // namespace Com::Talvor::Brim::Kms::KeyOperationSvc

namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc {

void ProvidersImpl::List(const std::optional<FilterSpec> &filter,
                         Api::AsyncResult<SummaryList> result)
{
   Zarna::WithClient(mOptions, mRun, std::move(result),
                     [filter](Zarna::ZarnClient &client, auto r) {
      client.ListProviders(filter, std::move(r));
   });
}

} // namespace Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc
