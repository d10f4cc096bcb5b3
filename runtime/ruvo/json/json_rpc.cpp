#include "runtime/ruvo/json/json_rpc.h"

#include "runtime/ruvo/binding/codec_context.h"
#include "runtime/ruvo/core/signature_registry.h"
#include "runtime/ruvo/json/json_reader.h"
#include "runtime/ruvo/json/value_codec.h"

namespace Ruvo::Protocol::Json {

namespace {

constexpr const char *kVersion = "1.1";
constexpr size_t kMaxIdBytes = 1024;

Data::ErrorValuePtr InvalidMessage(const std::string &reason)
{
   return Data::StdErrors::Make(Data::StdErrors::kInvalidRequest,
                                {CoreMessage::Make(MessageIds::kInvalidMessage, {reason})},
                                "INVALID_REQUEST");
}

const Data::TypeDesc &InputTypeOf(std::string_view methodText)
{
   auto signature = Core::SignatureRegistry::Instance().Find(methodText);
   return signature && signature->input ? *signature->input
                                        : Data::TypeDesc::Of(Data::TypeKind::Dynamic);
}

const Data::TypeDesc &ResultTypeOf(std::string_view methodText)
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

bool IsText(const ArenaValue *value) { return value != nullptr && value->IsString(); }
bool IsAbsent(const ArenaValue *value) { return value == nullptr || value->IsNull(); }

// Reads version and id; sets `id` as soon as it is known.
bool ReadHead(const ArenaValue &doc, std::string &id, std::string &reason)
{
   if (!doc.IsObject()) {
      reason = "message is not an object";
      return false;
   }
   const ArenaValue *idValue = FindMember(doc, "id");
   if (!IsText(idValue)) {
      reason = "missing or non-text id";
      return false;
   }
   if (idValue->GetStringLength() > kMaxIdBytes) {
      reason = "id too long";
      return false;
   }
   id = TextOf(*idValue);
   const ArenaValue *version = FindMember(doc, "version");
   if (!IsText(version) || TextOf(*version) != kVersion) {
      reason = "version is not 1.1";
      return false;
   }
   return true;
}

// The text members of a context section; false when one is not text.
template <class F>
bool ReadTextMembers(const ArenaValue &section, F &&take)
{
   for (auto it = section.MemberBegin(); it != section.MemberEnd(); ++it) {
      if (!it->value.IsString()) {
         return false;
      }
      take(std::string(TextOf(it->name)), TextOf(it->value));
   }
   return true;
}

bool ReadContext(const ArenaValue &params, Core::ExecutionContext &context, std::string &reason)
{
   const ArenaValue *ctx = FindMember(params, "context");
   if (IsAbsent(ctx)) {
      return true;
   }
   if (!ctx->IsObject()) {
      reason = "context is not an object";
      return false;
   }
   if (const ArenaValue *app = FindMember(*ctx, "app"); !IsAbsent(app)) {
      if (!app->IsObject()) {
         reason = "application context is not an object";
         return false;
      }
      auto &values = context.GetApplicationContext();
      if (!ReadTextMembers(*app, [&](std::string key, std::string_view value) {
             values[std::move(key)] = std::string(value);
          })) {
         reason = "application context value is not text";
         return false;
      }
   }
   if (const ArenaValue *sec = FindMember(*ctx, "security"); !IsAbsent(sec)) {
      if (!sec->IsObject()) {
         reason = "security context is not an object";
         return false;
      }
      auto &security = context.GetSecurityContext();
      if (!ReadTextMembers(*sec, [&](std::string key, std::string_view value) {
             if (key == Core::kSchemeIdKey) {
                security.SetSchemeId(std::string(value));
             } else {
                security.SetSecret(key, SecretString(value));
             }
          })) {
         reason = "security context value is not text";
         return false;
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
   ArenaStorage arena;
   ArenaDocument doc(&arena.Pool());
   std::string reason;
   if (!ReadDocument(body, mLimits, doc, reason) || !ReadHead(doc, out.requestId, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   out.context->SetRequestId(out.requestId);
   const ArenaValue *method = FindMember(doc, "method");
   if (!IsText(method) || !Core::MethodIdentifier::FromString(TextOf(*method), out.method)) {
      error = InvalidMessage("missing or malformed method");
      return false;
   }
   const ArenaValue *params = FindMember(doc, "params");
   if (params == nullptr || !params->IsObject()) {
      error = InvalidMessage("missing params");
      return false;
   }
   if (!ReadContext(*params, *out.context, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   const ArenaValue *input = FindMember(*params, "input");
   ArenaValue empty(rapidjson::kObjectType);
   Binding::CodecContext codec;
   codec.Push("input");
   if (!ValueFromJson(input == nullptr ? empty : *input, InputTypeOf(TextOf(*method)), out.input,
                      codec)) {
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
      if (!result.IsError() && result.GetTypedOutput() != nullptr &&
          AppendTyped(*result.GetTypedOutput(), body, mLimits.maxDepth)) {
         body += '}';
         return true;
      }
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
   ArenaStorage arena;
   ArenaDocument doc(&arena.Pool());
   std::string reason;
   if (!ReadDocument(body, mLimits, doc, reason) || !ReadHead(doc, out.requestId, reason)) {
      error = InvalidMessage(reason);
      return false;
   }
   const ArenaValue *result = FindMember(doc, "result");
   const ArenaValue *err = FindMember(doc, "error");
   if ((result == nullptr) == (err == nullptr)) {
      error = InvalidMessage("a response holds exactly one of result and error");
      return false;
   }
   Binding::CodecContext codec;
   Data::DataValuePtr value;
   if (err != nullptr) {
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
