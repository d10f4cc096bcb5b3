#include "apps/zarna/kms/zarn_client.h"

#include "apps/zarna/kms/result_cb.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/hostinfo.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/random.h"
#include "runtime/hostlib/safe_text.h"

namespace Zarna {

namespace {
// Group names come from the configuration store, which an administrator fills.
std::string Safe(const std::string &text)
{
   return Hostlib::EscapeText(text, 256);
}
} // namespace

ZarnClient::ZarnClient(ZarnClientOptions options)
    : mIo(std::make_unique<boost::asio::io_context>(1)), mOptions(std::move(options))
{
   if (!mOptions.state) {
      mOptions.state = DefaultZarnClientState();
   }
   if (!mOptions.providerFactory) {
      mOptions.providerFactory = DefaultZarndProviderFactory();
   }
}

ZarnClient::~ZarnClient()
{
   // The provider's pending handlers belong to the I/O context; drop them first.
   mProvider.reset();
   mIo.reset();
}

bool ZarnClient::IsRetriable(const Ruvo::Data::ErrorValuePtr &error)
{
   return !(error && error->GetName() == Ruvo::Data::StdErrors::kInvalidArgument);
}

void ZarnClient::ConvertError(Ruvo::Data::ErrorValuePtr &error)
{
   namespace E = Ruvo::Data::StdErrors;
   if (!error) {
      // No attempt produced an error value (no group could be tried at all).
      error = MakeError(ErrorClass::Error, ErrorIds::kVeritorServicesNotConfigured);
      return;
   }
   const std::string &name = error->GetName();
   if (name == E::kNotFound || name == E::kInvalidArgument || name == E::kError) {
      return;
   }
   Log_Level(115, "Converting %s error into Error\n", Safe(name).c_str());
   if (name == E::kUnauthenticated || name == E::kUnauthorized) {
      error = MakeError(ErrorClass::Error, ErrorIds::kKmsServicesHostNotAttested);
      return;
   }
   // Messages that cannot be read as messages are dropped; the rest stay, in order.
   error = MakeError(ErrorClass::Error, ErrorIds::kServicesCannotCommunicate, error->messages());
}

bool ZarnClient::Initialize(Ruvo::Data::ErrorValuePtr &error)
{
   if (mInitialized) {
      return true;
   }
   mOptions.state->GetGroups(error, mGroups);
   if (error) {
      return false;
   }
   mInitialized = true;
   mAttemptsLeft = mGroups.size() < 6 ? static_cast<uint32_t>(mGroups.size()) : 5;
   mRandomState = mOptions.randomSeed ? *mOptions.randomSeed : Hostinfo_SystemTimerNS();
   (void)Random_Fast(&mRandomState);
   (void)Random_Fast(&mRandomState);
   return true;
}

bool ZarnClient::PrepareAttempt(Ruvo::Data::ErrorValuePtr &error)
{
   if (!Initialize(error)) {
      return false;
   }
   for (;;) {
      if (mAttemptsLeft == 0) {
         Log_Level(110, "Exhausted key operation attempts\n");
         return false;
      }
      if (mGroups.empty()) {
         Log_Level(110, "No more groups to try attesting with\n");
         return false;
      }
      Log_Level(125, "%u attempts remaining\n", mAttemptsLeft);
      --mAttemptsLeft;
      error.reset();
      std::string group;
      std::string token;
      GetNextToken(group, token, error);
      if (!group.empty()) {
         Log_Level(125, "Tried attesting with group %s\n", Safe(group).c_str());
      }
      if (token.empty()) {
         continue;
      }
      SetToken(token);
      if (Connect(group)) {
         return true;
      }
      error = MakeError(ErrorClass::Error, ErrorIds::kKmsServicesNotFound);
   }
}

void ZarnClient::GetNextToken(std::string &group, std::string &token,
                              Ruvo::Data::ErrorValuePtr &error)
{
   if (!mGroup.empty()) {
      Log_Level(125, "Retry: Deleting the token for group %s\n", Safe(mGroup).c_str());
      mOptions.state->DeleteTokenForGroup(mGroup);
   }
   if (PopCachedToken(mGroups, group, token)) {
      return;
   }
   Log_Level(125, "Found no cached tokens\n");
   std::string picked;
   if (!PickGroupToAttest(picked)) {
      Log_Level(110, "No groups were found which had no associated tokens\n");
      return;
   }
   if (!mOptions.state->WaitOnAttestation(picked, true, error)) {
      Log_Level(110, "Could not negotiate a token for group %s\n", Safe(picked).c_str());
      return;
   }
   std::vector<ZarnaStateInfo> fresh;
   mOptions.state->GetGroups(error, fresh);
   if (error) {
      Log_Level(125, "Clear local copy of groups\n");
      mGroups.clear();
      return;
   }
   if (!PopCachedToken(fresh, group, token)) {
      Log_Level(110, "Token negotiated was deleted\n");
      error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kError, {});
   }
}

