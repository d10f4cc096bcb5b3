#include "peers/attestd/attest_service.h"

#include <cstdio>
#include <ctime>

#include <boost/asio/steady_timer.hpp>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <tss2/tss2_mu.h>

#include "peers/attestd/credential.h"
#include "peers/attestd/evidence.h"
#include "runtime/hostlib/safe_text.h"
#include "runtime/ruvo/binding/codec.h"
#include "runtime/tpm2/attest_protocol.h"

namespace Attestd {

namespace Protocol = AttestLib::Tpm2::Protocol;

namespace {

constexpr const char *kRefusedId = "com.talvor.brim.attestation.report.refused";
constexpr const char *kInvalidId = "com.talvor.brim.attestation.report.invalid_request";
constexpr size_t kSecretBytes = 32;

Bytes Random(size_t size)
{
   Bytes out(size);
   RAND_bytes(out.data(), static_cast<int>(out.size()));
   return out;
}

std::string ShortId(const Bytes &id)
{
   return Hex(Bytes(id.begin(), id.begin() + std::min<size_t>(id.size(), 4)));
}

void LogLine(const std::string &line)
{
   char stamp[32];
   const time_t now = time(nullptr);
   struct tm tm {};
   gmtime_r(&now, &tm);
   strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
   std::string safe;
   Hostlib::AppendLogSafe(safe, line, 1024);
   fprintf(stderr, "%s attestd: %s\n", stamp, safe.c_str());
   fflush(stderr);
}

Ruvo::Data::StructValuePtr ToStruct(const Report::Tpm2Result &result)
{
   Ruvo::Binding::CodecContext codec;
   auto value = std::dynamic_pointer_cast<Ruvo::Data::StructValue>(
       Ruvo::Binding::ToDataValue(result, codec));
   return value;
}

} // namespace

bool ParseFault(const std::string &text, FaultSpec &out)
{
   static const std::map<std::string, Fault> names = {{"none", Fault::None},
                                                      {"error", Fault::Error},
                                                      {"garbage", Fault::Garbage},
                                                      {"wrong-id", Fault::WrongId},
                                                      {"close", Fault::Close},
                                                      {"unfinished", Fault::Unfinished},
                                                      {"no-document", Fault::NoDocument},
                                                      {"two-documents", Fault::TwoDocuments},
                                                      {"wrong-type", Fault::WrongType},
                                                      {"empty-token", Fault::EmptyToken},
                                                      {"no-exp", Fault::NoExpiry},
                                                      {"expired", Fault::Expired},
                                                      {"far-exp", Fault::FarExpiry}};
   if (text.rfind("delay:", 0) == 0) {
      const std::string ms = text.substr(6);
      if (ms.empty() || ms.size() > 7 || ms.find_first_not_of("0123456789") != std::string::npos) {
         return false;
      }
      out.delay = std::chrono::milliseconds(std::stol(ms));
      return true;
   }
   auto it = names.find(text);
   if (it == names.end()) {
      return false;
   }
   out.fault = it->second;
   return true;
}

// How one call ends: a result or an error; and, when the handshake ends here,
// the line that says so.
struct AttestService::Answer {
   Ruvo::Data::StructValuePtr result;
   Ruvo::Data::ErrorValuePtr error;
   std::string logLine;

