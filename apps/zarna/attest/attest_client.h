// The attestation client: one short-lived AttestClient per handshake with one
// attestation service. It moves opaque contexts between the TPM attestation
// state and the service until the service answers with a token, at most 100
// round trips, all on a private I/O context run by the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "api/attestation_report.h"
#include "runtime/ruvo/core/api_provider.h"
#include "runtime/ruvo/data/error_value.h"
#include "runtime/tpm2/tpm2.h"

namespace Zarna {

inline constexpr int kAttestRoundTripBudget = 100;

// What the client asks of the TPM library; tests script it.
struct AttestTpm {
   std::function<bool()> isTpmAvailable;
   std::function<bool(std::string &key, std::string &certificate)> getEndorsementKey;
};
AttestTpm DefaultAttestTpm();

// The API provider of one attestation service on the client's I/O context; null
// when the TLS context cannot be built.
using AttestdProviderFactory = std::function<Ruvo::Core::AsyncApiProviderPtr(
    boost::asio::io_context &io, const std::string &host, const std::string &port,
    const std::vector<std::string> &certificates)>;
// HTTPS with the trusted certificates and the host name check; the sockets carry
// the agent's socket mark so that an enabled firewall confines them.
AttestdProviderFactory DefaultAttestdProviderFactory();

struct AttestClientOptions {
   AttestTpm tpm;                          // default: DefaultAttestTpm()
   AttestdProviderFactory providerFactory; // default: DefaultAttestdProviderFactory()
};

class AttestClient {
public:
   AttestClient(std::string host, std::string port, std::vector<std::string> trustedCertificates,
                std::shared_ptr<AttestLib::Tpm2::AttestState> state,
                AttestClientOptions options = {});
   ~AttestClient();
   AttestClient(const AttestClient &) = delete;
   AttestClient &operator=(const AttestClient &) = delete;

   // Either the token is set and the error empty, or the token is empty and the
   // error holds the reason (a service's own error unchanged). An failure of the
   // I/O loop itself is thrown.
   void GetKmsAuthJwt(std::string &token, Ruvo::Data::ErrorValuePtr &error);

private:
   struct Exchange;

   bool Connect();
   void Send(const std::shared_ptr<Exchange> &exchange);
   // One reply; issues the next call unless the exchange is over.
   void OnReply(const std::shared_ptr<Exchange> &exchange,
                Ruvo::Outcome<Ruvo::Data::StructValuePtr> &&outcome);

   const std::string mHost;
   const std::string mPort;
   const std::vector<std::string> mTrustedCertificates;
   boost::asio::io_context mIo;
   std::shared_ptr<Com::Talvor::Brim::Attestation::ReportSvc::AsyncServiceStub> mReportStub;
   std::shared_ptr<AttestLib::Tpm2::AttestState> mState;
   AttestClientOptions mOptions;
};

} // namespace Zarna
