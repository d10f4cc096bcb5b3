// The attestation client against a scripted service and TPM: what it sends as
// identity, how it counts replies, and how it ends on each kind of answer.
#include <gtest/gtest.h>

#include <deque>

#include "apps/zarna/attest/attest_client.h"
#include "apps/zarna/ruvo/messages.h"
#include "runtime/hostlib/testing/log_capture.h"
#include "runtime/ruvo/binding/codec.h"
#include "runtime/ruvo/provider/local_provider.h"

namespace {

namespace Report = Com::Talvor::Brim::Attestation::ReportSvc;

// Answers each call with the next scripted result (the last one repeats) and
// keeps what it was sent.
class ScriptedService : public Report::AsyncServiceInterface {
public:
   std::deque<Report::Tpm2Result> results;
   std::vector<Report::Tpm2Request> received;

   void Attest(const Ruvo::Data::StructValuePtr &request,
               Ruvo::AsyncResult<Ruvo::Data::StructValuePtr> result) override
   {
      Report::Tpm2Request native;
      Ruvo::Binding::CodecContext in;
      EXPECT_TRUE(Ruvo::Binding::FromDataValue(request, native, in));
      received.push_back(native);
      Report::Tpm2Result next = results.front();
      if (results.size() > 1) {
         results.pop_front();
      }
      Ruvo::Binding::CodecContext out;
      result.SetResult(std::dynamic_pointer_cast<Ruvo::Data::StructValue>(
          Ruvo::Binding::ToDataValue(next, out)));
   }
};

class EchoState : public AttestLib::Tpm2::AttestState {
public:
   bool refuse = false;
   bool ProcessContext(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override
   {
      out = in;
      out.push_back(0x42);
      return !refuse;
   }
};

Report::Tpm2Result Unfinished(size_t contexts)
{
   Report::Tpm2Result r;
   r.contexts.assign(contexts, std::vector<uint8_t>{1, 2, 3});
   return r;
}

Report::Tpm2Result Finished(std::vector<std::optional<std::string>> contents)
{
   Report::Tpm2Result r;
   r.finished = true;
   for (auto &content : contents) {
      r.documents.push_back(std::make_shared<Report::Document>(
          Report::Document{Report::DocumentType::TOKEN, content}));
   }
   return r;
}

struct Outcome {
   std::string token;
   Ruvo::Data::ErrorValuePtr error;
   std::string Id() const
   {
      return error && !error->messages().empty() ? error->messages()[0].GetId() : "";
   }
};

class AttestClientTest : public ::testing::Test {
protected:
   Outcome Go(std::string certificate = "CERT", std::string key = "KEY")
   {
      Zarna::AttestClientOptions options;
      options.tpm.isTpmAvailable = [] { return true; };
      options.tpm.getEndorsementKey = [=](std::string &k, std::string &c) {
         k = key;
         c = certificate;
         return true;
      };
      options.providerFactory = [this](boost::asio::io_context &, const std::string &,
                                       const std::string &, const std::vector<std::string> &) {
         return Ruvo::Provider::AsyncLocalProvider::Create(
             {Report::AsyncServiceBinder::BindImplementation(service, nullptr)});
      };
      Outcome run;
      Zarna::AttestClient client("attestd.test", "443", {}, state, options);
      client.GetKmsAuthJwt(run.token, run.error);
      return run;
   }

   std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
   std::shared_ptr<EchoState> state = std::make_shared<EchoState>();
   HostlibTesting::LogCapture log;
};

TEST_F(AttestClientTest, ContextsTravelThroughTheStateAndTheFirstFinishedReplyEndsIt)
{
   service->results = {Unfinished(1), Unfinished(1), Finished({"the.token.here"})};
   Outcome run = Go();
   EXPECT_EQ(run.token, "the.token.here");
   EXPECT_EQ(run.error, nullptr);
   ASSERT_EQ(service->received.size(), 3u);
   EXPECT_TRUE(service->received[0].contexts.empty());
   EXPECT_EQ(service->received[1].contexts, (std::vector<std::vector<uint8_t>>{{1, 2, 3, 0x42}}));
   for (const auto &request : service->received) {
      EXPECT_EQ(request.identity->ek_certificate, "CERT");
      EXPECT_FALSE(request.identity->ek_public_key) << "the key only when there is no certificate";
      EXPECT_EQ(request.document_types,
                std::vector<Report::DocumentType>{Report::DocumentType::TOKEN});
   }
   EXPECT_TRUE(log.Has(130, "Attest callback called: 2"));

   // Without a certificate the key is the identity.
   service->received.clear();
   service->results = {Finished({"t"})};
   EXPECT_EQ(Go("", "KEY").token, "t");
   EXPECT_EQ(service->received[0].identity->ek_public_key, "KEY");
   EXPECT_FALSE(service->received[0].identity->ek_certificate);
   EXPECT_TRUE(log.Has(130, "Attest callback called: 0"));
}

TEST_F(AttestClientTest, EachWrongShapeOfReplyEndsWithItsId)
{
   struct Case {
      Report::Tpm2Result result;
      std::string id;
      std::string line;
   };
   const std::vector<Case> cases = {
       {Unfinished(0), Zarna::ErrorIds::kAttestNumContexts, "Unexpected number of contexts: 0"},
       {Unfinished(2), Zarna::ErrorIds::kAttestNumContexts, "Unexpected number of contexts: 2"},
       {Finished({}), Zarna::ErrorIds::kAttestUnexpectedResult, ""},
       {Finished({"a", "b"}), Zarna::ErrorIds::kAttestUnexpectedResult,
        "Unexpected attestation result: Document Size: 2, DocumentType: 0"},
       {Finished({std::nullopt}), Zarna::ErrorIds::kAttestUnexpectedResult, ""},
       {Finished({""}), Zarna::ErrorIds::kAttestUnexpectedResult, ""},
   };
   for (const Case &c : cases) {
      service->results = {c.result};
      Outcome run = Go();
      EXPECT_TRUE(run.token.empty());
      EXPECT_EQ(run.Id(), c.id);
      if (!c.line.empty()) {
         EXPECT_TRUE(log.Has(110, c.line)) << c.line;
      }
   }
   service->results = {Unfinished(1)};
   state->refuse = true;
   EXPECT_EQ(Go().Id(), Zarna::ErrorIds::kAttestProcessContext);
   state->refuse = false;

   // Always unfinished: exactly 100 calls.
   service->received.clear();
   EXPECT_EQ(Go().Id(), Zarna::ErrorIds::kAttestMaxRoundTrips);
   EXPECT_EQ(service->received.size(), 100u);
}

} // namespace
