#include "peers/zarnd/token_verifier.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include "peers/zarnd/testing/test_tokens.h"
#include "runtime/hostlib/base64.h"
#include "tests/fixtures/cert_factory.h"

namespace Zarnd {
namespace {

using ZarnaTesting::MintToken;
using ZarnaTesting::NowSeconds;
using ZarnaTesting::TestKey;
using ZarnaTesting::TokenClaimsFor;

class TokenVerifierTest : public ::testing::Test {
protected:
   TestKey attestd = TestKey::Generate();
   TestKey other = TestKey::Generate();
   std::shared_ptr<TokenVerifier> verifier = Make({attestd.PublicPem()});

   static std::shared_ptr<TokenVerifier> Make(const std::vector<std::string> &pems,
                                              std::string aud = "zarnd-test")
   {
      std::string error;
      auto v = TokenVerifier::FromPem(pems, std::move(aud), error);
      EXPECT_TRUE(v) << error;
      return v;
   }
   bool Check(const std::string &token, std::string &reason, TokenClaims *out = nullptr)
   {
      TokenClaims claims;
      bool ok = verifier->Verify(token, NowSeconds(), claims, reason);
      if (out) {
         *out = claims;
      }
      return ok;
   }
};

TEST_F(TokenVerifierTest, AcceptsTokensOfEveryTrustedKeyWithinSkewAndReadsTheProviders)
{
   verifier = Make({other.PublicPem(), attestd.PublicPem()});
   std::string reason;
   TokenClaims claims;
   ASSERT_TRUE(Check(MintToken(attestd.Get(), TokenClaimsFor({"p1", "p2"})), reason, &claims))
       << reason;
   EXPECT_EQ(claims.subject, "host-under-test");
   EXPECT_TRUE(claims.MayUse("p2"));
   EXPECT_FALSE(claims.MayUse("p3"));
   EXPECT_TRUE(Check(MintToken(other.Get(), TokenClaimsFor("*")), reason, &claims)) << reason;
   EXPECT_TRUE(claims.MayUse("anything"));

   // A clock a little behind or ahead of the issuer's is tolerated.
   auto late = TokenClaimsFor({"p1"});
   late["exp"] = NowSeconds() - 30;
   EXPECT_TRUE(Check(MintToken(attestd.Get(), late), reason)) << reason;
   auto early = TokenClaimsFor({"p1"});
   early["nbf"] = NowSeconds() + 30;
   EXPECT_TRUE(Check(MintToken(attestd.Get(), early), reason)) << reason;

   // An audience list naming us; no providers claim grants nothing.
   auto listed = TokenClaimsFor({"p1"});
   listed["aud"] = {"elsewhere", "zarnd-test"};
   listed.erase("providers");
   ASSERT_TRUE(Check(MintToken(attestd.Get(), listed), reason, &claims)) << reason;
   EXPECT_FALSE(claims.MayUse("p1"));
}

TEST_F(TokenVerifierTest, RefusesEveryTokenThatFailsACheck)
{
   std::string hs256;
   {
      // The classic confusion: HMAC keyed with the verifier's public key text.
      std::string pem = attestd.PublicPem();
      std::string input = Hostlib::Base64UrlEncode(R"({"alg":"HS256","typ":"JWT"})") + "." +
                          Hostlib::Base64UrlEncode(TokenClaimsFor({"p1"}).dump());
      unsigned char mac[32];
      unsigned int macLen = 0;
      HMAC(EVP_sha256(), pem.data(), static_cast<int>(pem.size()),
           reinterpret_cast<const unsigned char *>(input.data()), input.size(), mac, &macLen);
      hs256 = input + "." +
              Hostlib::Base64UrlEncode(std::string(reinterpret_cast<char *>(mac), macLen));
   }
   std::string none = Hostlib::Base64UrlEncode(R"({"alg":"none"})") + "." +
                      Hostlib::Base64UrlEncode(TokenClaimsFor({"p1"}).dump()) + ".";
   auto expired = TokenClaimsFor({"p1"});
   expired["exp"] = NowSeconds() - 120;
   auto future = TokenClaimsFor({"p1"});
   future["nbf"] = NowSeconds() + 600;
   auto noExp = TokenClaimsFor({"p1"});
   noExp.erase("exp");
   auto textExp = TokenClaimsFor({"p1"});
   textExp["exp"] = std::to_string(NowSeconds() + 600);
   auto hugeExp = TokenClaimsFor({"p1"});
   hugeExp["exp"] = INT64_MAX;
   std::string valid = MintToken(attestd.Get(), TokenClaimsFor({"p1"}));
   std::string tampered = valid;
   tampered[valid.find('.') + 5] ^= 1;
   auto big = TokenClaimsFor({"p1"});
   big["pad"] = std::string(kMaxTokenBytes, 'x');

   struct Case {
      const char *what;
      std::string token;
      const char *reason;
   } cases[] = {
       {"signed by another attestation service", MintToken(other.Get(), TokenClaimsFor({"p1"})),
        "signature"},
       {"alg none", none, "algorithm"},
       {"alg HS256", hs256, "algorithm"},
       {"ES256 header over an HMAC",
        hs256.substr(0, 0) + Hostlib::Base64UrlEncode(R"({"alg":"ES256"})") +
            hs256.substr(hs256.find('.')),
        "signature"},
       {"expired", MintToken(attestd.Get(), expired), "expired"},
       {"not yet valid", MintToken(attestd.Get(), future), "not yet valid"},
       {"another audience", MintToken(attestd.Get(), TokenClaimsFor({"p1"}, "other-zarnd")),
        "audience"},
       {"no exp", MintToken(attestd.Get(), noExp), "exp"},
       {"exp as text", MintToken(attestd.Get(), textExp), "exp"},
       {"tampered payload", tampered, ""},
       {"critical header",
        MintToken(attestd.Get(), TokenClaimsFor({"p1"}), {{"alg", "ES256"}, {"crit", {"x"}}}),
        "critical"},
       {"oversized", MintToken(attestd.Get(), big), "malformed"},
       {"two parts", valid.substr(0, valid.rfind('.')), "malformed"},
       {"padding", valid + "=", "malformed"},
       {"empty", "", "malformed"},
   };
   for (const auto &c : cases) {
      std::string reason;
      EXPECT_FALSE(Check(c.token, reason)) << c.what;
      EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
   }
   // Far-future expiry is simply valid, not an overflow.
   std::string reason;
   EXPECT_TRUE(Check(MintToken(attestd.Get(), hugeExp), reason)) << reason;
}

TEST_F(TokenVerifierTest, AudienceUncheckedWhenNoneConfiguredAndOnlyP256KeysLoad)
{
   verifier = Make({attestd.PublicPem()}, "");
   std::string reason;
   EXPECT_TRUE(Check(MintToken(attestd.Get(), TokenClaimsFor({"p1"}, "anyone")), reason)) << reason;

   std::string error;
   EXPECT_FALSE(TokenVerifier::FromPem(
       {TestKey::Generate(ZarnaTesting::KeyKind::Rsa2048).PublicPem()}, "", error));
   EXPECT_FALSE(TokenVerifier::FromPem({"not a key"}, "", error));
   EXPECT_FALSE(TokenVerifier::FromPem({}, "", error));
}

} // namespace
} // namespace Zarnd
