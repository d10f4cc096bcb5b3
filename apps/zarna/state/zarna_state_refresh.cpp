// Token acceptance and refresh: a token enters its group's record only with a
// refresh scheduled ahead of its expiry; the refresh attests the group again.
#include <jwt.h>

#include <cerrno>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/zarna/state/token_expiry.h"
#include "apps/zarna/state/zarna_state.h"
#include "runtime/hostlib/hostinfo.h"
#include "runtime/hostlib/log.h"
#include "runtime/ruvo/std/error_factory.h"
#include "runtime/ruvo/std/std_errors.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

namespace {

constexpr int64_t kUsPerSec = 1000000;

Ths::Common::TirelRuvo::SequenceOpIdGenerator &RefreshOpIds()
{
   static Ths::Common::TirelRuvo::SequenceOpIdGenerator generator("RefreshToken");
   return generator;
}

// A standard error without messages: the token itself was unusable.
Ruvo::Data::ErrorValuePtr BareError()
{
   return Ruvo::Data::ErrorFactory::ToErrorValue(Com::Talvor::Ruvo::Std::Errors::Error{});
}

struct JwtFree {
   void operator()(jwt_t *jwt) const { jwt_free(jwt); }
};

} // namespace

bool ReadTokenExpiry(const std::string &token, int64_t &exp, int &decodeResult)
{
   exp = 0;
   // The agent does not verify the token: it reads the expiry and passes the
   // token on unchanged. A text with an embedded NUL is not a compact token.
   if (token.find('\0') != std::string::npos) {
      decodeResult = EINVAL;
      return false;
   }
   jwt_t *raw = nullptr;
   decodeResult = jwt_decode(&raw, token.c_str(), nullptr, 0);
   std::unique_ptr<jwt_t, JwtFree> jwt(raw);
   if (decodeResult != 0 || !jwt) {
      if (decodeResult == 0) {
         decodeResult = EINVAL;
      }
      return false;
   }
   exp = jwt_get_grant_int(jwt.get(), "exp");
   return true;
}

bool ZarnaState::ScheduleTokenRefresh(const std::string &group, const std::string &token,
                                      std::shared_ptr<Tirel::System::ScheduledItem> &refreshItem)
{
   int64_t exp = 0;
   int rc = 0;
   if (!ReadTokenExpiry(token, exp, rc)) {
      Log_Level(110, "Cannot decode expiry from token from group %s: %d\n", group.c_str(), rc);
      return false;
   }
   if (exp <= 0) {
      Log_Level(110, "No expiry time grant in token from group %s: %d\n", group.c_str(), 0);
      return false;
   }
   const int64_t now = Hostinfo_GetTimeOfDay() / kUsPerSec;
   const int64_t remaining = exp - now;
   if (remaining <= 0) {
      Log_Level(110, "services from group %s is not time-synced with client\n", group.c_str());
      return false;
   }
   Log_Level(125, "Token expires in %lu seconds\n", static_cast<unsigned long>(remaining));
   const int64_t delay =
       remaining > kTokenRefreshLeadSec ? remaining - kTokenRefreshLeadSec : remaining;
   Log_Level(125, "Scheduling token refresh for %lu seconds\n", static_cast<unsigned long>(delay));

   int64_t delayUs = 0;
   if (__builtin_mul_overflow(delay, kUsPerSec, &delayUs)) {
      Log_Level(110, "Invalid token expiry: %lds -> %ldus\n", static_cast<long>(exp),
                static_cast<long>(static_cast<int64_t>(static_cast<uint64_t>(delay) *
                                                       static_cast<uint64_t>(kUsPerSec))));
      return false;
   }

   auto pool = Pool();
   if (!pool) {
      Log_Level(110, "No scheduler for the refresh of the token of group %s\n", group.c_str());
      return false;
   }
   std::weak_ptr<ZarnaState> weak = weak_from_this();
   refreshItem = pool->EnqueueAfter(static_cast<uint64_t>(delayUs), [weak, group]() {
      if (auto self = weak.lock()) {
         self->RunTokenRefresh(group);
      }
   });
   return true;
}

bool ZarnaState::AcceptToken(const std::string &group, const std::string &token,
                             Ruvo::Data::ErrorValuePtr &error)
{
   std::shared_ptr<Tirel::System::ScheduledItem> item;
   if (!ScheduleTokenRefresh(group, token, item)) {
      Log_Level(110, "Token from group %s is invalid\n", group.c_str());
      error = BareError();
      return false;
   }
   if (AddTokenForGroup(group, token, item)) {
      return true;
   }
   // The group's record went away during the handshake (its service was deleted).
   Log_Level(110, "Couldn't find group %s in the cache\n", group.c_str());
   item->Cancel();
   error = BareError();
   return false;
}

void ZarnaState::RunTokenRefresh(const std::string &group)
{
   Tirel::Service::ScopedLogContext context(Ths::Common::TirelRuvo::kOpIdKey,
                                            RefreshOpIds().Next());
   Log_Level(130, "Refresh expiring token for group %s\n", group.c_str());
   Ruvo::Data::ErrorValuePtr ignored;
   WaitOnAttestation(group, false, ignored);
}

} // namespace Zarna
