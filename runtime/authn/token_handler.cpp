#include "runtime/authn/token_handler.h"

#include <chrono>
#include <limits>
#include <vector>

#include "runtime/authn/jwt.h"

namespace Brim::Authn {

namespace {

Ruvo::Authn::AuthnOutcome Refused(const std::string &reason)
{
   Ruvo::Authn::AuthnOutcome outcome;
   outcome.error = Ruvo::Data::StdErrors::Make(
       Ruvo::Data::StdErrors::kUnauthenticated,
       {Ruvo::BaseMessage("brim.authn.token.refused",
                          "The access token was refused: " + reason + ".")},
       "UNAUTHENTICATED");
   return outcome;
}

// A NumericDate as an integer; fractions are cut, values out of range refused.
bool ReadTime(const nlohmann::json &claims, const char *name, bool required,
              std::optional<int64_t> &out)
{
   auto it = claims.find(name);
   if (it == claims.end()) {
      return !required;
   }
   if (it->is_number_integer()) {
      out = it->get<int64_t>();
      return true;
   }
   if (it->is_number_float()) {
      double v = it->get<double>();
      if (v > -9.0e15 && v < 9.0e15) {
         out = static_cast<int64_t>(v);
         return true;
      }
   }
   return false;
}

bool AudienceMatches(const nlohmann::json &claims)
{
   auto aud = claims.find("aud");
   if (aud == claims.end()) {
      return false;
   }
   if (aud->is_string()) {
      return aud->get_ref<const std::string &>() == kApiTokenAudience;
   }
   if (aud->is_array()) {
      for (const auto &a : *aud) {
         if (a.is_string() && a.get_ref<const std::string &>() == kApiTokenAudience) {
            return true;
         }
      }
   }
   return false;
}

} // namespace

int64_t SystemSeconds()
{
   return std::chrono::duration_cast<std::chrono::seconds>(
              std::chrono::system_clock::now().time_since_epoch())
       .count();
}

TokenHandler::TokenHandler(EcKeyPtr publicKey, Ruvo::Log::LoggerPtr logger, WallClock clock,
                           size_t verifiedTokenCapacity)
    : mKey(std::move(publicKey)), mLogger(std::move(logger)), mClock(std::move(clock)),
      mVerified(verifiedTokenCapacity)
{
}

std::shared_ptr<TokenHandler>
TokenHandler::FromKeyFile(const std::string &path, Ruvo::Log::LoggerPtr logger, std::string &error)
{
   EcKeyPtr key;
   if (!LoadEs256PublicKey(path, key, error)) {
      return nullptr;
   }
   return std::make_shared<TokenHandler>(std::move(key), std::move(logger));
}

void TokenHandler::LogRefusal(const std::string &reason) const
{
   uint64_t heldBack = 0;
   {
      std::lock_guard<std::mutex> guard(mLogLock);
      auto now = std::chrono::steady_clock::now();
      if (mLogged && now - mLastLine < std::chrono::seconds(1)) {
         ++mSuppressed;
         return;
      }
      mLogged = true;
      mLastLine = now;
      heldBack = mSuppressed;
      mSuppressed = 0;
   }
   if (heldBack == 0) {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kWarning, "API token refused: ", reason);
   } else {
      Ruvo::Log::Write(mLogger, Ruvo::Log::kWarning, "API token refused: ", reason, " (", heldBack,
                       " more refused since the last line)");
   }
}

void TokenHandler::Authenticate(const Ruvo::Core::ExecutionContextPtr &context,
                                Ruvo::Authn::AuthnCallback done)
{
   Ruvo::Core::SecurityContext none;
   done(Check(context ? context->GetSecurityContext() : none));
}

Ruvo::Authn::AuthnOutcome TokenHandler::Check(const Ruvo::Core::SecurityContext &security) const
{
   // Reasons are fixed texts: nothing of the token reaches a log line or the caller.
   auto refuse = [this](const std::string &reason) {
      LogRefusal(reason);
      return Refused(reason);
   };
   if (security.Empty()) {
      return refuse("no credentials");
   }
   if (security.GetSchemeId() != Ruvo::Core::kOAuthSchemeId) {
      return refuse("unsupported security scheme");
   }
   const Ruvo::SecretString *token = security.GetAccessToken();
   if (token == nullptr || token->Empty()) {
      return refuse("no access token");
   }
   // The time window, applied on every call, whether the signature was checked
   // now or on an earlier call with the same token.
   auto outsideWindow = [this](int64_t exp, const std::optional<int64_t> &nbf) -> const char * {
      int64_t now = mClock();
      if (exp <= now - kClockLeewaySec) {
         return "token expired";
      }
      if (nbf && *nbf > now + kClockLeewaySec) {
         return "token not yet valid";
      }
      return nullptr;
   };
   VerifiedTokens::Digest digest{};
   bool cacheable = token->Size() <= kMaxApiTokenBytes &&
                    VerifiedTokens::DigestOf(token->Expose(), digest);
   if (cacheable) {
      if (auto seen = mVerified.Find(digest)) {
         if (const char *why = outsideWindow(seen->exp, seen->nbf)) {
            if (why == std::string_view("token expired")) {
               mVerified.Erase(digest);
            }
            return refuse(why);
         }
         Ruvo::Authn::AuthnOutcome outcome;
         outcome.result = std::move(seen->caller);
         return outcome;
      }
   }
   CompactJwt jwt;
   std::string reason;
   if (!ParseCompactJwt(token->Expose(), kMaxApiTokenBytes, jwt, reason)) {
      return refuse(reason);
   }
   // The algorithm is ours, not the token's: a header naming any other one is a
   // token this host never issued.
   auto alg = jwt.header.find("alg");
   if (alg == jwt.header.end() || !alg->is_string() ||
       alg->get_ref<const std::string &>() != "ES256") {
      return refuse("token algorithm is not ES256");
   }
   if (jwt.header.contains("crit")) {
      return refuse("token has critical header extensions");
   }
   if (!VerifyEs256(mKey.get(), jwt.signingInput, jwt.signature)) {
      return refuse("token signature does not verify with the API key");
   }
   const nlohmann::json &claims = jwt.claims;
   std::optional<int64_t> exp;
   std::optional<int64_t> nbf;
   if (!ReadTime(claims, "exp", true, exp) || !ReadTime(claims, "nbf", false, nbf)) {
      return refuse("token lacks a numeric exp, or its nbf is not numeric");
   }
   if (const char *why = outsideWindow(*exp, nbf)) {
      return refuse(why);
   }
   if (!AudienceMatches(claims)) {
      return refuse("token is not for this API");
   }
   auto privileges = claims.find(kPrivilegesClaim);
   if (privileges == claims.end() || !privileges->is_array()) {
      return refuse("token has no privileges list");
   }
   auto result = std::make_shared<Ruvo::Core::AuthenticationResult>();
   result->schemeId = Ruvo::Core::kOAuthSchemeId;
   for (const auto &p : *privileges) {
      if (!p.is_string()) {
         return refuse("token privileges are not texts");
      }
      result->privileges.push_back(p.get<std::string>());
   }
   auto sub = claims.find("sub");
   result->user = sub != claims.end() && sub->is_string() ? sub->get<std::string>() : "api-token";
   if (cacheable) {
      mVerified.Insert(digest, {result, *exp, nbf});
   }
   Ruvo::Authn::AuthnOutcome outcome;
   outcome.result = std::move(result);
   return outcome;
}

} // namespace Brim::Authn
