// The zarnd program over HTTPS, driven through the same stubs the agent uses.
#include <gtest/gtest.h>

#include <regex>

#include "api/key_operation.h"
#include "api/kms_providers.h"
#include "peers/zarnd/testing/test_tokens.h"
#include "runtime/ruvo/transport/pico_http_client_transport.h"
#include "tests/fixtures/cert_factory.h"
#include "tests/support/process.h"

namespace {

using namespace ZarnaTesting;
namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace ProvidersList = Com::Talvor::Brim::Kms::ProvidersSvc;
namespace StatusSvc = Com::Talvor::Brim::Kms::Providers::StatusSvc;

class Zarnd {
public:
   Zarnd(const TempDir &dir, const TestPki &pki, const TestKey &attestd,
         std::vector<std::string> extra)
   {
      WriteTextFile(dir.File("zarnd.pem"), pki.leaf.Pem() + pki.intermediate.Pem());
      pki.leaf.Key().WritePrivatePem(dir.File("zarnd.key"));
      attestd.WritePublicPem(dir.File("attestd.pub"));
      std::vector<std::string> argv = {ZARND_PATH,
                                       "--listen",
                                       "127.0.0.1:0",
                                       "--cert",
                                       dir.File("zarnd.pem"),
                                       "--key",
                                       dir.File("zarnd.key"),
                                       "--trust-token-key",
                                       dir.File("attestd.pub"),
                                       "--audience",
                                       "zarnd-test",
                                       "--db",
                                       dir.File("keys.db"),
                                       "--verbose"};
      argv.insert(argv.end(), extra.begin(), extra.end());
      process = std::make_unique<ChildProcess>(argv);
      EXPECT_TRUE(process->WaitForOutput("zarnd listening on", std::chrono::seconds(10)))
          << process->StderrText();
      std::smatch m;
      std::string out = process->StderrText();
      if (std::regex_search(out, m, std::regex("listening on 127.0.0.1:([0-9]+)"))) {
         port = static_cast<uint16_t>(std::stoi(m[1]));
      }
   }
   std::unique_ptr<ChildProcess> process;
   uint16_t port = 0;
};

class ZarndProcessTest : public ::testing::Test {
protected:
   void Start(std::vector<std::string> extra = {"--provider", "disk", "--provider", "tape:degraded",
                                                "--provider", "cold:unavailable"})
   {
      zarnd = std::make_unique<Zarnd>(dir, pki, attestd, extra);
      ASSERT_NE(zarnd->port, 0);
   }
   Ruvo::Core::AsyncActivationPtr As(const std::string &token)
   {
      auto context = std::make_shared<Ruvo::Core::ExecutionContext>();
      context->GetSecurityContext().SetSchemeId(Ruvo::Core::kOAuthSchemeId);
      context->GetSecurityContext().SetAccessToken(Ruvo::SecretString(token));
      return std::make_shared<Ruvo::Core::AsyncActivation>(context);
   }
   Ruvo::Core::AsyncApiProviderPtr Provider()
   {
      return Ruvo::Transport::PicoHttp::CreateHttpsClientProvider(io, "127.0.0.1", zarnd->port,
                                                                  pki.ChainPems(), nullptr);
   }
   template <class T, class Fn> Ruvo::Outcome<T> Run(Fn fn)
   {
      Ruvo::Outcome<T> got;
      fn(Ruvo::AsyncResult<T>([&](Ruvo::Outcome<T> &&o) { got = std::move(o); }));
      io.restart();
      io.run();
      return got;
   }
   Ruvo::Outcome<KeyOp::GeneratedKey> Generate(const std::string &token,
                                               const std::string &provider, int64_t bits)
   {
      KeyOp::AsyncServiceStub stub(Provider());
      return Run<KeyOp::GeneratedKey>(
          [&](auto r) { stub.GenerateKey(provider, bits, As(token), r); });
   }
   Ruvo::Outcome<KeyOp::DecryptResult>
   Decrypt(const std::string &token, const std::string &provider, const std::string &wrapped)
   {
      KeyOp::AsyncServiceStub stub(Provider());
      return Run<KeyOp::DecryptResult>(
          [&](auto r) { stub.Decrypt(provider, wrapped, As(token), r); });
   }
   std::string Token(nlohmann::json providers)
   {
      return MintToken(attestd.Get(), TokenClaimsFor(providers));
   }

