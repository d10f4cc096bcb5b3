#include "tools/zarnactl/key_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>

#include <CLI/CLI.hpp>
#include <openssl/crypto.h>

#include "api/key_operation.h"
#include "api/trusted_infrastructure_providers.h"
#include "runtime/hostlib/base64.h"
#include "tools/zarnactl/api_token.h"
#include "tools/zarnactl/cli_support.h"
#include "tools/zarnactl/human_output.h"
#include "tools/zarnactl/json_output.h"

namespace Zarnactl {
namespace {

namespace KeyOp = Com::Talvor::Brim::Kms::KeyOperationSvc;
namespace Providers = Com::Talvor::Brim::TrustedInfrastructure::Kms::ProvidersSvc;

struct Parsed {
   std::string tcp = kDefaultTcp;
   std::string socketPath = kDefaultAgentSocket;
   TokenKeyOption tokenKey;
   bool json = false;
   std::string provider;
   int64_t bits = 256;
   std::string keyB64;
   std::string keyFile;
   std::string wrapped;
   bool showKey = false;
   std::string outFile;
   std::vector<std::string> providers;
   std::string available;
};

template <class T, class Start>
std::optional<T> Await(boost::asio::io_context &io, const Endpoint &endpoint, std::ostream &err,
                       Start start)
{
   std::optional<Ruvo::Outcome<T>> outcome;
   start(Ruvo::AsyncResult<T>([&outcome](Ruvo::Outcome<T> &&o) { outcome = std::move(o); }));
   io.run();
   if (!outcome) {
      err << "zarnactl: the call to the agent at " << Printable(DescribeEndpoint(endpoint))
          << " ended without an answer\n";
      return std::nullopt;
   }
   if (outcome->IsError()) {
      if (outcome->error->GetName() == Ruvo::Data::StdErrors::kSystemError) {
         err << "zarnactl: cannot talk to the agent at " << Printable(DescribeEndpoint(endpoint))
             << "\n";
      }
      WriteErrorMessages(err, *outcome->error);
      return std::nullopt;
   }
   return std::move(outcome->value);
}

// The raw key bytes, created for the owner only; an existing file is replaced
// only if it is a regular file (never followed through a link).
bool WriteKeyFile(const std::string &path, const Ruvo::SecretString &base64, std::ostream &err)
{
   std::string bytes(Base64_DecodedLength(base64.Expose().data(), base64.Size()) + 1, '\0');
   size_t length = 0;
   if (!Base64_DecodeBuffer(base64.Expose().data(), base64.Size(),
                            reinterpret_cast<uint8_t *>(bytes.data()), bytes.size(), &length)) {
      err << "zarnactl: the agent's key is not Base64\n";
      return false;
   }
   int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
   bool ok = fd >= 0 && fchmod(fd, 0600) == 0 &&
             write(fd, bytes.data(), length) == static_cast<ssize_t>(length);
   if (fd >= 0) {
      ok = close(fd) == 0 && ok;
   }
   OPENSSL_cleanse(bytes.data(), bytes.size());
   if (!ok) {
      err << "zarnactl: cannot write " << Printable(path) << "\n";
   }
   return ok;
}

bool ReadKeyFile(const std::string &path, Ruvo::SecretString &base64, std::ostream &err)
{
   std::ifstream in(path, std::ios::binary);
   if (!in) {
      err << "zarnactl: cannot read " << Printable(path) << "\n";
      return false;
   }
   // One byte more than the longest key tells a longer file apart.
   std::string bytes(33, '\0');
   in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
   bytes.resize(static_cast<size_t>(in.gcount()));
   bool ok = bytes.size() == 16 || bytes.size() == 24 || bytes.size() == 32;
   if (!ok) {
      err << "zarnactl: --key-file must hold 16, 24 or 32 raw key bytes\n";
   } else {
      std::string text(Base64_EncodedLength(bytes.size()) + 1, '\0');
      size_t length = 0;
      Base64_Encode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), text.data(),
                    text.size(), &length);
      base64 = Ruvo::SecretString(std::string_view(text.data(), length));
      OPENSSL_cleanse(text.data(), text.size());
   }
   OPENSSL_cleanse(bytes.data(), bytes.size());
   return ok;
}

// Prints or stores the key as asked; true when it went where asked.
bool DeliverKey(const Parsed &p, const Ruvo::SecretString &key, std::ostream &out,
                std::ostream &err)
{
   if (!p.outFile.empty() && !WriteKeyFile(p.outFile, key, err)) {
      return false;
   }
   if (p.showKey && !p.json) {
      out << "key: " << key.Expose() << "\n";
   }
   return true;
}

