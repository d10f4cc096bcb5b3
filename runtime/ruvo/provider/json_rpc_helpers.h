// What an HTTP server transport does around the JSON-RPC body: take the call's
// locale and operation identifier from the request headers, and add reply headers
// from the result.
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/method_result.h"

namespace Ruvo::Provider {

enum class ProtocolError {
   MismatchingOperationId = 1,
};

const std::error_category &ProtocolCategory();
std::error_code make_error_code(ProtocolError e);

namespace JsonRpc1_1 {

using HeaderList = std::vector<std::pair<std::string_view, std::string_view>>;

inline constexpr const char *kAcceptLanguageHeader = "accept-language";
inline constexpr const char *kFormatLocaleHeader = "ruvo-ctx-format-locale";
inline constexpr const char *kMethodIdHeader = "ruvo-method-id";
inline constexpr const char *kErrorNameHeader = "ruvo-error-name";

class UpdateExecutionCtxHelper {
public:
   // Header names are compared without regard to case. An unusable locale header
   // is L10n code 3; a "ruvo-method-id" that differs from the payload's method is
   // Protocol code 1. The context is changed only when everything is acceptable.
   static std::error_code Update(Core::ExecutionContext &context, const HeaderList &headers,
                                 const Core::MethodIdentifier &payloadMethod);
};

class ResponseHelper {
public:
   // For an error result, "ruvo-error-name" with the error's name (omitted when
   // the name holds characters a header value must not).
   static std::vector<std::pair<std::string, std::string>> GetResponseExtraHeaders(
      const Core::MethodResult &result);
};

} // namespace JsonRpc1_1

} // namespace Ruvo::Provider

template <>
struct std::is_error_code_enum<Ruvo::Provider::ProtocolError> : std::true_type {};
