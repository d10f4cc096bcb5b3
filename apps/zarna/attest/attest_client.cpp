#include "apps/zarna/attest/attest_client.h"

#include "apps/zarna/include/logger.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostctl/agent_traffic.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/safe_text.h"
#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/core/execution_context.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"

namespace Zarna {

namespace Report = Com::Talvor::Brim::Attestation::ReportSvc;

namespace {

// Long enough for any error a service sends, short enough to keep a log line readable.
constexpr size_t kMaxLoggedErrorBytes = 2048;

bool ParsePort(const std::string &text, uint16_t &port)
{
   if (text.empty() || text.size() > 5) {
      return false;
   }
   uint32_t value = 0;
   for (char c : text) {
      if (c < '0' || c > '9') {
         return false;
      }
      value = value * 10 + static_cast<uint32_t>(c - '0');
   }
   if (value == 0 || value > 65535) {
      return false;
   }
   port = static_cast<uint16_t>(value);
   return true;
}

} // namespace

AttestTpm DefaultAttestTpm()
{
   return AttestTpm{&AttestLib::Tpm2::IsTpmAvailable, &AttestLib::Tpm2::GetEndorsementKey};
}

AttestdProviderFactory DefaultAttestdProviderFactory()
{
   return [](boost::asio::io_context &io, const std::string &host, const std::string &port,
             const std::vector<std::string> &certificates) -> Ruvo::Core::AsyncApiProviderPtr {
      uint16_t number = 0;
      if (!ParsePort(port, number)) {
         return nullptr;
      }
      Ruvo::Asio::StreamLimits limits;
      limits.prepareSocket = [](int fd) { HostCtl::Network::MarkAgentSocket(fd); };
      return Ruvo::Transport::PicoHttp::CreateHttpsClientProvider(
          io, host, number, certificates, std::make_shared<RuvoLoggerWrapper>(), limits);
   };
}

// The records of one handshake, kept for its whole length: each reply is read
// into the same result, each follow-up is the same request with new contexts.
struct AttestClient::Exchange {
   int budget = kAttestRoundTripBudget;
   std::string *token = nullptr;
   Ruvo::Data::ErrorValuePtr *error = nullptr;
   Report::Tpm2Request request;
   Report::Tpm2Result result;
   Ruvo::Data::StructValuePtr requestValue;
};

AttestClient::AttestClient(std::string host, std::string port,
                           std::vector<std::string> trustedCertificates,
                           std::shared_ptr<AttestLib::Tpm2::AttestState> state,
                           AttestClientOptions options)
    : mHost(std::move(host)), mPort(std::move(port)),
      mTrustedCertificates(std::move(trustedCertificates)), mState(std::move(state)),
      mOptions(std::move(options))
{
   if (!mOptions.tpm.isTpmAvailable || !mOptions.tpm.getEndorsementKey) {
      mOptions.tpm = DefaultAttestTpm();
   }
   if (!mOptions.providerFactory) {
      mOptions.providerFactory = DefaultAttestdProviderFactory();
   }
}

AttestClient::~AttestClient()
{
   // Completions still queued hold the exchange, never the client.
   mReportStub.reset();
   mIo.stop();
}

bool AttestClient::Connect()
{
   Log_Level(125, "Connecting to attestd %s:%s\n", mHost.c_str(), mPort.c_str());
   Ruvo::Core::AsyncApiProviderPtr provider =
       mOptions.providerFactory(mIo, mHost, mPort, mTrustedCertificates);
   if (!provider) {
      Log_Level(110, "Cannot create API Provider with SSL/TLS\n");
      return false;
   }
   // The service is reached anonymously; TLS alone protects the exchange.
   auto context = std::make_shared<Ruvo::Core::ExecutionContext>();
   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>(context);
   auto api = std::make_shared<Ruvo::Binding::AsyncApiStub>(provider, activation);
   mReportStub = std::make_shared<Report::AsyncServiceStub>(api);
   return true;
}

void AttestClient::GetKmsAuthJwt(std::string &token, Ruvo::Data::ErrorValuePtr &error)
{
   token.clear();
   error.reset();
   if (!mOptions.tpm.isTpmAvailable()) {
      Log_Level(110, "No TPM2 device available\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestNoTpm2);
      return;
   }
   std::string key;
   std::string certificate;
   if (!mOptions.tpm.getEndorsementKey(key, certificate)) {
      Log_Level(110, "Unable to retrieve endorsement key and/or certificate\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestNoEk);
      return;
   }
   if (!Connect()) {
      Log_Level(110, "Unable to setup zarna-attestd SSL connection\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestConnectionSetupFailure);
      return;
   }

   auto exchange = std::make_shared<Exchange>();
   exchange->token = &token;
   exchange->error = &error;
   auto identity = std::make_shared<Report::Tpm2Identity>();
   if (!certificate.empty()) {
      identity->ek_certificate = certificate;
   } else {
      identity->ek_public_key = key;
   }
   exchange->request.identity = identity;
   exchange->request.document_types = {Report::DocumentType::TOKEN};
   Send(exchange);

   mIo.restart();
   mIo.run();
   if (token.empty() && !error) {
      // Only a completion that was never delivered can leave both empty.
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestUnexpectedResult);
   }
}

void AttestClient::Send(const std::shared_ptr<Exchange> &exchange)
{
   exchange->requestValue = std::make_shared<Ruvo::Data::StructValue>("emptyDynStr");
   Ruvo::Binding::CodecContext codec;
   Ruvo::Binding::ToStructValue(exchange->request, *exchange->requestValue, codec);
   mReportStub->Attest(exchange->requestValue, nullptr,
                       Ruvo::AsyncResult<Ruvo::Data::StructValuePtr>(
                           [this, exchange](Ruvo::Outcome<Ruvo::Data::StructValuePtr> &&outcome) {
                              OnReply(exchange, std::move(outcome));
                           }));
}

void AttestClient::OnReply(const std::shared_ptr<Exchange> &exchange,
                           Ruvo::Outcome<Ruvo::Data::StructValuePtr> &&outcome)
{
   Ruvo::Data::ErrorValuePtr &error = *exchange->error;
   Log_Level(130, "Attest callback called: %d\n", kAttestRoundTripBudget - exchange->budget);
   if (outcome.IsError()) {
      std::string text;
      Hostlib::AppendLogSafe(text, outcome.error->ToString(), kMaxLoggedErrorBytes);
      Log_Level(110, "Error retrieving token from ATTEST: %s\n", text.c_str());
      error = outcome.error;
      return;
   }

   Report::Tpm2Result &result = exchange->result;
   result = Report::Tpm2Result{};
   Ruvo::Binding::CodecContext codec;
   if (!outcome.value || !*outcome.value ||
       !Ruvo::Binding::FromDataValue(*outcome.value, result, codec)) {
      Log_Level(110, "Unexpected attestation result: unreadable reply\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestUnexpectedResult);
      return;
   }

   if (result.finished) {
      const auto &documents = result.documents;
      if (documents.size() == 1 && documents[0] &&
          documents[0]->type == Report::DocumentType::TOKEN) {
         // A token document without content is no token.
         if (documents[0]->content && !documents[0]->content->empty()) {
            *exchange->token = *documents[0]->content;
            Log_Level(125, "Attestation succeeded\n");
            return;
         }
      }
      const int firstType =
          !documents.empty() && documents[0] ? static_cast<int>(documents[0]->type) : -1;
      Log_Level(110, "Unexpected attestation result: Document Size: %lu, DocumentType: %d\n",
                static_cast<unsigned long>(documents.size()), firstType);
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestUnexpectedResult);
      return;
   }

   if (--exchange->budget == 0) {
      Log_Level(110, "Reached maximum attestation round trip limit\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestMaxRoundTrips);
      return;
   }
   if (result.contexts.size() != 1) {
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestNumContexts);
      Log_Level(110, "Unexpected number of contexts: %lu\n",
                static_cast<unsigned long>(result.contexts.size()));
      return;
   }
   std::vector<uint8_t> input = result.contexts[0];
   std::vector<uint8_t> output;
   if (!mState || !mState->ProcessContext(input, output)) {
      Log_Level(110, "Unable to process context\n");
      error = MakeError(ErrorClass::Error, ErrorIds::kAttestProcessContext);
      return;
   }
   exchange->request.contexts = {std::move(output)};
   Send(exchange);
}

} // namespace Zarna
