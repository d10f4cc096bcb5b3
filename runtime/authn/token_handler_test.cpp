// The API token rules, case by case: every way a token can be wrong must end in
// unauthenticated, and no refusal may quote the token.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include "runtime/authn/entitlement_checker.h"
#include "runtime/authn/jwt.h"
#include "runtime/authn/token_handler.h"
#include "runtime/authn/token_minter.h"
#include "runtime/ruvo/transport/testing/recording_logger.h"

namespace {

using namespace Brim::Authn;
using Ruvo::Log::Testing::RecordingLogger;

constexpr int64_t kNow = 1800000000;

EcKeyPtr NewKey(const char *curve = "P-256")
{
   return EcKeyPtr(EVP_EC_gen(curve), EVP_PKEY_free);
}

std::string PublicPem(EVP_PKEY *key)
{
   BIO *bio = BIO_new(BIO_s_mem());
   PEM_write_bio_PUBKEY(bio, key);
   char *data = nullptr;
   long len = BIO_get_mem_data(bio, &data);
   std::string pem(data, static_cast<size_t>(len));
   BIO_free(bio);
   return pem;
}

nlohmann::json GoodClaims()
{
   return {{"aud", kApiTokenAudience},
           {"sub", "tester"},
           {"iat", kNow},
           {"nbf", kNow},
           {"exp", kNow + 300},
           {"privileges", {"p.read", "p.write"}}};
}

class TokenRules : public ::testing::Test {
protected:
   EcKeyPtr key = NewKey();
   std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
   int64_t now = kNow;
   TokenHandler handler{key, logger, [this] { return now; }, 4};

