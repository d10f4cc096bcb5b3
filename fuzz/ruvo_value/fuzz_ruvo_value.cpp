// Reads a value of one binding structure from JSON, converts it to its native form
// and back: the first byte picks the structure. The JSON reader itself is checked
// against a plain parser on every input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/attestation_report.h"
#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "api/trusted_infrastructure_providers.h"
#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/binding/binder.h"
#include "runtime/ruvo/json/json_reader.h"
#include "runtime/ruvo/json/value_codec.h"
#include "runtime/ruvo/std/std_errors.h"

namespace {

namespace B = Com::Talvor::Brim;

template <class T>
void RoundTrip(const nlohmann::json &doc)
{
   Ruvo::Binding::CodecContext ctx;
   Ruvo::Data::DataValuePtr value;
   if (!Ruvo::Protocol::Json::ValueFromJson(doc, Ruvo::Binding::Codec<T>::Desc(), value, ctx)) {
      return;
   }
   T native{};
   if (!Ruvo::Binding::FromDataValue(value, native, ctx)) {
      __builtin_trap(); // what the typed reader accepted, the binding must take
   }
   Ruvo::Binding::CodecContext out;
   auto back = Ruvo::Binding::ToDataValue(native, out);
   if (back) {
      std::string text;
      std::string reason;
      const bool written = Ruvo::Protocol::Json::AppendValue(*back, text, reason);
      (void)back->ToString();
      // Written from the native value, the text is the same, or left to the value writer.
      std::string direct;
      if (Ruvo::Protocol::Json::AppendTyped(Ruvo::Binding::TypedResult<T>(native), direct) &&
          (!written || direct != text)) {
         __builtin_trap();
      }
   }
}

// Also the untyped road: values read by shape and adapted leniently.
template <class T>
void Lenient(const nlohmann::json &doc)
{
   Ruvo::Binding::CodecContext ctx;
   Ruvo::Data::DataValuePtr value;
   if (Ruvo::Protocol::Json::ValueFromJson(doc, Ruvo::Data::TypeDesc::Of(Ruvo::Data::TypeKind::Dynamic), value, ctx)) {
      T native{};
      Ruvo::Binding::FromDataValue(value, native, ctx);
   }
}

// The reader agrees with a plain strict parser: what it accepts is the document
// the plain parser builds; what it calls malformed, the plain parser refuses too,
// except text with a NUL in it, where the plain parser stops reading (the reader
// refuses it: bytes behind a NUL are not ignored).
void AgreesWithPlainParser(std::string_view text, bool accepted, const nlohmann::json &doc,
                           const std::string &reason)
{
   const nlohmann::json plain = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
   const bool parses = !plain.is_discarded();
   if (accepted && (!parses || plain.dump() != doc.dump())) {
      __builtin_trap();
   }
   if (!accepted && parses && reason.rfind("malformed JSON", 0) == 0 &&
       text.find('\0') == std::string_view::npos) {
      __builtin_trap();
   }
}

// The arena document reads the same text the same way: the same verdict and
// reason, and a value of the given type read from it equals the one read from the
// tree (or both readings fail with the same messages).
void ArenaAgrees(std::string_view text, bool accepted, const nlohmann::json &doc,
                 const std::string &reason, const Ruvo::Data::TypeDesc &type)
{
   namespace J = Ruvo::Protocol::Json;
   J::ArenaStorage arena;
   J::ArenaDocument arenaDoc(&arena.Pool());
   std::string arenaReason;
   const bool arenaAccepted = J::ReadDocument(text, J::kSecureLimits, arenaDoc, arenaReason);
   if (arenaAccepted != accepted || arenaReason != reason) {
      __builtin_trap();
   }
   if (!accepted) {
      return;
   }
   Ruvo::Binding::CodecContext treeCtx;
   Ruvo::Binding::CodecContext arenaCtx;
   Ruvo::Data::DataValuePtr treeValue;
   Ruvo::Data::DataValuePtr arenaValue;
   const bool treeOk = J::ValueFromJson(doc, type, treeValue, treeCtx);
   const bool arenaOk = J::ValueFromJson(arenaDoc, type, arenaValue, arenaCtx);
   if (treeOk != arenaOk || treeCtx.Messages().size() != arenaCtx.Messages().size()) {
      __builtin_trap();
   }
   for (size_t i = 0; i < treeCtx.Messages().size(); ++i) {
      if (treeCtx.Messages()[i].ToString() != arenaCtx.Messages()[i].ToString()) {
         __builtin_trap();
      }
   }
   if (treeOk) {
      std::string treeText;
      std::string arenaText;
      std::string why;
      J::AppendValue(*treeValue, treeText, why);
      J::AppendValue(*arenaValue, arenaText, why);
      if (treeText != arenaText) {
         __builtin_trap();
      }
   }
}

using Handler = void (*)(const nlohmann::json &);

template <class T>
constexpr std::array<Handler, 2> Both()
{
   return {&RoundTrip<T>, &Lenient<T>};
}

// The type descriptions the handlers read, in the same order.
const std::vector<const Ruvo::Data::TypeDesc *> &Types()
{
   static const std::vector<const Ruvo::Data::TypeDesc *> types = [] {
      std::vector<const Ruvo::Data::TypeDesc *> all;
      for (const auto *type : {&Ruvo::Binding::Codec<B::TrustedInfrastructure::ServicesApi::CreateSpec>::Desc(),
                               &Ruvo::Binding::Codec<B::TrustedInfrastructure::ServicesApi::FilterSpec>::Desc(),
                               &Ruvo::Binding::Codec<B::TrustedInfrastructure::ServicesApi::SummaryList>::Desc(),
                               &Ruvo::Binding::Codec<B::TrustedInfrastructure::ServicesApi::Info>::Desc(),
                               &Ruvo::Binding::Codec<B::TrustedInfrastructure::Kms::ProvidersSvc::FilterSpec>::Desc(),
                               &Ruvo::Binding::Codec<B::TrustedInfrastructure::Kms::ProvidersSvc::SummaryList>::Desc(),
                               &Ruvo::Binding::Codec<B::Kms::KeyOperationSvc::GeneratedKey>::Desc(),
                               &Ruvo::Binding::Codec<B::Kms::KeyOperationSvc::DecryptResult>::Desc(),
                               &Ruvo::Binding::Codec<B::Kms::Providers::StatusSvc::Info>::Desc(),
                               &Ruvo::Binding::Codec<B::Attestation::ReportSvc::Tpm2Request>::Desc(),
                               &Ruvo::Binding::Codec<B::Attestation::ReportSvc::Tpm2Result>::Desc(),
                               &Ruvo::Binding::Codec<Com::Talvor::Ruvo::Std::Errors::NotFound>::Desc()}) {
         all.push_back(type);
         all.push_back(&Ruvo::Data::TypeDesc::Of(Ruvo::Data::TypeKind::Dynamic));
      }
      return all;
   }();
   return types;
}

const std::vector<Handler> &Handlers()
{
   static const std::vector<Handler> handlers = [] {
      std::vector<Handler> all;
      for (auto list : {Both<B::TrustedInfrastructure::ServicesApi::CreateSpec>(),
                        Both<B::TrustedInfrastructure::ServicesApi::FilterSpec>(),
                        Both<B::TrustedInfrastructure::ServicesApi::SummaryList>(),
                        Both<B::TrustedInfrastructure::ServicesApi::Info>(),
                        Both<B::TrustedInfrastructure::Kms::ProvidersSvc::FilterSpec>(),
                        Both<B::TrustedInfrastructure::Kms::ProvidersSvc::SummaryList>(),
                        Both<B::Kms::KeyOperationSvc::GeneratedKey>(),
                        Both<B::Kms::KeyOperationSvc::DecryptResult>(),
                        Both<B::Kms::Providers::StatusSvc::Info>(),
                        Both<B::Attestation::ReportSvc::Tpm2Request>(),
                        Both<B::Attestation::ReportSvc::Tpm2Result>(),
                        Both<Com::Talvor::Ruvo::Std::Errors::NotFound>()}) {
         all.insert(all.end(), list.begin(), list.end());
      }
      return all;
   }();
   return handlers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   nlohmann::json doc;
   std::string reason;
   std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
   const bool accepted =
       Ruvo::Protocol::Json::ReadDocument(text, Ruvo::Protocol::Json::kSecureLimits, doc, reason);
   AgreesWithPlainParser(text, accepted, doc, reason);
   const size_t pick = data[0] % Handlers().size();
   ArenaAgrees(text, accepted, doc, reason, *Types()[pick]);
   if (!accepted) {
      return 0;
   }
   Handlers()[pick](doc);
   return 0;
}
