// What travels with a call besides its input: application context, security
// context and, once a filter has checked the caller, the authentication result.
// One call owns its context; layers of the call change it one after another.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/ruvo/data/secret_string.h"

namespace Ruvo::Core {

// Application context keys the runtime knows.
inline constexpr const char *kOpIdContextKey = "opId";
inline constexpr const char *kAcceptLanguageContextKey = "acceptLanguage";
inline constexpr const char *kFormatLocaleContextKey = "formatLocale";

inline constexpr const char *kSchemeIdKey = "schemeId";
inline constexpr const char *kAccessTokenKey = "accessToken";
inline constexpr const char *kOAuthSchemeId = "com.talvor.ruvo.std.security.oauth";

// The caller's credentials. Every entry but the scheme id is a secret.
class SecurityContext {
public:
   bool Empty() const { return mSchemeId.empty() && mSecrets.empty(); }
   const std::string &GetSchemeId() const { return mSchemeId; }
   void SetSchemeId(std::string schemeId) { mSchemeId = std::move(schemeId); }
   void SetSecret(const std::string &key, SecretString value) { mSecrets[key] = std::move(value); }
   // nullptr when absent.
   const SecretString *GetSecret(const std::string &key) const;
   const std::map<std::string, SecretString> &Secrets() const { return mSecrets; }

   void SetAccessToken(SecretString token) { SetSecret(kAccessTokenKey, std::move(token)); }
   const SecretString *GetAccessToken() const { return GetSecret(kAccessTokenKey); }

private:
   std::string mSchemeId;
   std::map<std::string, SecretString> mSecrets;
};

// The caller on a local socket as the kernel reports it (SO_PEERCRED).
struct PeerCredentials {
   uint32_t uid = 0;
   int32_t pid = 0;
};

// Who the authentication filter found the caller to be.
struct AuthenticationResult {
   std::string schemeId;
   std::string user;
   std::vector<std::string> privileges;
   std::map<std::string, std::string> attributes;
};

class ExecutionContext {
public:
   using ApplicationContext = std::map<std::string, std::string>;

   ApplicationContext &GetApplicationContext() { return mApplication; }
   const ApplicationContext &GetApplicationContext() const { return mApplication; }
   std::optional<std::string> GetApplicationValue(const std::string &key) const;

   SecurityContext &GetSecurityContext() { return mSecurity; }
   const SecurityContext &GetSecurityContext() const { return mSecurity; }

   const std::shared_ptr<const AuthenticationResult> &GetAuthenticationResult() const
   {
      return mAuthentication;
   }
   void SetAuthenticationResult(std::shared_ptr<const AuthenticationResult> result)
   {
      mAuthentication = std::move(result);
   }

   // Set by the local-socket transport only, so no caller can claim it.
   const std::optional<PeerCredentials> &GetPeerCredentials() const { return mPeer; }
   void SetPeerCredentials(PeerCredentials peer) { mPeer = peer; }

   // The JSON-RPC request id of the call; empty until a transport assigns one.
   const std::string &GetRequestId() const { return mRequestId; }
   void SetRequestId(std::string id) { mRequestId = std::move(id); }

private:
   ApplicationContext mApplication;
   SecurityContext mSecurity;
   std::shared_ptr<const AuthenticationResult> mAuthentication;
   std::string mRequestId;
   std::optional<PeerCredentials> mPeer;
};

using ExecutionContextPtr = std::shared_ptr<ExecutionContext>;

// Carries an execution context into stub calls.
class AsyncActivation {
public:
   explicit AsyncActivation(ExecutionContextPtr context = nullptr)
      : mContext(context ? std::move(context) : std::make_shared<ExecutionContext>())
   {
   }
   const ExecutionContextPtr &GetExecutionContext() const { return mContext; }

private:
   ExecutionContextPtr mContext;
};

using AsyncActivationPtr = std::shared_ptr<AsyncActivation>;

} // namespace Ruvo::Core
