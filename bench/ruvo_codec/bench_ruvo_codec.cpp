// The JSON-RPC codec against nlohmann-json alone on the same text: a typical
// request (encode + decode) and a response holding a 1,000-element list.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "api/trusted_infrastructure_services.h"
#include "runtime/ruvo/json/json_rpc.h"

namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
using namespace Ruvo::Protocol::Json;

const Ruvo::Core::MethodIdentifier kCreate(Ti::Attestation::ServicesSvc::kInterfaceId, "create");
const Ruvo::Core::MethodIdentifier kList(Ti::Attestation::ServicesSvc::kInterfaceId, "list");

Ruvo::Data::DataValuePtr TypicalInput()
{
   Ti::ServicesApi::CreateSpec spec{
      std::make_shared<Ti::NetworkAddress>(Ti::NetworkAddress{"attestd.example.net", 8443}),
      std::make_shared<Ti::X509CertChain>(Ti::X509CertChain{{std::string(1200, 'A'), std::string(900, 'B')}}),
      "group-a"};
   Ruvo::Binding::CodecContext ctx;
   return Ti::ServicesApi::CreateMethod::EncodeInput(ctx, spec);
}

Ruvo::Core::ExecutionContext TypicalContext()
{
   Ruvo::Core::ExecutionContext ctx;
   ctx.SetRequestId("req-1");
   ctx.GetApplicationContext()["opId"] = "zarnactl-1f2e-0";
   ctx.GetSecurityContext().SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   ctx.GetSecurityContext().SetAccessToken(Ruvo::SecretString(std::string(600, 't')));
   return ctx;
}

Ruvo::Data::DataValuePtr LongList()
{
   Ti::ServicesApi::SummaryList list;
   for (int i = 0; i < 1000; ++i) {
      list.push_back(std::make_shared<Ti::ServicesApi::Summary>(Ti::ServicesApi::Summary{
         "service-" + std::to_string(i),
         std::make_shared<Ti::NetworkAddress>(Ti::NetworkAddress{"host" + std::to_string(i) + ".example", 443}),
         "group-" + std::to_string(i % 7)}));
   }
   Ruvo::Binding::CodecContext ctx;
   return Ruvo::Binding::ToDataValue(list, ctx);
}

std::string RequestText()
{
   std::string body;
   Ruvo::Data::ErrorValuePtr error;
   Secure::JsonApiRequestSerializer().Serialize(kCreate, TypicalInput(), TypicalContext(), body, error);
   return body;
}

std::string ListText()
{
   std::string body;
   Secure::JsonApiResponseSerializer().Serialize("req-2", *Ruvo::Core::MethodResult::GetInstance(LongList()), body);
   return body;
}

void RuvoRequest(benchmark::State &state)
{
   Ti::Attestation::ServicesSvc::Interface::RegisterSignatures();
   auto input = TypicalInput();
   auto ctx = TypicalContext();
   for (auto _ : state) {
      std::string body;
      Ruvo::Data::ErrorValuePtr error;
      Secure::JsonApiRequestSerializer().Serialize(kCreate, input, ctx, body, error);
      JsonApiRequest request;
      bool ok = Secure::JsonApiRequestDeserializer().Deserialize(body, request, error);
      benchmark::DoNotOptimize(ok);
   }
}

void NlohmannRequest(benchmark::State &state)
{
   std::string text = RequestText();
   for (auto _ : state) {
      auto doc = nlohmann::json::parse(text, nullptr, false);
      std::string out = doc.dump();
      benchmark::DoNotOptimize(out);
   }
}

void RuvoList1000(benchmark::State &state)
{
   Ti::Attestation::ServicesSvc::Interface::RegisterSignatures();
   auto result = Ruvo::Core::MethodResult::GetInstance(LongList());
   for (auto _ : state) {
      std::string body;
      Secure::JsonApiResponseSerializer().Serialize("req-2", *result, body);
      JsonApiResponse response;
      Ruvo::Data::ErrorValuePtr error;
      bool ok = Secure::JsonApiResponseDeserializer().Deserialize(body, kList, response, error);
      benchmark::DoNotOptimize(ok);
   }
}

void NlohmannList1000(benchmark::State &state)
{
   std::string text = ListText();
   for (auto _ : state) {
      auto doc = nlohmann::json::parse(text, nullptr, false);
      std::string out = doc.dump();
      benchmark::DoNotOptimize(out);
   }
}

BENCHMARK(RuvoRequest);
BENCHMARK(NlohmannRequest);
BENCHMARK(RuvoList1000);
BENCHMARK(NlohmannList1000);

} // namespace

BENCHMARK_MAIN();