bool ZarnClient::PopCachedToken(std::vector<ZarnaStateInfo> &groups, std::string &group,
                                std::string &token)
{
   for (auto it = groups.begin(); it != groups.end(); ++it) {
      if (it->token.empty()) {
         continue;
      }
      group = it->group;
      mGroup = it->group;
      token = it->token;
      Log_Level(125, "Found token for group %s; pop from copy\n", Safe(group).c_str());
      groups.erase(it);
      return true;
   }
   return false;
}

bool ZarnClient::PickGroupToAttest(std::string &group)
{
   std::vector<const ZarnaStateInfo *> candidates;
   for (const auto &info : mGroups) {
      if (info.token.empty()) {
         candidates.push_back(&info);
      }
   }
   if (candidates.empty()) {
      Log_Level(130, "Did not find a group for which a token can be added.\n");
      return false;
   }
   uint32_t index = Random_Fast(&mRandomState) % candidates.size();
   group = candidates[index]->group;
   for (auto it = mGroups.begin(); it != mGroups.end(); ++it) {
      if (it->group == group) {
         Log_Level(130, "Preemptively deleting group %s before attestation\n", Safe(group).c_str());
         mGroups.erase(it);
         break;
      }
   }
   return true;
}

void ZarnClient::SetToken(const std::string &token)
{
   auto context = std::make_shared<Ruvo::Core::ExecutionContext>();
   auto &security = context->GetSecurityContext();
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString());
   security.SetAccessToken(Ruvo::SecretString(token));
   mActivation = std::make_shared<Ruvo::Core::AsyncActivation>(context);
}

bool ZarnClient::Connect(const std::string &group)
{
   std::string hostname;
   uint32_t port = 0;
   std::vector<std::string> certificates;
   if (!mOptions.state->GetZarndInfo(group, hostname, port, certificates)) {
      Log_Level(110, "Could not find a corresponding zarnd instance for group %s\n",
                Safe(group).c_str());
      return false;
   }
   std::string portText = std::to_string(port);
   mProvider = mOptions.providerFactory(*mIo, hostname, portText, certificates);
   if (!mProvider) {
      Log_Level(110, "Cannot create zarnClient API Provider with SSL/TLS\n");
      return false;
   }
   Log_Level(125, "Connecting to zarnd %s:%s%s\n", Safe(hostname).c_str(), portText.c_str(),
             "/api");
   return true;
}

void ZarnClient::RunIo()
{
   mIo->restart();
   mIo->run();
}

template <class T>
void ZarnClient::CallOnce(const std::function<void(Ruvo::AsyncResult<T>)> &call,
                          std::optional<T> &value, Ruvo::Data::ErrorValuePtr &error)
{
   value.reset();
   error.reset();
   call(Ruvo::AsyncResult<T>(ResultCb<T>(value, error)));
   RunIo();
   if (!value && !error) {
      // The call ended without completing (cannot happen with a sound provider).
      error = Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kError, {});
   }
}

template <class T>
bool ZarnClient::RunAttempts(const std::function<void(Ruvo::AsyncResult<T>)> &call,
                             std::optional<T> &value, Ruvo::Data::ErrorValuePtr &error)
{
   while (PrepareAttempt(error)) {
      CallOnce(call, value, error);
      if (value) {
         return true;
      }
      if (!IsRetriable(error)) {
         return false;
      }
   }
   return false;
}

namespace {
std::string ErrorText(const Ruvo::Data::ErrorValuePtr &error)
{
   return error ? Hostlib::EscapeText(error->ToString(), 1024) : std::string("(no error)");
}
} // namespace

void ZarnClient::GenerateKey(const std::string &provider, int64_t keySize,
                             Ruvo::AsyncResult<KeyOp::GeneratedKey> result)
{
   std::optional<KeyOp::GeneratedKey> value;
   Ruvo::Data::ErrorValuePtr error;
   std::function<void(Ruvo::AsyncResult<KeyOp::GeneratedKey>)> call = [&](auto r) {
      KeyOp::AsyncServiceStub(mProvider).GenerateKey(provider, keySize, mActivation, std::move(r));
   };
   if (RunAttempts(call, value, error)) {
      result.SetResult(std::move(*value));
      return;
   }
   Log_Level(110, "Failed to generate key %s\n", ErrorText(error).c_str());
   ConvertError(error);
   result.SetError(error);
}

