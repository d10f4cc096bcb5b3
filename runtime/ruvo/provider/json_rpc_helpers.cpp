#include "runtime/ruvo/provider/json_rpc_helpers.h"

#include <string.h>
#include <strings.h>

#include <optional>

#include "runtime/ruvo/l10n/l10n_category.h"
#include "runtime/ruvo/l10n/locale_spec.h"

namespace Ruvo::Provider {

namespace {

class ProtocolCategoryImpl : public std::error_category {
public:
   const char *name() const noexcept override { return "Ruvo Protocol Error"; }
   std::string message(int code) const override
   {
      return code == 1 ? "Mismatching operation identifier in HTTP header and payload"
                       : "protocol error";
   }
};

bool NameIs(std::string_view name, const char *wanted)
{
   return name.size() == strlen(wanted) && strncasecmp(name.data(), wanted, name.size()) == 0;
}

bool IsHeaderSafe(const std::string &value)
{
   for (unsigned char c : value) {
      if (c < 0x21 || c > 0x7e) {
         return false;
      }
   }
   return !value.empty();
}

} // namespace

const std::error_category &ProtocolCategory()
{
   static const ProtocolCategoryImpl category;
   return category;
}

std::error_code make_error_code(ProtocolError e)
{
   return {static_cast<int>(e), ProtocolCategory()};
}

namespace JsonRpc1_1 {

std::error_code UpdateExecutionCtxHelper::Update(Core::ExecutionContext &context,
                                                 const HeaderList &headers,
                                                 const Core::MethodIdentifier &payloadMethod)
{
   std::optional<std::string> acceptLanguage;
   std::optional<std::string> formatLocale;
   for (const auto &[name, value] : headers) {
      if (NameIs(name, kAcceptLanguageHeader)) {
         std::vector<std::string> languages;
         if (!L10n::LocaleSpecHelpers::ParseAcceptLanguage(value, languages)) {
            return L10n::L10nError::InvalidLocaleHeader;
         }
         acceptLanguage = std::string(value);
      } else if (NameIs(name, kFormatLocaleHeader)) {
         if (!L10n::LocaleSpecHelpers::IsValidFormatLocale(value)) {
            return L10n::L10nError::InvalidLocaleHeader;
         }
         formatLocale = std::string(value);
      } else if (NameIs(name, kMethodIdHeader)) {
         if (value != payloadMethod.ToString()) {
            return ProtocolError::MismatchingOperationId;
         }
      }
   }
   if (acceptLanguage) {
      context.GetApplicationContext()[Core::kAcceptLanguageContextKey] = *acceptLanguage;
   }
   if (formatLocale) {
      context.GetApplicationContext()[Core::kFormatLocaleContextKey] = *formatLocale;
   }
   return {};
}

std::vector<std::pair<std::string, std::string>> ResponseHelper::GetResponseExtraHeaders(
   const Core::MethodResult &result)
{
   std::vector<std::pair<std::string, std::string>> headers;
   if (result.IsError() && IsHeaderSafe(result.GetError()->GetName())) {
      headers.emplace_back(kErrorNameHeader, result.GetError()->GetName());
   }
   return headers;
}

} // namespace JsonRpc1_1

} // namespace Ruvo::Provider