   TempDir dir;
   TestPki pki = TestPki::Make("zarnd.test", "127.0.0.1");
   TestKey attestd = TestKey::Generate();
   std::unique_ptr<Zarnd> zarnd;
   boost::asio::io_context io;
};

TEST_F(ZarndProcessTest, GeneratedKeysUnwrapAcrossRotationAndOfflineWrapsToo)
{
   Start();
   std::string token = Token("*");
   auto generated = Generate(token, "disk", 256);
   ASSERT_FALSE(generated.IsError()) << generated.error->ToString();
   auto decrypted = Decrypt(token, "disk", generated.value->ciphertext);
   ASSERT_FALSE(decrypted.IsError()) << decrypted.error->ToString();
   EXPECT_EQ(decrypted.value->key, generated.value->key);
   EXPECT_EQ(generated.value->key.Size(), 44u); // Base64 of 32 bytes

   // A key the caller brings is wrapped too.
   KeyOp::AsyncServiceStub stub(Provider());
   auto encrypted = Run<KeyOp::EncryptResult>([&](auto r) {
      stub.Encrypt("tape", Ruvo::SecretString("AAECAwQFBgcICQoLDA0ODw=="), As(token), r);
   });
   ASSERT_FALSE(encrypted.IsError()) << encrypted.error->ToString();
   auto back = Decrypt(token, "tape", encrypted.value->ciphertext);
   ASSERT_FALSE(back.IsError());
   EXPECT_EQ(back.value->key.Expose(), "AAECAwQFBgcICQoLDA0ODw==");

   // Rotation while serving: old wrapped keys still unwrap, new ones use version 2.
   ChildProcess rotate({ZARND_PATH, "rotate", "--db", dir.File("keys.db"), "--provider", "disk"});
   ASSERT_EQ(ExitCodeOf(*rotate.Wait(std::chrono::seconds(10))), 0) << rotate.StderrText();
   auto old = Decrypt(token, "disk", generated.value->ciphertext);
   ASSERT_FALSE(old.IsError());
   EXPECT_EQ(old.value->key, generated.value->key);
   auto fresh = Generate(token, "disk", 128);
   ASSERT_FALSE(fresh.IsError());
   EXPECT_EQ(fresh.value->ciphertext.rfind("zw1.2.", 0), 0u) << fresh.value->ciphertext;

   ChildProcess wrap({ZARND_PATH, "wrap", "--db", dir.File("keys.db"), "--provider", "disk",
                      "--key-b64", "AAECAwQFBgcICQoLDA0ODw=="});
   ASSERT_EQ(ExitCodeOf(*wrap.Wait(std::chrono::seconds(10))), 0);
   std::string text = wrap.StderrText();
   text.erase(text.find_last_not_of("\n") + 1);
   auto offline = Decrypt(token, "disk", text);
   ASSERT_FALSE(offline.IsError()) << text;
   EXPECT_EQ(offline.value->key.Expose(), "AAECAwQFBgcICQoLDA0ODw==");

   // Nothing of a key or a token reaches zarnd's log, even at its most verbose.
   std::string log = zarnd->process->StderrText();
   for (const auto &secret :
        {std::string(generated.value->key.Expose()), std::string("AAECAwQFBgcICQoLDA0ODw=="), token,
         token.substr(token.rfind('.') + 1)}) {
      EXPECT_EQ(log.find(secret), std::string::npos);
   }
   EXPECT_NE(log.find("Unwrapped a key for provider disk"), std::string::npos);
}

TEST_F(ZarndProcessTest, RefusalsCarryTheStandardErrorTypes)
{
   Start();
   std::string all = Token("*");
   struct Case {
      const char *what;
      std::string token, provider, wrapped;
      int64_t bits;
      const char *error;
   } cases[] = {
       {"no token", "", "disk", "", 256, Ruvo::Data::StdErrors::kUnauthenticated},
       {"expired token", MintToken(attestd.Get(), TokenClaimsFor("*", "zarnd-test", -120)), "disk",
        "", 256, Ruvo::Data::StdErrors::kUnauthenticated},
       {"token of another attestation service",
        MintToken(TestKey::Generate().Get(), TokenClaimsFor("*")), "disk", "", 256,
        Ruvo::Data::StdErrors::kUnauthenticated},
       {"token for another provider", Token({"tape"}), "disk", "", 256,
        Ruvo::Data::StdErrors::kUnauthorized},
       {"unknown provider", all, "nope", "", 256, Ruvo::Data::StdErrors::kNotFound},
       {"key size", all, "disk", "", 512, Ruvo::Data::StdErrors::kInvalidArgument},
       {"key size zero", all, "disk", "", 0, Ruvo::Data::StdErrors::kInvalidArgument},
       {"garbage wrapped key", all, "disk", "zw1.1.abc", 0,
        Ruvo::Data::StdErrors::kInvalidArgument},
   };
   for (const auto &c : cases) {
      auto got = c.wrapped.empty() ? Generate(c.token, c.provider, c.bits).error
                                   : Decrypt(c.token, c.provider, c.wrapped).error;
      ASSERT_TRUE(got) << c.what;
      EXPECT_EQ(got->GetName(), c.error) << c.what << ": " << got->ToString();
   }
   // A key wrapped for one provider does not unwrap under another (which has a
   // master key of the same version).
   ASSERT_FALSE(Generate(all, "disk", 128).IsError());
   auto generated = Generate(all, "tape", 192);
   ASSERT_FALSE(generated.IsError());
   auto moved = Decrypt(all, "disk", generated.value->ciphertext);
   ASSERT_TRUE(moved.IsError());
   EXPECT_EQ(moved.error->GetName(), Ruvo::Data::StdErrors::kInvalidArgument);
}

TEST_F(ZarndProcessTest, ProvidersListedForTheTokenWithTheirStatus)
{
   // Failing status calls are checked through the agent's client (tests/kms).
   Start({"--provider", "disk", "--provider", "tape:degraded", "--provider", "cold:unavailable",
          "--provider", "new:unknown"});
   ProvidersList::AsyncServiceStub list(Provider());
   auto listed = Run<ProvidersList::SummaryList>([&](auto r) {
      list.List(As(Token({"disk", "cold", "new"})), r);
   });
   ASSERT_FALSE(listed.IsError());
   std::vector<std::string> names;
   for (const auto &s : *listed.value) {
      names.push_back(s->provider);
   }
   EXPECT_EQ(names, (std::vector<std::string>{"disk", "cold", "new"}));

   StatusSvc::AsyncServiceStub status(Provider());
   std::string all = Token("*");
   auto disk = Run<StatusSvc::Info>([&](auto r) { status.Get("disk", As(all), r); });
   ASSERT_FALSE(disk.IsError());
   EXPECT_EQ(disk.value->status, StatusSvc::Status::HEALTHY);
   EXPECT_EQ(disk.value->details.size(), 1u);
   auto cold = Run<StatusSvc::Info>([&](auto r) { status.Get("cold", As(all), r); });
   EXPECT_EQ(cold.value->status, StatusSvc::Status::UNHEALTHY);
}

// Broken replies are checked through the agent's own client (tests/kms).
TEST_F(ZarndProcessTest, SlowAndRefusingFaults)
{
   // A slow service still answers, once.
   Start({"--provider", "disk", "--fault", "delay:300"});
   auto sent = std::chrono::steady_clock::now();
   auto slow = Generate(Token("*"), "disk", 128);
   EXPECT_FALSE(slow.IsError());
   EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
   zarnd.reset();

   Start({"--provider", "disk", "--fault", "unauthenticated"});
   auto refused = Generate(Token("*"), "disk", 256);
   ASSERT_TRUE(refused.IsError());
   EXPECT_EQ(refused.error->GetName(), Ruvo::Data::StdErrors::kUnauthenticated);
}

TEST(ZarndCommandLineTest, UsageErrorsExitTwo)
{
   TempDir dir;
   const std::vector<std::vector<std::string>> bad = {
       {ZARND_PATH},
       {ZARND_PATH, "--db", dir.File("k.db"), "--provider", "bad name", "--listen", "127.0.0.1:0"},
       {ZARND_PATH, "--db", dir.File("k.db"), "--provider", "p:sleepy"},
       {ZARND_PATH, "--db", dir.File("k.db"), "--provider", "p", "--provider", "p:degraded"},
       {ZARND_PATH, "--db", dir.File("k.db"), "--provider", "p", "--fault", "delay:soon"},
       {ZARND_PATH, "wrap", "--db", dir.File("k.db"), "--provider", "p", "--key-b64", "AAAA"},
   };
   for (const auto &argv : bad) {
      ChildProcess p(argv);
      EXPECT_EQ(ExitCodeOf(*p.Wait(std::chrono::seconds(10))), 2) << argv.back();
   }
}

} // namespace