   std::string Sign(const nlohmann::json &claims, const nlohmann::json &header = {{"alg", "ES256"}})
   {
      std::string token;
      EXPECT_TRUE(SignCompactJwt(key.get(), header, claims, token));
      return token;
   }
   Ruvo::Authn::AuthnOutcome Present(const std::string &token,
                                     const std::string &scheme = Ruvo::Core::kOAuthSchemeId)
   {
      Ruvo::Core::SecurityContext security;
      security.SetSchemeId(scheme);
      security.SetAccessToken(Ruvo::SecretString(token));
      return handler.Check(security);
   }
   // Refused as unauthenticated, and nothing of the token in any log line.
   void ExpectRefused(const std::string &token, const std::string &why,
                      const std::string &scheme = Ruvo::Core::kOAuthSchemeId)
   {
      auto outcome = Present(token, scheme);
      ASSERT_TRUE(outcome.error) << why;
      EXPECT_EQ(outcome.error->GetName(), Ruvo::Data::StdErrors::kUnauthenticated) << why;
      EXPECT_FALSE(outcome.result) << why;
      std::string logged = logger->All();
      for (size_t at = 0; at + 12 <= token.size(); at += 12) {
         ASSERT_EQ(logged.find(token.substr(at, 12)), std::string::npos) << why << ": token in log";
      }
      if (token.size() >= 12) {
         EXPECT_EQ(outcome.error->ToString().find(token.substr(token.size() - 12)),
                   std::string::npos)
             << why;
      }
   }
};

TEST_F(TokenRules, GoodTokenYieldsCallerWithPrivileges)
{
   auto outcome = Present(Sign(GoodClaims()));
   ASSERT_FALSE(outcome.error) << outcome.error->ToString();
   ASSERT_TRUE(outcome.result);
   EXPECT_EQ(outcome.result->schemeId, Ruvo::Core::kOAuthSchemeId);
   EXPECT_EQ(outcome.result->user, "tester");
   EXPECT_EQ(outcome.result->privileges, (std::vector<std::string>{"p.read", "p.write"}));

   // An audience list that includes ours, and a clock a little behind the issuer.
   auto claims = GoodClaims();
   claims["aud"] = {"other", kApiTokenAudience};
   claims["nbf"] = kNow + kClockLeewaySec - 1;
   EXPECT_FALSE(Present(Sign(claims)).error);
}

TEST_F(TokenRules, TimeAudienceAndPrivilegeClaimsAreEnforced)
{
   auto with = [&](const char *name, nlohmann::json value) {
      auto c = GoodClaims();
      if (value.is_discarded()) {
         c.erase(name);
      } else {
         c[name] = std::move(value);
      }
      return Sign(c);
   };
   const nlohmann::json drop(nlohmann::json::value_t::discarded);
   ExpectRefused(with("exp", kNow - kClockLeewaySec), "expired");
   ExpectRefused(with("exp", drop), "no exp");
   ExpectRefused(with("exp", "soon"), "text exp");
   ExpectRefused(with("exp", 1e300), "huge exp");
   ExpectRefused(with("nbf", kNow + kClockLeewaySec + 1), "not yet valid");
   ExpectRefused(with("nbf", "now"), "text nbf");
   ExpectRefused(with("aud", "someone-else"), "wrong audience");
   ExpectRefused(with("aud", drop), "no audience");
   ExpectRefused(with("aud", {"a", "b"}), "audience list without ours");
   ExpectRefused(with("privileges", drop), "no privileges");
   ExpectRefused(with("privileges", "p.read"), "privileges not a list");
   ExpectRefused(with("privileges", {"p.read", 7}), "privilege not text");
}

TEST_F(TokenRules, SignatureAndAlgorithmArePinned)
{
   std::string good = Sign(GoodClaims());
   auto parts = [](const std::string &t) {
      size_t a = t.find('.');
      size_t b = t.find('.', a + 1);
      return std::array<std::string, 3>{t.substr(0, a), t.substr(a + 1, b - a - 1),
                                        t.substr(b + 1)};
   };
   auto p = parts(good);

   // Another key.
   EcKeyPtr other = NewKey();
   std::string foreign;
   ASSERT_TRUE(SignCompactJwt(other.get(), {{"alg", "ES256"}}, GoodClaims(), foreign));
   ExpectRefused(foreign, "signed by another key");

   // Claims changed after signing.
   auto claims = GoodClaims();
   claims["privileges"] = {"p.read", "p.write", "p.admin"};
   ExpectRefused(p[0] + "." + Base64UrlEncode(claims.dump()) + "." + p[2], "tampered claims");

   // alg none, with and without a signature.
   std::string noneHeader = Base64UrlEncode(R"({"alg":"none"})");
   ExpectRefused(noneHeader + "." + p[1] + ".", "alg none unsigned");
   ExpectRefused(noneHeader + "." + p[1] + "." + p[2], "alg none with signature");

   // HS256 keyed with the public key text: the classic confusion.
   std::string hsInput = Base64UrlEncode(R"({"alg":"HS256","typ":"JWT"})") + "." + p[1];
   std::string pem = PublicPem(key.get());
   unsigned char mac[32];
   unsigned int macLen = 0;
   HMAC(EVP_sha256(), pem.data(), static_cast<int>(pem.size()),
        reinterpret_cast<const unsigned char *>(hsInput.data()), hsInput.size(), mac, &macLen);
   ExpectRefused(hsInput + "." +
                     Base64UrlEncode(std::string(reinterpret_cast<char *>(mac), macLen)),
                 "HS256 with the public key");

   // ES384 in the header, whatever the signature.
   ExpectRefused(Sign(GoodClaims(), {{"alg", "ES384"}}), "ES384 header, ES256 signature");
   EcKeyPtr p384 = NewKey("P-384");
   std::string es384;
   EXPECT_FALSE(SignCompactJwt(p384.get(), {{"alg", "ES384"}}, GoodClaims(), es384))
       << "a P-384 key must not produce a 64-byte ES256 signature";
   ExpectRefused(Sign(GoodClaims(), {{"alg", "ES256"}, {"crit", {"exp"}}}),
                 "unknown critical header");
   // A DER signature instead of r||s.
   ExpectRefused(p[0] + "." + p[1] + "." + Base64UrlEncode(std::string(70, '\x30')),
                 "DER-sized signature");
}

TEST_F(TokenRules, MalformedCredentialsAreRefused)
{
   std::string good = Sign(GoodClaims());
   ExpectRefused("", "empty token");
   ExpectRefused(good, "another scheme", "com.talvor.ruvo.std.security.basic");
   ExpectRefused(std::string(100 * 1024, 'a') + "." + good, "100 kB token");
   ExpectRefused("abc.def", "two parts");
   ExpectRefused(good + ".extra", "four parts");
   ExpectRefused("!!!." + good.substr(good.find('.') + 1), "header not base64url");
   ExpectRefused(Base64UrlEncode("[1]") + good.substr(good.find('.')), "header not an object");
   ExpectRefused(Base64UrlEncode(std::string(40, '[')) + good.substr(good.find('.')),
                 "deep header");
   good.push_back('=');
   ExpectRefused(good, "padded signature");

   Ruvo::Core::SecurityContext none;
   auto outcome = handler.Check(none);
   ASSERT_TRUE(outcome.error);
   EXPECT_EQ(outcome.error->GetName(), Ruvo::Data::StdErrors::kUnauthenticated);
}

// A token verified once is remembered by its digest: the remembered caller must
// still fall out of its time window, a token differing in one byte must still be
// verified, and the memory stays bounded.
TEST_F(TokenRules, RememberedTokensKeepTheirTimeWindowAndBound)
{
   std::string good = Sign(GoodClaims());
   ASSERT_FALSE(Present(good).error);
   ASSERT_EQ(handler.VerifiedTokenCount(), 1u);
   auto again = Present(good);
   ASSERT_TRUE(again.result);
   EXPECT_EQ(again.result->privileges, (std::vector<std::string>{"p.read", "p.write"}));
   EXPECT_EQ(handler.VerifiedTokenCount(), 1u);

   std::string forged = good;
   forged[forged.size() - 2] = forged[forged.size() - 2] == 'A' ? 'B' : 'A';
   ExpectRefused(forged, "one byte of a remembered token changed");

   now = kNow - kClockLeewaySec - 1;
   ExpectRefused(good, "remembered token before its nbf");
   now = kNow + 300 + kClockLeewaySec;
   ExpectRefused(good, "remembered token after its exp");
   EXPECT_EQ(handler.VerifiedTokenCount(), 0u);
   now = kNow;

   // More distinct callers than the handler remembers: the oldest go, and are
   // verified again when they come back.
   std::vector<std::string> tokens;
   for (int i = 0; i < 10; ++i) {
      auto claims = GoodClaims();
      claims["sub"] = "caller-" + std::to_string(i);
      tokens.push_back(Sign(claims));
      ASSERT_FALSE(Present(tokens.back()).error);
   }
   EXPECT_EQ(handler.VerifiedTokenCount(), 4u);
   auto first = Present(tokens.front());
   ASSERT_TRUE(first.result);
   EXPECT_EQ(first.result->user, "caller-0");
}

TEST_F(TokenRules, AFloodOfBadTokensLeavesAFewLines)
{
   for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(Present("not-a-token").error);
   }
   EXPECT_LE(logger->Count("API token refused"), 2u) << logger->All();
   EXPECT_GE(logger->Count("API token refused"), 1u);
}

