#include "tools/zarnactl/security_commands.h"

#include <chrono>
#include <optional>

#include <CLI/CLI.hpp>

#include "runtime/authn/token_minter.h"
#include "runtime/ruvo/metadata/metadata_bindings.h"
#include "tools/zarnactl/api_token.h"
#include "tools/zarnactl/cli_support.h"
#include "tools/zarnactl/human_output.h"
#include "tools/zarnactl/json_output.h"

namespace Zarnactl {

namespace {

// A token is a credential: an hour is plenty for a script, and a day the most
// anyone should hold one.
constexpr int64_t kMaxLifetimeSec = 24 * 3600;

struct Parsed {
   std::string tcp = kDefaultTcp;
   bool json = false;
   TokenKeyOption tokenKey;
   std::string outFile;
   std::vector<std::string> privileges;
   bool allPrivileges = false;
   int64_t lifetime = Brim::Authn::kDefaultTokenLifetimeSec;
   std::string kind;
   std::string collection;
   std::string id;
};

int GenerateKey(const Parsed &p, std::ostream &out, std::ostream &err)
{
   std::string error;
   if (!Brim::Authn::GenerateEs256KeyFiles(p.outFile, error)) {
      err << "zarnactl: " << Printable(error) << "\n";
      return kExitAgentError;
   }
   out << "Wrote the API private key to " << Printable(p.outFile)
       << " (owner only) and its public key to " << Printable(p.outFile + ".pub") << ".\n";
   return kExitOk;
}

int MintToken(const Parsed &p, std::ostream &out, std::ostream &err)
{
   if (p.lifetime <= 0 || p.lifetime > kMaxLifetimeSec) {
      return Usage(err, "--lifetime: from 1 to " + std::to_string(kMaxLifetimeSec) + " seconds");
   }
   std::vector<std::string> privileges = p.allPrivileges ? AllPrivileges() : p.privileges;
   if (privileges.empty()) {
      return Usage(err, "name at least one --privilege, or --all-privileges");
   }
   Brim::Authn::EcKeyPtr key;
   std::string error;
   if (!Brim::Authn::LoadEs256PrivateKey(p.tokenKey.path, key, error)) {
      err << "zarnactl: cannot use the API token key: " << Printable(error) << "\n";
      return kExitUsage;
   }
   Brim::Authn::MintSpec spec;
   spec.privileges = std::move(privileges);
   spec.lifetimeSec = p.lifetime;
   std::string token;
   if (!Brim::Authn::MintApiToken(key.get(), spec, token, error)) {
      err << "zarnactl: " << Printable(error) << "\n";
      return kExitAgentError;
   }
   out << token << "\n";
   return kExitOk;
}

int CallMetadata(const Parsed &p, std::ostream &out, std::ostream &err, const AppDeps &deps,
                 bool get)
{
   HostPort hp;
   std::string error;
   if (!ParseHostPort(p.tcp, hp, error)) {
      return Usage(err, "--tcp: " + error);
   }
   Endpoint endpoint;
   endpoint.host = hp.host;
   endpoint.port = hp.port.value_or(kDefaultApiPort);
   // Readers of the answers need the operations' types.
   std::apply([](auto... svc) { (decltype(svc)::Interface::RegisterSignatures(), ...); },
              Ruvo::Provider::Metadata::AllMetadataServices{});

   auto context = std::make_shared<Ruvo::Core::ExecutionContext>();
   if (!AttachApiToken(p.tokenKey, {kMetadataRead}, *context, error)) {
      err << "zarnactl: " << Printable(error) << "\n";
      return kExitUsage;
   }
   boost::asio::io_context io;
   Ruvo::Core::AsyncApiProviderPtr provider = ConnectOrReport(deps.connect, io, endpoint, err);
   if (!provider) {
      return kExitAgentError;
   }
   auto input = std::make_shared<Ruvo::Data::StructValue>(get ? "get.input" : "list.input");
   if (get) {
      input->SetField("id", Ruvo::Data::MakeString(p.id));
   }
   Ruvo::Core::MethodIdentifier method("com.talvor.ruvo.metadata." + p.kind + "." + p.collection,
                                       get ? "get" : "list");
   Ruvo::Core::MethodResultPtr result;
   provider->Invoke(method, input, context,
                    [&result](const Ruvo::Core::MethodResultPtr &r, const Ruvo::Core::Progress &,
                              Ruvo::Core::Continuation) {
                       if (r) {
                          result = r;
                       }
                    });
   io.run();
   if (!result) {
      err << "zarnactl: the call to the agent at " << Printable(DescribeEndpoint(endpoint))
          << " ended without an answer\n";
      return kExitAgentError;
   }
   if (result->IsError()) {
      if (result->GetError()->GetName() == Ruvo::Data::StdErrors::kSystemError) {
         err << "zarnactl: cannot talk to the agent at " << Printable(DescribeEndpoint(endpoint))
             << "\n";
      }
      WriteErrorMessages(err, *result->GetError());
      return kExitAgentError;
   }
   const auto *list = Ruvo::Data::As<Ruvo::Data::ListValue>(result->GetOutput());
   if (!get && !p.json && list != nullptr) {
      for (const auto &item : list->Items()) {
         const auto *text = Ruvo::Data::As<Ruvo::Data::StringValue>(item);
         out << (text ? Printable(text->GetValue()) : std::string("?")) << "\n";
      }
      return kExitOk;
   }
   return result->GetOutput() && WriteJsonValue(out, err, *result->GetOutput()) ? kExitOk
                                                                                : kExitAgentError;
}

} // namespace

bool IsSecurityCommand(const std::vector<std::string> &args)
{
   return NounIsOneOf(args, {"token-key", "token", "metadata"});
}

int RunSecurityCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                       const AppDeps &deps)
{
   CLI::App app("API keys, tokens and metadata of the zarna agent.", "zarnactl");
   app.fallthrough();
   app.require_subcommand(1);
   Parsed p;
   app.add_option("--tcp", p.tcp, "Agent API over TCP (IPv6 as [HOST]:PORT)")
       ->type_name("HOST:PORT");
   auto *keyOpt = app.add_option("--token-key", p.tokenKey.path, "API private key")
                      ->type_name("FILE")
                      ->capture_default_str();
   app.add_flag("--json", p.json, "Print JSON");

   auto *keyCmd = app.add_subcommand("token-key", "The host's API key pair");
   keyCmd->require_subcommand(1);
   auto *generate = keyCmd->add_subcommand(
       "generate", "Make a new ES256 key pair: FILE (owner only) and FILE.pub");
   generate->add_option("--out", p.outFile, "Private key file to create")
       ->type_name("FILE")
       ->required();

   auto *tokenCmd = app.add_subcommand("token", "API access tokens");
   tokenCmd->require_subcommand(1);
   auto *mint = tokenCmd->add_subcommand("mint", "Print a token signed with --token-key");
   mint->add_option("--privilege", p.privileges, "Privilege the token grants (repeatable)")
       ->type_name("P")
       ->expected(1)
       ->allow_extra_args(false)
       ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
   mint->add_flag("--all-privileges", p.allPrivileges, "Every privilege of the agent's API");
   mint->add_option("--lifetime", p.lifetime, "Seconds the token is valid (default 300)")
       ->type_name("SECS");

   auto *metadata = app.add_subcommand("metadata", "What the agent's metadata services publish");
   metadata->require_subcommand(1);
   std::vector<std::pair<CLI::App *, CLI::App *>> verbs;
   for (const char *kind : {"cli", "metamodel", "authentication"}) {
      auto *k = metadata->add_subcommand(kind, std::string("The ") + kind + " metadata");
      k->require_subcommand(1);
      auto *list =
          k->add_subcommand("list", "Ids of one collection (service, service.operation, ...)");
      list->add_option("COLLECTION", p.collection, "Collection")->required();
      auto *get = k->add_subcommand("get", "One entry of a collection");
      get->add_option("COLLECTION", p.collection, "Collection")->required();
      get->add_option("ID", p.id, "Entry id")->required();
      verbs.emplace_back(list, get);
   }

   if (auto exitCode = ParseOrExit(app, args, out, err)) {
      return *exitCode;
   }
   p.tokenKey.given = keyOpt->count() > 0;
   if (generate->parsed()) {
      return GenerateKey(p, out, err);
   }
   if (mint->parsed()) {
      return MintToken(p, out, err);
   }
   for (const auto &[list, get] : verbs) {
      if (list->parsed() || get->parsed()) {
         p.kind = list->get_parent()->get_name();
         return CallMetadata(p, out, err, deps, get->parsed());
      }
   }
   return Usage(err, "no command");
}

} // namespace Zarnactl