void ZarnClient::Encrypt(const std::string &provider, const Ruvo::SecretString &plaintext,
                         Ruvo::AsyncResult<KeyOp::EncryptResult> result)
{
   std::optional<KeyOp::EncryptResult> value;
   Ruvo::Data::ErrorValuePtr error;
   std::function<void(Ruvo::AsyncResult<KeyOp::EncryptResult>)> call = [&](auto r) {
      KeyOp::AsyncServiceStub(mProvider).Encrypt(provider, plaintext, mActivation, std::move(r));
   };
   if (RunAttempts(call, value, error)) {
      result.SetResult(std::move(*value));
      return;
   }
   Log_Level(110, "Failed to encrypt key %s\n", ErrorText(error).c_str());
   ConvertError(error);
   result.SetError(error);
}

void ZarnClient::Decrypt(const std::string &provider, const std::string &ciphertext,
                         Ruvo::AsyncResult<KeyOp::DecryptResult> result)
{
   std::optional<KeyOp::DecryptResult> value;
   Ruvo::Data::ErrorValuePtr error;
   std::function<void(Ruvo::AsyncResult<KeyOp::DecryptResult>)> call = [&](auto r) {
      KeyOp::AsyncServiceStub(mProvider).Decrypt(provider, ciphertext, mActivation, std::move(r));
   };
   if (RunAttempts(call, value, error)) {
      result.SetResult(std::move(*value));
      return;
   }
   Log_Level(110, "Failed to decrypt %s\n", ErrorText(error).c_str());
   ConvertError(error);
   result.SetError(error);
}

bool ZarnClient::ResolveKey(const std::string &provider, const std::string &keyText,
                            Ruvo::SecretString &key)
{
   Log_Level(130, "Request to resolve key for %s %s\n", Safe(provider).c_str(),
             Safe(keyText).c_str());
   std::optional<KeyOp::DecryptResult> value;
   Ruvo::Data::ErrorValuePtr error;
   std::function<void(Ruvo::AsyncResult<KeyOp::DecryptResult>)> call = [&](auto r) {
      KeyOp::AsyncServiceStub(mProvider).Decrypt(provider, keyText, mActivation, std::move(r));
   };
   if (RunAttempts(call, value, error)) {
      key = std::move(value->key);
      return true;
   }
   Log_Level(110, "Failed to decrypt %s\n", ErrorText(error).c_str());
   return false;
}

void ZarnClient::ListProviders(const std::optional<LocalProviders::FilterSpec> &filter,
                               Ruvo::AsyncResult<LocalProviders::SummaryList> result)
{
   std::optional<RemoteProviders::SummaryList> listed;
   Ruvo::Data::ErrorValuePtr error;
   while (PrepareAttempt(error)) {
      CallOnce<RemoteProviders::SummaryList>(
          [&](auto r) {
             RemoteProviders::AsyncServiceStub(mProvider).List(mActivation, std::move(r));
          },
          listed, error);
      if (listed) {
         LocalProviders::SummaryList output;
         if (GetProviderStatuses(filter, *listed, output, error)) {
            result.SetResult(std::move(output));
            return;
         }
         if (!IsRetriable(error)) {
            break;
         }
         continue;
      }
      if (!IsRetriable(error)) {
         Log_Level(110, "Failed to get the list of providers %s\n", ErrorText(error).c_str());
         break;
      }
   }
   ConvertError(error);
   result.SetError(error);
}

bool ZarnClient::GetProviderStatuses(const std::optional<LocalProviders::FilterSpec> &filter,
                                     const RemoteProviders::SummaryList &providers,
                                     LocalProviders::SummaryList &output,
                                     Ruvo::Data::ErrorValuePtr &error)
{
   namespace E = Ruvo::Data::StdErrors;
   namespace Status = Com::Talvor::Brim::Kms::Providers::StatusSvc;
   for (const auto &summary : providers) {
      error.reset();
      if (!summary) {
         continue;
      }
      const std::string &name = summary->provider;
      if (filter && filter->providers && !filter->providers->contains(name)) {
         continue;
      }
      std::optional<Status::Info> info;
      CallOnce<Status::Info>(
          [&](auto r) { Status::AsyncServiceStub(mProvider).Get(name, mActivation, std::move(r)); },
          info, error);
      if (!info) {
         Log_Level(115, "Failed to get the status of the provider %s, %s\n", Safe(name).c_str(),
                   ErrorText(error).c_str());
         const std::string &type = error->GetName();
         if (type == E::kUnauthorized || type == E::kUnauthenticated ||
             type == E::kInternalServerError || type == E::kError) {
            return false;
         }
         continue;
      }
      bool available =
          info->status == Status::Status::HEALTHY || info->status == Status::Status::DEGRADED;
      if (filter && filter->available && *filter->available != available) {
         continue;
      }
      Log_Level(130, "Adding status for provider %s, availability = %s\n", Safe(name).c_str(),
                available ? "available" : "unavailable");
      auto local = std::make_shared<LocalProviders::Summary>();
      local->provider = name;
      local->available = available;
      local->details = info->details;
      output.push_back(std::move(local));
   }
   error.reset();
   return true;
}

} // namespace Zarna
