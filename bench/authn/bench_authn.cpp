// What the token check adds to a TCP call: checking one API token against reading
// the JSON-RPC request that carries it, in the same run. A caller's second call
// with the same token finds it verified already; a handler remembering nothing
// shows what the signature check costs on a token's first call.
#include <benchmark/benchmark.h>

#include <openssl/ec.h>
#include <openssl/evp.h>

#include "api/trusted_infrastructure_services.h"
#include "runtime/authn/token_handler.h"
#include "runtime/authn/token_minter.h"
#include "runtime/ruvo/json/json_rpc.h"

namespace {

struct Fixture {
   Brim::Authn::EcKeyPtr key{EVP_EC_gen("P-256"), EVP_PKEY_free};
   std::string token;
   Brim::Authn::TokenHandler handler{key, nullptr};
   Brim::Authn::TokenHandler forgetful{key, nullptr, Brim::Authn::SystemSeconds, 0};
   std::string request;

   Fixture()
   {
      Com::Talvor::Brim::TrustedInfrastructure::Attestation::ServicesSvc::Interface::
          RegisterSignatures();
      Brim::Authn::MintSpec spec;
      spec.privileges = {"Zarna.Services.Read", "Zarna.Services.Manage"};
      std::string error;
      Brim::Authn::MintApiToken(key.get(), spec, token, error);
      request =
          R"({"version":"1.1","id":"1","method":"com.talvor.brim.trusted_infrastructure.attestation.services.list",)"
          R"("params":{"context":{"app":{"opId":"zarnactl-1"},"security":{"schemeId":)"
          R"("com.talvor.ruvo.std.security.oauth","accessToken":")" +
          token + R"("}},"input":{}}})";
   }
};

Fixture &Shared()
{
   static Fixture fixture;
   return fixture;
}

// Baseline: the request as the server reads it.
void ReadRequest(benchmark::State &state)
{
   Fixture &f = Shared();
   for (auto _ : state) {
      Ruvo::Protocol::Json::JsonApiRequest call;
      Ruvo::Data::ErrorValuePtr error;
      if (!Ruvo::Protocol::Json::Secure::JsonApiRequestDeserializer().Deserialize(f.request, call,
                                                                                  error)) {
         state.SkipWithError("request refused");
         break;
      }
      benchmark::DoNotOptimize(call);
   }
}
BENCHMARK(ReadRequest);

void CheckToken(benchmark::State &state, Brim::Authn::TokenHandler Fixture::*handler)
{
   Fixture &f = Shared();
   Ruvo::Core::SecurityContext security;
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString(f.token));
   for (auto _ : state) {
      auto outcome = (f.*handler).Check(security);
      if (outcome.error) {
         state.SkipWithError("token refused");
         break;
      }
      benchmark::DoNotOptimize(outcome);
   }
}
BENCHMARK_CAPTURE(CheckToken, Remembered, &Fixture::handler);
BENCHMARK_CAPTURE(CheckToken, Verified, &Fixture::forgetful);

// A refused token costs no signature check when its claims or form are wrong
// first; a bad signature is the most a caller can make the agent spend.
void RefuseForeignToken(benchmark::State &state)
{
   Fixture &f = Shared();
   Brim::Authn::EcKeyPtr other(EVP_EC_gen("P-256"), EVP_PKEY_free);
   std::string foreign;
   std::string error;
   Brim::Authn::MintApiToken(other.get(), {}, foreign, error);
   Ruvo::Core::SecurityContext security;
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString(foreign));
   for (auto _ : state) {
      auto outcome = f.handler.Check(security);
      benchmark::DoNotOptimize(outcome);
   }
}
BENCHMARK(RefuseForeignToken);

} // namespace

BENCHMARK_MAIN();