// The JSON form of a key operation: the wrapped key, and the key only when asked.
void WriteKeyJson(std::ostream &out, std::ostream &err, const Parsed &p, const std::string *wrapped,
                  const Ruvo::SecretString *key)
{
   auto doc = std::make_shared<Ruvo::Data::StructValue>("zarnactl.key");
   doc->SetField("provider", Ruvo::Data::MakeString(p.provider));
   if (wrapped) {
      doc->SetField("ciphertext", Ruvo::Data::MakeString(*wrapped));
   }
   if (key && p.showKey) {
      doc->SetField("key", Ruvo::Data::MakeString(std::string(key->Expose())));
   }
   WriteJsonValue(out, err, *doc);
}

int RunKey(const Parsed &p, CLI::App *generate, CLI::App *encrypt, std::ostream &out,
           std::ostream &err, const KeyDeps &deps)
{
   Endpoint endpoint;
   endpoint.unixSocket = true;
   endpoint.path = p.socketPath;
   Ruvo::SecretString plaintext;
   if (encrypt->parsed()) {
      if (p.keyB64.empty() == p.keyFile.empty()) {
         return Usage(err, "encrypt needs one of --key-b64 and --key-file");
      }
      if (!p.keyFile.empty() && !ReadKeyFile(p.keyFile, plaintext, err)) {
         return kExitUsage;
      }
      if (!p.keyB64.empty()) {
         plaintext = Ruvo::SecretString(p.keyB64);
      }
   } else if (!generate->parsed() && !p.showKey && p.outFile.empty()) {
      return Usage(err, "decrypt shows the key only with --show-key or --out FILE");
   }
   boost::asio::io_context io;
   auto provider = ConnectOrReport(deps.connect, io, endpoint, err);
   if (!provider) {
      return kExitAgentError;
   }
   KeyOp::AsyncServiceStub stub(provider);
   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>();
   if (generate->parsed()) {
      auto key = Await<KeyOp::GeneratedKey>(io, endpoint, err, [&](auto r) {
         stub.GenerateKey(p.provider, p.bits, activation, std::move(r));
      });
      if (!key || !DeliverKey(p, key->key, out, err)) {
         return kExitAgentError;
      }
      if (p.json) {
         WriteKeyJson(out, err, p, &key->ciphertext, &key->key);
      } else {
         out << "ciphertext: " << Printable(key->ciphertext) << "\n";
      }
      return kExitOk;
   }
   if (encrypt->parsed()) {
      auto wrapped = Await<KeyOp::EncryptResult>(io, endpoint, err, [&](auto r) {
         stub.Encrypt(p.provider, plaintext, activation, std::move(r));
      });
      if (!wrapped) {
         return kExitAgentError;
      }
      if (p.json) {
         WriteKeyJson(out, err, p, &wrapped->ciphertext, nullptr);
      } else {
         out << "ciphertext: " << Printable(wrapped->ciphertext) << "\n";
      }
      return kExitOk;
   }
   auto key = Await<KeyOp::DecryptResult>(io, endpoint, err, [&](auto r) {
      stub.Decrypt(p.provider, p.wrapped, activation, std::move(r));
   });
   if (!key || !DeliverKey(p, key->key, out, err)) {
      return kExitAgentError;
   }
   if (p.json) {
      WriteKeyJson(out, err, p, nullptr, &key->key);
   }
   return kExitOk;
}

