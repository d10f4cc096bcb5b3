#include "tools/zarnactl/command_line.h"

#include <algorithm>
#include <ostream>

#include <CLI/CLI.hpp>

namespace Zarnactl {
namespace {

struct RawVerbs {
   std::vector<std::string> groups;
   std::vector<std::string> hosts;
   std::vector<std::string> ids;
   std::string service;
   std::string host;
   std::string port;
   std::string group;
   std::vector<std::string> caFiles;
};

struct VerbCommands {
   CLI::App *list = nullptr;
   CLI::App *get = nullptr;
   CLI::App *create = nullptr;
   CLI::App *remove = nullptr;
   CLI::Option *groups = nullptr;
   CLI::Option *hosts = nullptr;
   CLI::Option *ids = nullptr;
   CLI::Option *port = nullptr;
};

// Each occurrence of a repeatable option takes exactly one value.
CLI::Option *Repeatable(CLI::Option *opt, const char *typeName)
{
   return opt->type_name(typeName)->expected(1)->allow_extra_args(false)->multi_option_policy(
       CLI::MultiOptionPolicy::TakeAll);
}

VerbCommands AddVerbs(CLI::App &noun, RawVerbs &raw, const std::string &title)
{
   const std::string a = title.front() == 'a' ? "an " : "a ";
   VerbCommands v;
   noun.require_subcommand(1);
   v.list = noun.add_subcommand("list", "List the configured " + title + "s");
   v.groups = Repeatable(
       v.list->add_option("--group", raw.groups, "Only services of this trust group (repeatable)"),
       "GROUP");
   v.hosts = Repeatable(
       v.list->add_option("--host", raw.hosts,
                          "Only services at this address, IPv6 as [H]:P; no port means 443 "
                          "(repeatable)"),
       "H[:P]");
   v.ids = Repeatable(
       v.list->add_option("--id", raw.ids, "Only the service with this id (repeatable)"), "ID");

   v.get = noun.add_subcommand("get", "Show one " + title);
   v.get->add_option("ID", raw.service, "Service id")->required();

   v.create = noun.add_subcommand("create", "Add " + a + title + " for a trust group");
   v.create->add_option("--host", raw.host, "Host name or IP address of the service")
       ->type_name("HOST")
       ->required();
   v.port = v.create->add_option("--port", raw.port, "TCP port of the service (default 443)")
                ->type_name("PORT");
   v.create->add_option("--group", raw.group, "Trust group")->type_name("GROUP")->required();
   Repeatable(
       v.create->add_option("--ca-file", raw.caFiles,
                            "PEM file of trusted CA certificates, root first (repeatable; all "
                            "certificates of all files in order form the chain)"),
       "FILE")
       ->required();

   v.remove = noun.add_subcommand("delete", "Remove " + a + title);
   v.remove->add_option("ID", raw.service, "Service id")->required();
   return v;
}

bool FillVerb(const VerbCommands &v, const RawVerbs &raw, Invocation &inv, std::string &error)
{
   if (v.list->parsed()) {
      inv.verb = Verb::List;
      if (v.groups->count() + v.hosts->count() + v.ids->count() == 0) {
         return true;
      }
      ListFilter filter;
      if (v.ids->count() > 0) {
         filter.services = raw.ids;
      }
      if (v.groups->count() > 0) {
         filter.groups = raw.groups;
      }
      if (v.hosts->count() > 0) {
         filter.addresses.emplace();
         for (const auto &text : raw.hosts) {
            HostPort hp;
            if (!ParseHostPort(text, hp, error)) {
               error = "--host: " + error;
               return false;
            }
            filter.addresses->push_back(std::move(hp));
         }
      }
      inv.filter = std::move(filter);
   } else if (v.get->parsed() || v.remove->parsed()) {
      inv.verb = v.get->parsed() ? Verb::Get : Verb::Delete;
      inv.service = raw.service;
   } else if (v.create->parsed()) {
      inv.verb = Verb::Create;
      if (!ParseHost(raw.host, inv.create.host, error)) {
         error = "--host: " + error;
         return false;
      }
      if (v.port->count() > 0) {
         int64_t port = 0;
         if (!ParsePort(raw.port, port, error)) {
            error = "--port: " + error;
            return false;
         }
         inv.create.port = port;
      }
      inv.create.group = raw.group;
      inv.create.caFiles = raw.caFiles;
   } else {
      return false;
   }
   return true;
}

} // namespace

const char *KindNoun(ServiceKind kind)
{
   return kind == ServiceKind::Attestation ? "attestation-services" : "key-provider-services";
}

const char *KindTitle(ServiceKind kind)
{
   return kind == ServiceKind::Attestation ? "attestation service" : "key provider service";
}

ParseOutcome ParseCommandLine(const std::vector<std::string> &args, Invocation &inv,
                              std::ostream &out, std::ostream &err)
{
   CLI::App app("Administer the attestation and key provider services of the zarna agent.",
                "zarnactl");
   app.fallthrough();
   app.require_subcommand(1);

   std::string tcp = kDefaultTcp;
   std::string socketPath;
   auto *tcpOpt = app.add_option("--tcp", tcp, "Agent API over TCP (IPv6 as [HOST]:PORT)")
                      ->type_name("HOST:PORT")
                      ->capture_default_str();
   auto *socketOpt =
       app.add_option("--socket", socketPath, "Agent API over this Unix domain socket")
           ->type_name("PATH");
   tcpOpt->excludes(socketOpt);
   auto *tokenKeyOpt =
       app.add_option("--token-key", inv.tokenKey.path,
                      "API private key that signs the token of TCP calls (made with 'zarnactl "
                      "token-key generate')")
           ->type_name("FILE")
           ->capture_default_str();
   app.add_flag("--json", inv.json, "Print one JSON document instead of tables");

   RawVerbs attRaw;
   RawVerbs kmsRaw;
   auto *att = app.add_subcommand(KindNoun(ServiceKind::Attestation), "Attestation services");
   auto *kms = app.add_subcommand(KindNoun(ServiceKind::KeyProvider), "Key provider services");
   VerbCommands attVerbs = AddVerbs(*att, attRaw, KindTitle(ServiceKind::Attestation));
   VerbCommands kmsVerbs = AddVerbs(*kms, kmsRaw, KindTitle(ServiceKind::KeyProvider));

   std::vector<std::string> reversed(args.rbegin(), args.rend());
   try {
      app.parse(std::move(reversed));
   } catch (const CLI::ParseError &e) {
      if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
         app.exit(e, out, err); // help
         return {false, kExitOk};
      }
      err << "zarnactl: " << e.what() << "\nRun with --help for more information.\n";
      return {false, kExitUsage};
   }

   inv.tokenKey.given = tokenKeyOpt->count() > 0;
   std::string error;
   bool ok = true;
   if (socketOpt->count() > 0) {
      inv.endpoint.unixSocket = true;
      inv.endpoint.path = socketPath;
      if (socketPath.empty()) {
         ok = false;
         error = "--socket: empty path";
      }
   } else {
      HostPort hp;
      ok = ParseHostPort(tcp, hp, error);
      if (ok) {
         inv.endpoint.host = hp.host;
         inv.endpoint.port = hp.port.value_or(kDefaultApiPort);
      } else {
         error = "--tcp: " + error;
      }
   }
   if (ok) {
      bool isAtt = att->parsed();
      inv.kind = isAtt ? ServiceKind::Attestation : ServiceKind::KeyProvider;
      ok = FillVerb(isAtt ? attVerbs : kmsVerbs, isAtt ? attRaw : kmsRaw, inv, error);
   }
   if (!ok) {
      err << "zarnactl: " << error << "\nRun with --help for more information.\n";
      return {false, kExitUsage};
   }
   return {true, kExitOk};
}

} // namespace Zarnactl