TEST(Es256, KeyFilesAreMadeOnceWithOwnerOnlyPrivateKey)
{
   auto dir = std::filesystem::temp_directory_path() / ("authn-keys-" + std::to_string(getpid()));
   std::filesystem::create_directories(dir);
   std::string priv = (dir / "api.key").string();
   std::string error;
   umask(0);
   ASSERT_TRUE(GenerateEs256KeyFiles(priv, error)) << error;
   umask(022);
   struct stat st {};
   ASSERT_EQ(stat(priv.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   EXPECT_FALSE(GenerateEs256KeyFiles(priv, error)) << "an existing key must not be replaced";

   EcKeyPtr privateKey;
   EcKeyPtr publicKey;
   ASSERT_TRUE(LoadEs256PrivateKey(priv, privateKey, error)) << error;
   ASSERT_TRUE(LoadEs256PublicKey(priv + ".pub", publicKey, error)) << error;
   std::string token;
   MintSpec spec;
   spec.privileges = {"p.read"};
   ASSERT_TRUE(MintApiToken(privateKey.get(), spec, token, error)) << error;
   TokenHandler handler(publicKey, nullptr);
   Ruvo::Core::SecurityContext security;
   security.SetSchemeId(Ruvo::Core::kOAuthSchemeId);
   security.SetAccessToken(Ruvo::SecretString(token));
   auto outcome = handler.Check(security);
   ASSERT_FALSE(outcome.error) << outcome.error->ToString();
   EXPECT_EQ(outcome.result->privileges, std::vector<std::string>{"p.read"});

   // Keys of the wrong kind or curve are refused where they are loaded.
   EcKeyPtr wrong;
   EXPECT_FALSE(ParseEs256PublicKey(PublicPem(NewKey("P-384").get()), wrong, error));
   EXPECT_FALSE(LoadEs256PublicKey(priv, wrong, error)) << "a private key file is not a public key";
   EXPECT_FALSE(LoadEs256PublicKey((dir / "absent").string(), wrong, error));
   std::filesystem::remove_all(dir);
}

TEST(JwtEntitlement, OnlyTokenCallersHoldingThePrivilege)
{
   BrimToken::Authz::JwtEntitlementCheckerImpl checker(nullptr);
   Ruvo::Core::AuthenticationResult caller;
   caller.schemeId = Ruvo::Core::kOAuthSchemeId;
   caller.privileges = {"p.read"};
   EXPECT_TRUE(checker.IsEntitled(caller, "p.read"));
   EXPECT_FALSE(checker.IsEntitled(caller, "p.write"));
   EXPECT_FALSE(checker.IsEntitled(caller, ""));
   caller.privileges.clear();
   EXPECT_FALSE(checker.IsEntitled(caller, "p.read")) << "empty privileges";
   caller.privileges = {"p.read"};
   caller.schemeId = "com.talvor.ruvo.std.security.none";
   EXPECT_FALSE(checker.IsEntitled(caller, "p.read"));
}

} // namespace
