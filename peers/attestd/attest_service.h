// The attestation report service: the three steps of the exchange, the checks
// of each, and the token at the end. One log line per handshake says how it
// ended and why.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "api/attestation_report.h"
#include "peers/attestd/identity.h"
#include "peers/attestd/sessions.h"
#include "peers/attestd/token.h"

namespace Attestd {

namespace Report = Com::Talvor::Brim::Attestation::ReportSvc;

// Misbehaviour on purpose, for testing clients.
enum class Fault {
   None,
   Error,        // every call answers an error
   Garbage,      // every call answers bytes that are not JSON
   WrongId,      // every call answers for another request id
   Close,        // every call is refused at the HTTP level
   Unfinished,   // never finishes: always one more challenge
   NoDocument,   // finishes at once without a document
   TwoDocuments, // finishes at once with two token documents
   WrongType,    // finishes at once with a document of another type
   EmptyToken,   // finishes at once with an empty token document
   NoExpiry,     // a real handshake, then a token without "exp"
   Expired,      // a real handshake, then a token that expired
   FarExpiry,    // a real handshake, then a token expiring beyond any delay
};

struct FaultSpec {
   Fault fault = Fault::None;
   std::chrono::milliseconds delay{0}; // before every answer
};
bool ParseFault(const std::string &text, FaultSpec &out);

struct ServiceConfig {
   std::string issuer = "attestd";
   std::string audience = "zarnd";
   int64_t tokenLifetimeSec = 3600;
   std::vector<std::string> grants;
   std::set<unsigned> pcrs = {0, 1, 2, 3, 4, 5, 6, 7};
   std::map<unsigned, std::vector<uint8_t>> pcrPolicy;
   FaultSpec fault;
   std::chrono::seconds sessionLifetime{60};
   size_t maxSessions = 1024;
   std::function<int64_t()> wallClock; // seconds since the epoch; default time()
};

class AttestService : public Report::AsyncServiceInterface {
public:
   AttestService(boost::asio::io_context &io, ServiceConfig config,
                 std::shared_ptr<IdentityVerifier> identities, std::shared_ptr<TokenSigner> signer);

   void Attest(const Ruvo::Data::StructValuePtr &request,
               Ruvo::AsyncResult<Ruvo::Data::StructValuePtr> result) override;

   SessionStore &Sessions() { return mSessions; }

private:
   struct Answer;
   void Handle(const Ruvo::Data::StructValuePtr &request, Answer &answer);
   void Start(const Report::Tpm2Request &request, const std::string &identityText, Answer &answer);
   void Credential(const std::vector<uint8_t> &context, const std::string &identityText,
                   Answer &answer);
   void Finish(const std::vector<uint8_t> &context, const std::string &identityText,
               Answer &answer);
   bool AnswerFault(Answer &answer);

   boost::asio::io_context &mIo;
   const ServiceConfig mConfig;
   std::shared_ptr<IdentityVerifier> mIdentities;
   std::shared_ptr<TokenSigner> mSigner;
   SessionStore mSessions;
};

} // namespace Attestd
