#include "runtime/ruvo/json/json_rpc.h"

#include "runtime/ruvo/binding/codec_context.h"
#include "runtime/ruvo/core/signature_registry.h"
#include "runtime/ruvo/json/json_reader.h"
#include "runtime/ruvo/json/value_codec.h"

namespace Ruvo::Protocol::Json {

using nlohmann::json;

namespace {

constexpr const char *kVersion = "1.1";
constexpr size_t kMaxIdBytes = 1024;

Data::ErrorValuePtr InvalidMessage(const std::string &reason)
{
   return Data::StdErrors::Make(Data::StdErrors::kInvalidRequest,
                                {CoreMessage::Make(MessageIds::kInvalidMessage, {reason})},
                                "INVALID_REQUEST");
}

const Data::TypeDesc &InputTypeOf(const std::string &methodText)
{
   auto signature = Core::SignatureRegistry::Instance().Find(methodText);
   return signature && signature->input ? *signature->input
                                        : Data::TypeDesc::Of(Data::TypeKind::Dynamic);
}

const Data::TypeDesc &ResultTypeOf(const std::string &methodText)
{
   auto signature = Core::SignatureRegistry::Instance().Find(methodText);
   return signature && signature->result ? *signature->result
                                         : Data::TypeDesc::Of(Data::TypeKind::Dynamic);
}

// {"version":"1.1","id":"…", — the common head of every message.
bool AppendHead(const std::string &requestId, std::string &out)
{
   out += "{\"version\":\"1.1\",\"id\":";
   return AppendString(requestId, out);
}

// Reads version and id; sets `id` as soon as it is known.
bool ReadHead(const json &doc, std::string &id, std::string &reason)
{
   if (!doc.is_object()) {
      reason = "message is not an object";
      return false;
   }
   auto idIt = doc.find("id");
   if (idIt == doc.end() || !idIt->is_string()) {
      reason = "missing or non-text id";
      return false;
   }
   if (idIt->get_ref<const std::string &>().size() > kMaxIdBytes) {
      reason = "id too long";
      return false;
   }
   id = idIt->get<std::string>();
   auto version = doc.find("version");
   if (version == doc.end() || !version->is_string() || *version != kVersion) {
      reason = "version is not 1.1";
      return false;
   }
   return true;
}

bool ReadContext(const json &params, Core::ExecutionContext &context, std::string &reason)
{
   auto ctx = params.find("context");
   if (ctx == params.end() || ctx->is_null()) {
      return true;
   }
   if (!ctx->is_object()) {
      reason = "context is not an object";
      return false;
   }
   if (auto app = ctx->find("app"); app != ctx->end() && !app->is_null()) {
      if (!app->is_object()) {
         reason = "application context is not an object";
         return false;
      }
      for (auto it = app->begin(); it != app->end(); ++it) {
         if (!it->is_string()) {
            reason = "application context value is not text";
            return false;
         }
         context.GetApplicationContext()[it.key()] = it->get<std::string>();
      }
   }
   if (auto sec = ctx->find("security"); sec != ctx->end() && !sec->is_null()) {
      if (!sec->is_object()) {
         reason = "security context is not an object";
         return false;
      }
      auto &security = context.GetSecurityContext();
      for (auto it = sec->begin(); it != sec->end(); ++it) {
         if (!it->is_string()) {
            reason = "security context value is not text";
            return false;
         }
         if (it.key() == Core::kSchemeIdKey) {
            security.SetSchemeId(it->get<std::string>());
         } else {
            security.SetSecret(it.key(), SecretString(it->get_ref<const std::string &>()));
         }
      }
   }
   return true;
}

bool AppendContext(const Core::ExecutionContext &context, std::string &out)
{
   out += "{\"app\":{";
   bool first = true;
   for (const auto &[key, value] : context.GetApplicationContext()) {
      if (!first) {
         out += ',';
      }
      first = false;
      if (!AppendString(key, out)) {
         return false;
      }
      out += ':';
      if (!AppendString(value, out)) {
         return false;
      }
   }
   out += '}';
   const auto &security = context.GetSecurityContext();
   if (!security.Empty()) {
      out += ",\"security\":{";
      bool any = false;
      if (!security.GetSchemeId().empty()) {
         out += "\"schemeId\":";
         if (!AppendString(security.GetSchemeId(), out)) {
            return false;
         }
         any = true;
      }
      for (const auto &[key, secret] : security.Secrets()) {
         if (any) {
            out += ',';
         }
         any = true;
         if (!AppendString(key, out) || !(out += ':', AppendString(secret.Expose(), out))) {
            return false;
         }
      }
      out += '}';
   }
   out += '}';
   return true;
}

} // namespace

bool JsonApiRequestSerializer::Serialize(const Core::MethodIdentifier &method,
                                         const Data::DataValuePtr &input,
                                         const Core::ExecutionContext &context, std::string &body,
                                         Data::ErrorValuePtr &error) const
{
   body.clear();
   std::string reason;
   bool ok = AppendHead(context.GetRequestId(), body);
   ok = ok && (body += ",\"method\":", AppendString(method.ToString(), body));
   ok = ok && (body += ",\"params\":{\"context\":", AppendContext(context, body));
   if (ok) {
      body += ",\"input\":";
      if (input) {
         ok = AppendValue(*input, body, reason, mLimits.maxDepth);
      } else {
         body += "{}";
      }
   }
   if (!ok) {
      body.clear();
      error = InvalidMessage(reason.empty() ? "text is not valid UTF-8" : reason);
      return false;
   }
   body += "}}";
   return true;
}

bool JsonApiRequestDeserializer::Deserialize(std::string_view body, JsonApiRequest &out,
                                             Data::ErrorValuePtr &error) const
{
   out = JsonApiRequest{};
   out.context = std::make_shared<Core::ExecutionContext>();
   json doc;
   std::string reason;
   if (!ReadDocument(body, mLimits, doc, reason) || !ReadHead(doc, out.requestId, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   out.context->SetRequestId(out.requestId);
   auto method = doc.find("method");
   if (method == doc.end() || !method->is_string() ||
       !Core::MethodIdentifier::FromString(method->get_ref<const std::string &>(), out.method)) {
      error = InvalidMessage("missing or malformed method");
      return false;
   }
   auto params = doc.find("params");
   if (params == doc.end() || !params->is_object()) {
      error = InvalidMessage("missing params");
      return false;
   }
   if (!ReadContext(*params, *out.context, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   auto input = params->find("input");
   json empty = json::object();
   Binding::CodecContext codec;
   codec.Push("input");
   if (!ValueFromJson(input == params->end() ? empty : *input, InputTypeOf(out.method.ToString()),
                      out.input, codec)) {
      error = Data::StdErrors::Make(Data::StdErrors::kInvalidArgument, codec.Messages(),
                                    "INVALID_ARGUMENT");
      out.input = nullptr;
      return false;
   }
   return true;
}

bool JsonApiResponseSerializer::Serialize(const std::string &requestId,
                                          const Core::MethodResult &result, std::string &body) const
{
   body.clear();
   body.reserve(1024);
   std::string reason;
   if (AppendHead(requestId, body)) {
      body += result.IsError() ? ",\"error\":" : ",\"result\":";
      const Data::DataValue &value = result.IsError()
                                        ? static_cast<const Data::DataValue &>(*result.GetError())
                                        : *result.GetOutput();
      if (AppendValue(value, body, reason, mLimits.maxDepth)) {
         body += '}';
         return true;
      }
   } else {
      reason = "request id is not valid UTF-8";
   }
   auto error = Data::StdErrors::Make(Data::StdErrors::kInternalServerError,
                                      {CoreMessage::Make(MessageIds::kInternalError, {reason})},
                                      "INTERNAL_SERVER_ERROR");
   JsonApiDirectResponseSerializer(mLimits).SerializeError(requestId, error, body);
   return false;
}

void JsonApiDirectResponseSerializer::SerializeError(const std::string &requestId,
                                                     const Data::ErrorValuePtr &error,
                                                     std::string &body) const
{
   body.clear();
   std::string reason;
   if (!AppendHead(requestId, body)) {
      body.clear();
      AppendHead("", body);
   }
   body += ",\"error\":";
   if (!error || !AppendValue(*error, body, reason, mLimits.maxDepth)) {
      // The error itself cannot be written: say so in a form that always can.
      AppendValue(*Data::StdErrors::Make(Data::StdErrors::kInternalServerError, {},
                                         "INTERNAL_SERVER_ERROR"),
                  body, reason, mLimits.maxDepth);
   }
   body += '}';
}

bool JsonApiResponseDeserializer::Deserialize(std::string_view body,
                                              const Core::MethodIdentifier &method,
                                              JsonApiResponse &out, Data::ErrorValuePtr &error) const
{
   out = JsonApiResponse{};
   json doc;
   std::string reason;
   if (!ReadDocument(body, mLimits, doc, reason) || !ReadHead(doc, out.requestId, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   auto result = doc.find("result");
   auto err = doc.find("error");
   if ((result == doc.end()) == (err == doc.end())) {
      error = InvalidMessage("a response holds exactly one of result and error");
      return false;
   }
   Binding::CodecContext codec;
   Data::DataValuePtr value;
   if (err != doc.end()) {
      codec.Push("error");
      static const Data::TypeDesc errorType{Data::TypeKind::Error, {}, nullptr, {}, {}};
      if (!ValueFromJson(*err, errorType, value, codec)) {
         error = Data::StdErrors::Make(Data::StdErrors::kInvalidRequest, codec.Messages(),
                                       "INVALID_REQUEST");
         return false;
      }
      out.result = Core::MethodResult::GetErrorInstance(std::dynamic_pointer_cast<Data::ErrorValue>(value));
      return true;
   }
   codec.Push("result");
   if (!ValueFromJson(*result, ResultTypeOf(method.ToString()), value, codec)) {
      error = Data::StdErrors::Make(Data::StdErrors::kInvalidRequest, codec.Messages(),
                                    "INVALID_REQUEST");
      return false;
   }
   out.result = Core::MethodResult::GetInstance(value);
   return true;
}

} // namespace Ruvo::Protocol::Json
