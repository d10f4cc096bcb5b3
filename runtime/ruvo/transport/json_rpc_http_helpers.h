// What the JSON-RPC layer takes from and adds to HTTP headers on the server side.
#pragma once

#include <string>
#include <system_error>
#include <vector>

#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/transport/http_writer.h"
#include "runtime/ruvo/transport/phr_parse.h"

namespace Ruvo::Provider {

enum class ProtocolError {
   MethodIdMismatch = 1,
};

const std::error_category &ProtocolCategory();
std::error_code make_error_code(ProtocolError e);

namespace JsonRpc1_1 {

inline constexpr const char *kMethodIdHeader = "ruvo-method-id";
inline constexpr const char *kAcceptLanguageHeader = "accept-language";
inline constexpr const char *kFormatLocaleHeader = "ruvo-ctx-format-locale";
inline constexpr const char *kErrorNameHeader = "ruvo-error-name";

struct UpdateExecutionCtxHelper {
   // Copies the locale headers into the application context and checks that a
   // method id header names the payload's method. Headers: lower-cased names.
   // Errors: L10n code 3 for an unusable locale header, protocol code 1 for a
   // method id that differs from the payload's.
   static std::error_code Update(const std::vector<Transport::PicoHttp::PhrHeader> &headers,
                                 const Core::MethodIdentifier &method, Core::ExecutionContext &context);
};

struct ResponseHelper {
   // Reply headers derived from a result: "ruvo-error-name" with an error's name.
   static Transport::PicoHttp::ExtraHeaders GetResponseExtraHeaders(const Core::MethodResult &result);
};

} // namespace JsonRpc1_1
} // namespace Ruvo::Provider

template <>
struct std::is_error_code_enum<Ruvo::Provider::ProtocolError> : std::true_type {};
