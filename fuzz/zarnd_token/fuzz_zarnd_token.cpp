// Bearer tokens as callers present them to the key provider service: splitting,
// the header and claim readers and the whole check must survive any bytes, and
// nothing the fuzzer can make is accepted without the trusted key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "peers/zarnd/token_verifier.h"

namespace {

// A fixed P-256 public key; its private half signed the seeds and was thrown away.
constexpr const char *kTrusted =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEAhmT4QncIFKB5W6KLgffmVR9jufZ\n"
    "Bw/eFc86klDMufELqiFLp/eBm+xGE3AHKXoD60oV1iolDN8ZM3cZDMwm2Q==\n"
    "-----END PUBLIC KEY-----\n";

const Zarnd::TokenVerifier *Verifier()
{
   static std::shared_ptr<Zarnd::TokenVerifier> verifier = [] {
      std::string error;
      return Zarnd::TokenVerifier::FromPem({kTrusted}, "zarnd", error);
   }();
   return verifier.get();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string text(reinterpret_cast<const char *>(data), size);
   Zarnd::TokenParts parts;
   if (Zarnd::SplitToken(text, parts)) {
      Zarnd::TokenClaims claims;
      int64_t notBefore = 0;
      bool hasNotBefore = false;
      std::vector<std::string> audiences;
      std::string reason;
      (void)Zarnd::ReadClaims(parts.payload, claims, notBefore, hasNotBefore, audiences, reason);
      // The claim reader also sees the raw input as claims text.
      (void)Zarnd::ReadClaims(text, claims, notBefore, hasNotBefore, audiences, reason);
   }
   const auto *verifier = Verifier();
   if (!verifier) {
      abort();
   }
   Zarnd::TokenClaims claims;
   std::string reason;
   if (verifier->Verify(text, 1700000000, claims, reason)) {
      abort();
   }
   return 0;
}