   void Refuse(const std::string &where, const std::string &reason)
   {
      error = Ruvo::Data::StdErrors::Make(
          Ruvo::Data::StdErrors::kError,
          {Ruvo::BaseMessage(kRefusedId, "Attestation refused: " + reason)});
      logLine = where + " refused: " + reason;
   }
   void Invalid(const std::string &reason)
   {
      error = Ruvo::Data::StdErrors::Make(
          Ruvo::Data::StdErrors::kInvalidArgument,
          {Ruvo::BaseMessage(kInvalidId, "Invalid attestation request: " + reason)},
          "INVALID_ARGUMENT");
      logLine = "request refused: " + reason;
   }
};

AttestService::AttestService(boost::asio::io_context &io, ServiceConfig config,
                             std::shared_ptr<IdentityVerifier> identities,
                             std::shared_ptr<TokenSigner> signer)
    : mIo(io), mConfig(std::move(config)), mIdentities(std::move(identities)),
      mSigner(std::move(signer)), mSessions(mConfig.sessionLifetime, mConfig.maxSessions)
{
}

void AttestService::Attest(const Ruvo::Data::StructValuePtr &request,
                           Ruvo::AsyncResult<Ruvo::Data::StructValuePtr> result)
{
   auto answer = std::make_shared<Answer>();
   Handle(request, *answer);
   if (!answer->logLine.empty()) {
      LogLine(answer->logLine);
   }
   auto deliver = [answer, result]() mutable {
      if (answer->error) {
         result.SetError(answer->error);
      } else {
         result.SetResult(answer->result);
      }
   };
   if (mConfig.fault.delay.count() > 0) {
      auto timer = std::make_shared<boost::asio::steady_timer>(mIo, mConfig.fault.delay);
      timer->async_wait([timer, deliver](const boost::system::error_code &) mutable { deliver(); });
      return;
   }
   deliver();
}

void AttestService::Handle(const Ruvo::Data::StructValuePtr &value, Answer &answer)
{
   if (AnswerFault(answer)) {
      return;
   }
   Report::Tpm2Request request;
   Ruvo::Binding::CodecContext codec;
   if (!value || !Ruvo::Binding::FromDataValue(value, request, codec)) {
      answer.Invalid("not an attestation request");
      return;
   }
   if (request.document_types.size() != 1 ||
       request.document_types[0] != Report::DocumentType::TOKEN) {
      answer.Invalid("exactly one token document must be asked for");
      return;
   }
   if (!request.identity || (request.identity->ek_certificate.has_value() ==
                             request.identity->ek_public_key.has_value())) {
      answer.Invalid("identity must carry exactly one of certificate and key");
      return;
   }
   const std::string &identityText = request.identity->ek_certificate
                                         ? *request.identity->ek_certificate
                                         : *request.identity->ek_public_key;
   if (request.contexts.empty()) {
      Start(request, identityText, answer);
      return;
   }
   if (request.contexts.size() != 1) {
      answer.Invalid("one context expected");
      return;
   }
   Protocol::MessageType type;
   std::string error;
   if (!Protocol::PeekType(request.contexts[0], type, error)) {
      answer.Invalid(error);
      return;
   }
   if (type == Protocol::MessageType::AkPublic) {
      Credential(request.contexts[0], identityText, answer);
   } else if (type == Protocol::MessageType::Evidence) {
      Finish(request.contexts[0], identityText, answer);
   } else {
      answer.Invalid("context of the service's own kind");
   }
}

void AttestService::Start(const Report::Tpm2Request &request, const std::string &identityText,
                          Answer &answer)
{
   const auto began = std::chrono::steady_clock::now();
   EkIdentity ek;
   std::string error;
   const std::string *certificate =
       request.identity->ek_certificate ? &*request.identity->ek_certificate : nullptr;
   const std::string *key =
       request.identity->ek_public_key ? &*request.identity->ek_public_key : nullptr;
   if (!mIdentities->Verify(certificate, key, ek, error)) {
      answer.Refuse("handshake", error);
      return;
   }
   std::unique_ptr<Session> session = mSessions.Open();
   if (!session) {
      answer.Refuse("handshake", "too many handshakes in progress");
      return;
   }
   session->identityText = identityText;
   session->ek = std::move(ek);
   Report::Tpm2Result result;
   result.contexts = {Protocol::Encode(Protocol::Challenge{session->id})};
   answer.result = ToStruct(result);
   session->work += std::chrono::steady_clock::now() - began;
   mSessions.Put(std::move(session));
}

void AttestService::Credential(const std::vector<uint8_t> &context, const std::string &identityText,
                               Answer &answer)
{
   const auto began = std::chrono::steady_clock::now();
   Protocol::AkPublic message;
   std::string error;
   if (!Protocol::Decode(context, message, error)) {
      answer.Invalid(error);
      return;
   }
   const std::string where = "handshake " + ShortId(message.sessionId);
   std::unique_ptr<Session> session = mSessions.Take(message.sessionId);
   if (!session) {
      answer.Refuse(where, "unknown or expired session");
      return;
   }
   if (session->step != Session::Step::AwaitAkPublic) {
      answer.Refuse(where, "session already past this step");
      return;
   }
   if (session->identityText != identityText) {
      answer.Refuse(where, "identity differs from the session's");
      return;
   }
   Bytes name;
   if (!CheckAkPublic(message.akPublic, session->ak, name, error)) {
      answer.Refuse(where, error);
      return;
   }
   session->credential = Random(kSecretBytes);
   session->nonce = Random(Protocol::kNonceBytes);
   session->selection = Sha256Selection(mConfig.pcrs);
   TPM2B_ID_OBJECT blob{};
   TPM2B_ENCRYPTED_SECRET seed{};
   if (!MakeCredential(session->ek.key.get(), name, session->credential, blob, seed, error)) {
      answer.Refuse(where, error);
      return;
   }
   Protocol::Credential out;
   out.sessionId = session->id;
   out.credentialBlob.resize(sizeof blob + 2);
   out.encryptedSecret.resize(sizeof seed + 2);
   size_t blobSize = 0;
   size_t seedSize = 0;
   Tss2_MU_TPM2B_ID_OBJECT_Marshal(&blob, out.credentialBlob.data(), out.credentialBlob.size(),
                                   &blobSize);
   Tss2_MU_TPM2B_ENCRYPTED_SECRET_Marshal(&seed, out.encryptedSecret.data(),
                                          out.encryptedSecret.size(), &seedSize);
   out.credentialBlob.resize(blobSize);
   out.encryptedSecret.resize(seedSize);
   out.nonce = session->nonce;
   out.pcrSelection = MarshalSelection(session->selection);
   session->step = Session::Step::AwaitEvidence;
   Report::Tpm2Result result;
   result.contexts = {Protocol::Encode(out)};
   answer.result = ToStruct(result);
   session->work += std::chrono::steady_clock::now() - began;
   mSessions.Put(std::move(session));
}

void AttestService::Finish(const std::vector<uint8_t> &context, const std::string &identityText,
                           Answer &answer)
{
   const auto began = std::chrono::steady_clock::now();
   Protocol::Evidence evidence;
   std::string error;
   if (!Protocol::Decode(context, evidence, error)) {
      answer.Invalid(error);
      return;
   }
   const std::string where = "handshake " + ShortId(evidence.sessionId);
   // Taken for good: whatever happens now, this session answers no second quote.
   std::unique_ptr<Session> session = mSessions.Take(evidence.sessionId);
   if (!session) {
      answer.Refuse(where, "unknown or expired session");
      return;
   }
   if (session->step != Session::Step::AwaitEvidence) {
      answer.Refuse(where, "evidence before the credential");
      return;
   }
   if (session->identityText != identityText) {
      answer.Refuse(where, "identity differs from the session's");
      return;
   }
   // Only the TPM holding the EK could recover the secret, and only into the AK
   // the credential named: this binds the AK (and so the quote) to the EK.
   const bool secretMatches = evidence.secret.size() == session->credential.size() &&
                              CRYPTO_memcmp(evidence.secret.data(), session->credential.data(),
                                            session->credential.size()) == 0;
   OPENSSL_cleanse(evidence.secret.data(), evidence.secret.size());
   if (!secretMatches) {
      answer.Refuse(where, "credential secret does not match: the AK was not activated by this EK");
      return;
   }
   std::map<unsigned, Bytes> pcrs;
   QuoteCheck check{&session->ak,     &session->nonce,     &session->selection,
                    &evidence.attest, &evidence.signature, &evidence.pcrValues};
   if (!VerifyQuote(check, pcrs, error) || !CheckPcrPolicy(mConfig.pcrPolicy, pcrs, error)) {
      answer.Refuse(where, error);
      return;
   }

   const int64_t now =
       mConfig.wallClock ? mConfig.wallClock() : static_cast<int64_t>(time(nullptr));
   TokenClaims claims;
   claims.issuer = mConfig.issuer;
   claims.subject = session->ek.digest;
   claims.audience = mConfig.audience;
   claims.issuedAt = now;
   claims.expiry = now + mConfig.tokenLifetimeSec;
   claims.id = Hex(Random(16));
   claims.providers = mConfig.grants;
   switch (mConfig.fault.fault) {
   case Fault::NoExpiry:
      claims.expiry.reset();
      break;
   case Fault::Expired:
      claims.expiry = now - 60;
      break;
   case Fault::FarExpiry:
      claims.expiry = now + 10000000000000LL;
      break;
   default:
      break;
   }
   const std::string token = mSigner->Sign(claims);
   if (token.empty()) {
      answer.Refuse(where, "cannot sign the token");
      return;
   }
   auto document = std::make_shared<Report::Document>();
   document->type = Report::DocumentType::TOKEN;
   document->content = token;
   Report::Tpm2Result result;
   result.finished = true;
   result.documents = {document};
   answer.result = ToStruct(result);
   const auto work = session->work + (std::chrono::steady_clock::now() - began);
   char workText[32];
   snprintf(workText, sizeof workText, " work=%.3fms",
            std::chrono::duration<double, std::milli>(work).count());
   answer.logLine = where + " passed: sub=" + claims.subject + " jti=" + claims.id +
                    (claims.expiry ? " exp=" + std::to_string(*claims.expiry) : " exp=none") +
                    workText;
}

bool AttestService::AnswerFault(Answer &answer)
{
   Report::Tpm2Result result;
   switch (mConfig.fault.fault) {
   case Fault::Error:
      answer.Refuse("handshake", "fault switch: error");
      return true;
   case Fault::Unfinished:
      result.contexts = {Protocol::Encode(Protocol::Challenge{Random(Protocol::kSessionIdBytes)})};
      break;
   case Fault::NoDocument:
      result.finished = true;
      break;
   case Fault::TwoDocuments: {
      auto document = std::make_shared<Report::Document>(
          Report::Document{Report::DocumentType::TOKEN, "a.b.c"});
      result.finished = true;
      result.documents = {document, document};
      break;
   }
   case Fault::EmptyToken:
      result.finished = true;
      result.documents = {
          std::make_shared<Report::Document>(Report::Document{Report::DocumentType::TOKEN, ""})};
      break;
   case Fault::WrongType: {
      result.finished = true;
      answer.result = ToStruct(result);
      auto document = std::make_shared<Ruvo::Data::StructValue>(Report::Document::kStructName);
      document->SetField("type", Ruvo::Data::MakeString("CERTIFICATE"));
      document->SetField("content", Ruvo::Data::MakeOptional(Ruvo::Data::MakeString("a.b.c")));
      auto list = std::make_shared<Ruvo::Data::ListValue>();
      list->Add(document);
      answer.result->SetField("documents", list);
      answer.logLine = "fault switch: wrong-type";
      return true;
   }
   default:
      return false;
   }
   answer.result = ToStruct(result);
   answer.logLine = "fault switch answered";
   return true;
}

} // namespace Attestd
