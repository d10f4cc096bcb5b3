// The JSON-RPC 1.1 envelope:
//   request  {"version":"1.1","id":…,"method":"<interface>.<operation>",
//             "params":{"context":{"app":{…},"security":{…}},"input":{…}}}
//   response {"version":"1.1","id":…,"result":<value>} or {…,"error":<error value>}
// Readers check everything against their limits before a document is built and
// read inputs and results by the operation's registered types.
#pragma once

#include <string>
#include <string_view>

#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/core/method_identifier.h"
#include "runtime/ruvo/core/method_result.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/ruvo/json/json_limits.h"

namespace Ruvo::Protocol::Json {

struct JsonApiRequest {
   std::string requestId;
   Core::MethodIdentifier method;
   Data::DataValuePtr input;
   Core::ExecutionContextPtr context;
};

struct JsonApiResponse {
   std::string requestId;
   Core::MethodResultPtr result;
};

// Client: call -> request body. The request id is the context's.
class JsonApiRequestSerializer {
public:
   explicit JsonApiRequestSerializer(Limits limits = kSecureLimits) : mLimits(limits) {}
   bool Serialize(const Core::MethodIdentifier &method, const Data::DataValuePtr &input,
                  const Core::ExecutionContext &context, std::string &body,
                  Data::ErrorValuePtr &error) const;

private:
   Limits mLimits;
};

// Server: request body -> call. On failure `error` says why (invalid_request for a
// broken envelope, invalid_argument for an input that does not fit the operation)
// and `out.requestId` holds the id when it could be read.
class JsonApiRequestDeserializer {
public:
   explicit JsonApiRequestDeserializer(Limits limits = kSecureLimits) : mLimits(limits) {}
   bool Deserialize(std::string_view body, JsonApiRequest &out, Data::ErrorValuePtr &error) const;

private:
   Limits mLimits;
};

// Server: result -> response body. Always produces a body: a result that JSON
// cannot carry is replaced by an internal_server_error (and false is returned).
class JsonApiResponseSerializer {
public:
   explicit JsonApiResponseSerializer(Limits limits = kSecureLimits) : mLimits(limits) {}
   bool Serialize(const std::string &requestId, const Core::MethodResult &result,
                  std::string &body) const;

private:
   Limits mLimits;
};

// Server: an error reply for a request that never reached a provider (the id may
// be unknown, then it is empty).
class JsonApiDirectResponseSerializer {
public:
   explicit JsonApiDirectResponseSerializer(Limits limits = kSecureLimits) : mLimits(limits) {}
   void SerializeError(const std::string &requestId, const Data::ErrorValuePtr &error,
                       std::string &body) const;

private:
   Limits mLimits;
};

// Client: response body -> result, read by the result type of `method`.
class JsonApiResponseDeserializer {
public:
   explicit JsonApiResponseDeserializer(Limits limits = kSecureLimits) : mLimits(limits) {}
   bool Deserialize(std::string_view body, const Core::MethodIdentifier &method,
                    JsonApiResponse &out, Data::ErrorValuePtr &error) const;

private:
   Limits mLimits;
};

// The hardened forms: fixed limits that a caller cannot loosen.
namespace Secure {
class JsonApiRequestSerializer : public Json::JsonApiRequestSerializer {
public:
   JsonApiRequestSerializer() : Json::JsonApiRequestSerializer(kSecureLimits) {}
};
class JsonApiRequestDeserializer : public Json::JsonApiRequestDeserializer {
public:
   JsonApiRequestDeserializer() : Json::JsonApiRequestDeserializer(kSecureLimits) {}
};
class JsonApiResponseSerializer : public Json::JsonApiResponseSerializer {
public:
   JsonApiResponseSerializer() : Json::JsonApiResponseSerializer(kSecureLimits) {}
};
class JsonApiDirectResponseSerializer : public Json::JsonApiDirectResponseSerializer {
public:
   JsonApiDirectResponseSerializer() : Json::JsonApiDirectResponseSerializer(kSecureLimits) {}
};
class JsonApiResponseDeserializer : public Json::JsonApiResponseDeserializer {
public:
   JsonApiResponseDeserializer() : Json::JsonApiResponseDeserializer(kSecureLimits) {}
};
} // namespace Secure

} // namespace Ruvo::Protocol::Json