int RunProviders(const Parsed &p, std::ostream &out, std::ostream &err, const KeyDeps &deps)
{
   HostPort hp;
   std::string error;
   if (!ParseHostPort(p.tcp, hp, error)) {
      return Usage(err, "--tcp: " + error);
   }
   Endpoint endpoint;
   endpoint.host = hp.host;
   endpoint.port = hp.port.value_or(kDefaultApiPort);
   std::optional<Providers::FilterSpec> filter;
   if (!p.providers.empty() || !p.available.empty()) {
      filter.emplace();
      if (!p.providers.empty()) {
         filter->providers.emplace(p.providers.begin(), p.providers.end());
      }
      if (p.available == "true" || p.available == "false") {
         filter->available = p.available == "true";
      } else if (!p.available.empty()) {
         return Usage(err, "--available: true or false");
      }
   }
   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>();
   if (!AttachApiToken(p.tokenKey, {kProvidersRead}, *activation->GetExecutionContext(), error)) {
      err << "zarnactl: " << Printable(error) << "\n";
      return kExitUsage;
   }
   boost::asio::io_context io;
   auto provider = ConnectOrReport(deps.connect, io, endpoint, err);
   if (!provider) {
      return kExitAgentError;
   }
   Providers::AsyncServiceStub stub(provider);
   auto list = Await<Providers::SummaryList>(
       io, endpoint, err, [&](auto r) { stub.List(filter, activation, std::move(r)); });
   if (!list) {
      return kExitAgentError;
   }
   if (p.json) {
      return WriteJsonResult(out, err, *list) ? kExitOk : kExitAgentError;
   }
   out << "PROVIDER  AVAILABLE  DETAILS\n";
   for (const auto &s : *list) {
      if (!s) {
         continue;
      }
      std::string details;
      for (const auto &d : s->details) {
         if (d) {
            details += (details.empty() ? "" : "; ") + d->GetDefaultMessage();
         }
      }
      out << Printable(s->provider) << "  " << (s->available ? "yes" : "no") << "  "
          << Printable(details) << "\n";
   }
   return kExitOk;
}

} // namespace

KeyDeps SystemKeyDeps()
{
   KeyDeps deps;
   deps.connect = [](boost::asio::io_context &io, const Endpoint &endpoint) {
      return ConnectToAgent(io, endpoint, kKeyCallLimit);
   };
   return deps;
}

bool IsKeyCommand(const std::vector<std::string> &args)
{
   return NounIsOneOf(args, {"key", "providers"});
}

int RunKeyCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                  const KeyDeps &deps)
{
   CLI::App app("Key operations and key providers through the zarna agent.", "zarnactl");
   app.fallthrough();
   app.require_subcommand(1);
   Parsed p;
   app.add_option("--tcp", p.tcp, "Agent API over TCP, for providers (IPv6 as [HOST]:PORT)")
       ->type_name("HOST:PORT");
   app.add_option("--socket", p.socketPath, "Agent's Unix domain socket, for keys")
       ->type_name("PATH")
       ->capture_default_str();
   auto *keyOpt =
       app.add_option("--token-key", p.tokenKey.path, "API private key that signs TCP tokens")
           ->type_name("FILE")
           ->capture_default_str();
   app.add_flag("--json", p.json, "Print JSON");

   auto *key = app.add_subcommand("key", "Generate, wrap and unwrap keys through the agent");
   key->require_subcommand(1);
   auto addOutput = [&p](CLI::App *cmd) {
      cmd->add_flag("--show-key", p.showKey, "Print the key (Base64)");
      cmd->add_option("--out", p.outFile, "Write the raw key bytes to FILE (owner only)")
          ->type_name("FILE");
   };
   auto *generate = key->add_subcommand("generate", "A new key and its wrapped form");
   generate->add_option("--provider", p.provider, "Key provider")->required();
   generate->add_option("--bits", p.bits, "128, 192 or 256")->capture_default_str();
   addOutput(generate);
   auto *encrypt = key->add_subcommand("encrypt", "Wrap a key");
   encrypt->add_option("--provider", p.provider, "Key provider")->required();
   encrypt->add_option("--key-b64", p.keyB64, "The key, Base64")->type_name("B64");
   encrypt->add_option("--key-file", p.keyFile, "File holding the raw key bytes")
       ->type_name("FILE");
   auto *decrypt = key->add_subcommand("decrypt", "Unwrap a wrapped key");
   decrypt->add_option("--provider", p.provider, "Key provider")->required();
   decrypt->add_option("--wrapped", p.wrapped, "The wrapped key")->type_name("TEXT")->required();
   addOutput(decrypt);

   auto *providers =
       app.add_subcommand("providers", "The key providers of the key provider services");
   providers->require_subcommand(1);
   auto *list = providers->add_subcommand("list", "Providers with their availability");
   list->add_option("--provider", p.providers, "Only this provider (repeatable)")
       ->type_name("P")
       ->expected(1)
       ->allow_extra_args(false)
       ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
   list->add_option("--available", p.available, "Only available (true) or unavailable (false) ones")
       ->type_name("true|false");

   if (auto exitCode = ParseOrExit(app, args, out, err)) {
      return *exitCode;
   }
   p.tokenKey.given = keyOpt->count() > 0;
   if (list->parsed()) {
      return RunProviders(p, out, err, deps);
   }
   return RunKey(p, generate, encrypt, out, err, deps);
}

} // namespace Zarnactl
