#include "runtime/ruvo/transport/json_rpc_http_helpers.h"

#include "runtime/ruvo/l10n/l10n_category.h"
#include "runtime/ruvo/l10n/locale_spec.h"

namespace Ruvo::Provider {
namespace {

class ProtocolErrorCategory final : public std::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Protocol Error"; }
   std::string message(int ev) const override
   {
      return ev == static_cast<int>(ProtocolError::MethodIdMismatch)
                ? "Mismatching operation identifier in HTTP header and payload"
                : "protocol error";
   }
};

} // namespace

const std::error_category &ProtocolCategory()
{
   static const ProtocolErrorCategory category;
   return category;
}

std::error_code make_error_code(ProtocolError e)
{
   return {static_cast<int>(e), ProtocolCategory()};
}

namespace JsonRpc1_1 {

std::error_code UpdateExecutionCtxHelper::Update(const std::vector<Transport::PicoHttp::PhrHeader> &headers,
                                                 const Core::MethodIdentifier &method,
                                                 Core::ExecutionContext &context)
{
   // Everything is checked before the context changes at all.
   std::vector<std::pair<const char *, std::string>> updates;
   for (const auto &h : headers) {
      std::string_view name = h.Name();
      std::string_view value = h.Value();
      if (name == kAcceptLanguageHeader) {
         std::vector<std::string> languages;
         if (!L10n::LocaleSpecHelpers::ParseAcceptLanguage(value, languages)) {
            return L10n::L10nError::InvalidLocaleHeader;
         }
         updates.emplace_back(Core::kAcceptLanguageContextKey, std::string(value));
      } else if (name == kFormatLocaleHeader) {
         if (!L10n::LocaleSpecHelpers::IsValidFormatLocale(value)) {
            return L10n::L10nError::InvalidLocaleHeader;
         }
         updates.emplace_back(Core::kFormatLocaleContextKey, std::string(value));
      } else if (name == kMethodIdHeader) {
         if (value != method.ToString()) {
            return ProtocolError::MethodIdMismatch;
         }
      }
   }
   auto &app = context.GetApplicationContext();
   for (auto &[key, value] : updates) {
      app[key] = std::move(value);
   }
   return {};
}

Transport::PicoHttp::ExtraHeaders ResponseHelper::GetResponseExtraHeaders(const Core::MethodResult &result)
{
   Transport::PicoHttp::ExtraHeaders headers;
   if (result.IsError() && Transport::PicoHttp::IsHeaderValueSafe(result.GetError()->GetName())) {
      headers.emplace_back(kErrorNameHeader, result.GetError()->GetName());
   }
   return headers;
}

} // namespace JsonRpc1_1
} // namespace Ruvo::Provider
