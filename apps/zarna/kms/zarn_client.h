// The key provider client: one short-lived ZarnClient per key operation. It takes
// a group's token (or has a token-less group attested), calls that group's key
// provider service over TLS with the token as OAuth bearer credential, and on
// failure tries the other tokens and groups, at most min(groups, 5) attempts.
//
// A client is used on one thread; every remote call runs on the client's private
// I/O context, which the calling thread runs until the call has completed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "api/trusted_infrastructure_providers.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/core/async_result.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/data/secret_string.h"

namespace Zarna {

// What the client asks of the trust state. The production one forwards to
// ZarnaState::GetInstance(); tests script it.
class ZarnClientState {
public:
   virtual ~ZarnClientState() = default;
   // Copies of the groups in order; `error` set when no group is configured.
   virtual void GetGroups(Ruvo::Data::ErrorValuePtr &error,
                          std::vector<ZarnaStateInfo> &groups) = 0;
   virtual void DeleteTokenForGroup(const std::string &group) = 0;
   // Blocks until an attestation of the group (or, with anyToken, of any group)
   // has ended; false with `error` set when it failed or timed out.
   virtual bool WaitOnAttestation(const std::string &group, bool anyToken,
                                  Ruvo::Data::ErrorValuePtr &error) = 0;
   virtual bool GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                             std::vector<std::string> &certificates) = 0;
};

std::shared_ptr<ZarnClientState> DefaultZarnClientState();

// Builds the API provider of one group's key provider service on the client's I/O
// context; null when the TLS context cannot be built.
using ZarndProviderFactory = std::function<Ruvo::Core::AsyncApiProviderPtr(
    boost::asio::io_context &io, const std::string &hostname, const std::string &port,
    const std::vector<std::string> &certificates)>;

// HTTPS with the trusted certificates and host name check; sockets carry the
// agent's socket mark.
ZarndProviderFactory DefaultZarndProviderFactory();

struct ZarnClientOptions {
   std::shared_ptr<ZarnClientState> state; // default: DefaultZarnClientState()
   ZarndProviderFactory providerFactory;   // default: DefaultZarndProviderFactory()
   std::optional<uint64_t> randomSeed;     // default: the monotonic timer at first use
};

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace LocalProviders = Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc;
namespace RemoteProviders = Com::Talvor::Brim::Kms::ProvidersSvc;

class ZarnClient {
public:
   explicit ZarnClient(ZarnClientOptions options = {});
   ~ZarnClient();
   ZarnClient(const ZarnClient &) = delete;
   ZarnClient &operator=(const ZarnClient &) = delete;

   // The operations. Each completes its result exactly once: the remote result,
   // or the converted error of the last attempt.
   void GenerateKey(const std::string &provider, int64_t keySize,
                    Ruvo::AsyncResult<KeyOp::GeneratedKey> result);
   void Encrypt(const std::string &provider, const Ruvo::SecretString &plaintext,
                Ruvo::AsyncResult<KeyOp::EncryptResult> result);
   void Decrypt(const std::string &provider, const std::string &ciphertext,
                Ruvo::AsyncResult<KeyOp::DecryptResult> result);
   // For the kernel: the unwrapped key (Base64 text) of a wrapped key; false on
   // any failure (logged, not returned).
   bool ResolveKey(const std::string &provider, const std::string &keyText,
                   Ruvo::SecretString &key);
   void ListProviders(const std::optional<LocalProviders::FilterSpec> &filter,
                      Ruvo::AsyncResult<LocalProviders::SummaryList> result);
   // The status of each listed provider that passes the filter, on the current
   // connection and token.
   bool GetProviderStatuses(const std::optional<LocalProviders::FilterSpec> &filter,
                            const RemoteProviders::SummaryList &providers,
                            LocalProviders::SummaryList &output, Ruvo::Data::ErrorValuePtr &error);

   // The attempt loop's pieces.
   bool PrepareAttempt(Ruvo::Data::ErrorValuePtr &error);
   // False only for a standard InvalidArgument error.
   static bool IsRetriable(const Ruvo::Data::ErrorValuePtr &error);
   // What the caller of an operation sees of a remote failure.
   static void ConvertError(Ruvo::Data::ErrorValuePtr &error);
   bool Initialize(Ruvo::Data::ErrorValuePtr &error);
   void GetNextToken(std::string &group, std::string &token, Ruvo::Data::ErrorValuePtr &error);
   bool PopCachedToken(std::vector<ZarnaStateInfo> &groups, std::string &group, std::string &token);
   bool PickGroupToAttest(std::string &group);
   void SetToken(const std::string &token);
   bool Connect(const std::string &group);

   // For tests.
   uint32_t AttemptsLeft() const { return mAttemptsLeft; }

private:
   // Runs the attempt loop around `call` (which starts one remote call on the
   // current provider and activation). True with the result; false with the error
   // of the last attempt, if there was one.
   template <class T>
   bool RunAttempts(const std::function<void(Ruvo::AsyncResult<T>)> &call, std::optional<T> &value,
                    Ruvo::Data::ErrorValuePtr &error);
   // One remote call, run to completion on the calling thread.
   template <class T>
   void CallOnce(const std::function<void(Ruvo::AsyncResult<T>)> &call, std::optional<T> &value,
                 Ruvo::Data::ErrorValuePtr &error);
   void RunIo();

   // In the order of the record the client stands for.
   std::string mGroup;
   uint32_t mAttemptsLeft = 0;
   std::unique_ptr<boost::asio::io_context> mIo;
   Ruvo::Core::AsyncActivationPtr mActivation;
   Ruvo::Core::AsyncApiProviderPtr mProvider;
   std::vector<ZarnaStateInfo> mGroups;
   bool mInitialized = false;
   uint64_t mRandomState = 0;

   ZarnClientOptions mOptions;
};

} // namespace Zarna
