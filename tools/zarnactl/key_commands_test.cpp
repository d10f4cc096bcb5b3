#include "tools/zarnactl/key_commands.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "api/key_operation.h"
#include "api/trusted_infrastructure_providers.h"
#include "runtime/ruvo/provider/local_provider.h"
#include <filesystem>

namespace Zarnactl {
namespace {

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace Providers = Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc;

// The agent's side, in-process: remembers what it was asked.
class FakeAgent : public KeyOp::AsyncServiceInterface, public Providers::AsyncServiceInterface {
public:
   void GenerateKey(const std::string &provider, const int64_t &bits,
                    Ruvo::AsyncResult<KeyOp::GeneratedKey> r) override
   {
      seen = provider + "/" + std::to_string(bits);
      r.SetResult({Ruvo::SecretString("AAECAwQFBgcICQoLDA0ODw=="), "zw1.wrapped"});
   }
   void Encrypt(const std::string &provider, const Ruvo::SecretString &key,
                Ruvo::AsyncResult<KeyOp::EncryptResult> r) override
   {
      seen = provider + "/" + std::string(key.Expose());
      r.SetResult({"zw1.wrapped"});
   }
   void Decrypt(const std::string &, const std::string &wrapped,
                Ruvo::AsyncResult<KeyOp::DecryptResult> r) override
   {
      if (wrapped == "bad") {
         r.SetError(
             Ruvo::Data::StdErrors::Make(Ruvo::Data::StdErrors::kInvalidArgument,
                                         {Ruvo::BaseMessage("x.bad", "Not a wrapped key.")}));
         return;
      }
      r.SetResult({Ruvo::SecretString("AAECAwQFBgcICQoLDA0ODw==")});
   }
   void List(const std::optional<Providers::FilterSpec> &filter,
             Ruvo::AsyncResult<Providers::SummaryList> r) override
   {
      filterSeen = filter;
      auto s = std::make_shared<Providers::Summary>();
      s->provider = "disk";
      s->available = true;
      r.SetResult({s});
   }
   std::string seen;
   std::optional<Providers::FilterSpec> filterSeen;
};

struct ScratchDir {
   ScratchDir()
   {
      char tmpl[] = "/tmp/zarnactl-keys-XXXXXX";
      path = mkdtemp(tmpl);
   }
   ~ScratchDir() { std::filesystem::remove_all(path); }
   std::string File(const std::string &name) const { return path + "/" + name; }
   void Write(const std::string &name, const std::string &text) const
   {
      std::ofstream(File(name)) << text;
   }
   std::string path;
};

class KeyCommandsTest : public ::testing::Test {
protected:
   int Run(std::vector<std::string> args)
   {
      out.str("");
      err.str("");
      KeyDeps deps;
      deps.connect = [this](boost::asio::io_context &,
                            const Endpoint &e) -> Ruvo::Core::AsyncApiProviderPtr {
         endpoint = e;
         return Ruvo::Provider::AsyncLocalProvider::Create(
             {KeyOp::AsyncServiceBinder::BindImplementation(agent),
              Providers::AsyncServiceBinder::BindImplementation(agent)});
      };
      return RunKeyCommand(args, out, err, deps);
   }
   std::shared_ptr<FakeAgent> agent = std::make_shared<FakeAgent>();
   ScratchDir dir;
   std::ostringstream out, err;
   Endpoint endpoint;
};

TEST_F(KeyCommandsTest, KeyMaterialOnlyWhereAsked)
{
   ASSERT_EQ(Run({"key", "generate", "--provider", "disk", "--bits", "128"}), 0) << err.str();
   EXPECT_EQ(agent->seen, "disk/128");
   EXPECT_EQ(out.str(), "ciphertext: zw1.wrapped\n");
   EXPECT_TRUE(endpoint.unixSocket);
   EXPECT_EQ(endpoint.path, kDefaultAgentSocket);

   // --out: the raw bytes, owner only, even over a file that was readable by all.
   std::string file = dir.File("key.bin");
   dir.Write("key.bin", "old content that was world readable");
   chmod(file.c_str(), 0644);
   ASSERT_EQ(Run({"--socket", "/tmp/a.sock", "key", "decrypt", "--provider", "disk", "--wrapped",
                  "zw1.x", "--out", file}),
             0)
       << err.str();
   EXPECT_EQ(endpoint.path, "/tmp/a.sock");
   EXPECT_EQ(out.str().find("AAEC"), std::string::npos);
   std::ifstream in(file, std::ios::binary);
   std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   EXPECT_EQ(bytes,
             std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16));
   struct stat st {};
   ASSERT_EQ(stat(file.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);

   ASSERT_EQ(Run({"key", "decrypt", "--provider", "disk", "--wrapped", "zw1.x", "--show-key"}), 0);
   EXPECT_EQ(out.str(), "key: AAECAwQFBgcICQoLDA0ODw==\n");
   EXPECT_EQ(Run({"key", "decrypt", "--provider", "disk", "--wrapped", "zw1.x"}), 2)
       << "key shown nowhere";

   // The key file's bytes reach the agent as Base64.
   ASSERT_EQ(Run({"key", "encrypt", "--provider", "tape", "--key-file", file}), 0) << err.str();
   EXPECT_EQ(agent->seen, "tape/AAECAwQFBgcICQoLDA0ODw==");
   dir.Write("short.bin", "0123456789");
   EXPECT_EQ(Run({"key", "encrypt", "--provider", "tape", "--key-file", dir.File("short.bin")}), 2);
   dir.Write("long.bin", std::string(32, 'k') + "\n");
   EXPECT_EQ(Run({"key", "encrypt", "--provider", "tape", "--key-file", dir.File("long.bin")}), 2);
   EXPECT_EQ(Run({"key", "encrypt", "--provider", "tape"}), 2);
   EXPECT_EQ(Run({"key", "encrypt", "--provider", "tape", "--key-b64", "AAAA", "--key-file", file}),
             2);

   // The agent's refusal: exit 1 with its message.
   EXPECT_EQ(Run({"key", "decrypt", "--provider", "disk", "--wrapped", "bad", "--show-key"}), 1);
   EXPECT_NE(err.str().find("Not a wrapped key."), std::string::npos);
}

TEST_F(KeyCommandsTest, ProviderListFiltersOverTcp)
{
   ASSERT_EQ(Run({"providers", "list"}), 0) << err.str();
   EXPECT_FALSE(endpoint.unixSocket);
   EXPECT_FALSE(agent->filterSeen);
   EXPECT_NE(out.str().find("disk  yes"), std::string::npos);

   ASSERT_EQ(Run({"--tcp", "127.0.0.1:9999", "providers", "list", "--provider", "a", "--provider",
                  "b", "--available", "false"}),
             0);
   EXPECT_EQ(endpoint.port, 9999);
   ASSERT_TRUE(agent->filterSeen);
   EXPECT_EQ(agent->filterSeen->providers, (std::set<std::string>{"a", "b"}));
   EXPECT_EQ(agent->filterSeen->available, false);
   EXPECT_EQ(Run({"providers", "list", "--available", "maybe"}), 2);
   EXPECT_TRUE(IsKeyCommand({"--tcp", "x:1", "providers", "list"}));
   EXPECT_FALSE(IsKeyCommand({"--socket", "key", "attestation-services", "list"}));
}

} // namespace
} // namespace Zarnactl
