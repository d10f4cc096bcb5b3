#include "peers/zarnd/zarnd_config.h"

#include <charconv>

namespace Zarnd {
namespace {

struct ErrorFault {
   std::string_view name;
   FaultKind kind;
};
constexpr ErrorFault kErrorFaults[] = {
    {"unauthenticated", FaultKind::Unauthenticated},
    {"unauthorized", FaultKind::Unauthorized},
    {"invalid-argument", FaultKind::InvalidArgument},
    {"not-found", FaultKind::NotFound},
    {"error", FaultKind::Error},
    {"internal", FaultKind::Internal},
};

bool ErrorFaultNamed(std::string_view name, FaultKind &kind)
{
   for (const auto &f : kErrorFaults) {
      if (f.name == name) {
         kind = f.kind;
         return true;
      }
   }
   return false;
}

} // namespace

bool IsValidProviderName(std::string_view name)
{
   if (name.empty() || name.size() > 64) {
      return false;
   }
   for (char c : name) {
      bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
      if (!ok) {
         return false;
      }
   }
   return true;
}

const char *StatusName(ProviderStatus status)
{
   switch (status) {
   case ProviderStatus::HEALTHY:
      return "available";
   case ProviderStatus::DEGRADED:
      return "degraded";
   case ProviderStatus::UNHEALTHY:
      return "unavailable";
   default:
      return "unknown";
   }
}

bool ParseProvider(std::string_view text, ProviderConfig &out)
{
   size_t colon = text.find(':');
   std::string_view name = text.substr(0, colon);
   if (!IsValidProviderName(name)) {
      return false;
   }
   out.name = std::string(name);
   out.status = ProviderStatus::HEALTHY;
   if (colon == std::string_view::npos) {
      return true;
   }
   std::string_view status = text.substr(colon + 1);
   const std::pair<std::string_view, ProviderStatus> names[] = {
       {"unknown", ProviderStatus::UNKNOWN},       {"0", ProviderStatus::UNKNOWN},
       {"available", ProviderStatus::HEALTHY},     {"1", ProviderStatus::HEALTHY},
       {"degraded", ProviderStatus::DEGRADED},     {"2", ProviderStatus::DEGRADED},
       {"unavailable", ProviderStatus::UNHEALTHY}, {"3", ProviderStatus::UNHEALTHY},
   };
   for (const auto &[n, s] : names) {
      if (n == status) {
         out.status = s;
         return true;
      }
   }
   return false;
}

bool ParseFault(std::string_view text, Fault &out)
{
   Fault fault;
   if (text == "none") {
   } else if (text == "garbage") {
      fault.kind = FaultKind::Garbage;
   } else if (text == "close") {
      fault.kind = FaultKind::Close;
   } else if (text == "wrong-id") {
      fault.kind = FaultKind::WrongId;
   } else if (text.starts_with("delay:")) {
      std::string_view ms = text.substr(6);
      auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), fault.delayMs);
      if (ms.empty() || ec != std::errc() || end != ms.data() + ms.size() || fault.delayMs < 0 ||
          fault.delayMs > 3600000) {
         return false;
      }
      fault.kind = FaultKind::Delay;
   } else if (text.starts_with("status-fail:")) {
      std::string_view rest = text.substr(12);
      size_t colon = rest.rfind(':');
      if (colon == std::string_view::npos || !IsValidProviderName(rest.substr(0, colon)) ||
          !ErrorFaultNamed(rest.substr(colon + 1), fault.statusError)) {
         return false;
      }
      fault.kind = FaultKind::StatusFail;
      fault.statusProvider = std::string(rest.substr(0, colon));
   } else if (!ErrorFaultNamed(text, fault.kind)) {
      return false;
   }
   out = fault;
   return true;
}

} // namespace Zarnd
