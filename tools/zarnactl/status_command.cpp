#include "tools/zarnactl/status_command.h"

#include <ctime>
#include <optional>
#include <sstream>

#include "tools/zarnactl/api_token.h"
#include "tools/zarnactl/cli_support.h"
#include "tools/zarnactl/host_port.h"
#include "tools/zarnactl/human_output.h"
#include "tools/zarnactl/json_output.h"

namespace Zarnactl {

namespace {

namespace Status = Com::Talvor::Brim::TrustedInfrastructure::Agent::StatusSvc;

constexpr const char *kHelp =
    "zarnactl [--tcp HOST:PORT] [--token-key FILE] [--json] status\n"
    "  The agent's version and uptime, its kernel channel, each trust group with its\n"
    "  services, token times and latest attestation, and the firewall allow-list.\n";

std::string UtcTime(int64_t seconds)
{
   time_t t = static_cast<time_t>(seconds);
   tm parts{};
   char text[32] = "?";
   if (gmtime_r(&t, &parts) != nullptr) {
      strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%SZ", &parts);
   }
   return text;
}

std::string Duration(int64_t seconds)
{
   std::ostringstream text;
   if (seconds < 0) {
      seconds = 0;
   }
   if (seconds >= 86400) {
      text << seconds / 86400 << "d ";
   }
   char clock[16];
   snprintf(clock, sizeof(clock), "%02d:%02d:%02d", static_cast<int>(seconds % 86400 / 3600),
            static_cast<int>(seconds % 3600 / 60), static_cast<int>(seconds % 60));
   text << clock;
   return text.str();
}

std::string ServiceText(const std::optional<Status::ServiceRef> &ref)
{
   if (!ref) {
      return "none";
   }
   std::string text;
   if (ref->address) {
      text = Printable(ref->address->hostname) + ":" +
             std::to_string(ref->address->port.value_or(443)) + "  ";
   }
   return text + Printable(ref->service);
}

} // namespace

bool IsStatusCommand(const std::vector<std::string> &args)
{
   for (size_t i = 0; i < args.size(); ++i) {
      const std::string &a = args[i];
      if (a == "--tcp" || a == "--token-key" || a == "--socket") {
         ++i; // its value
         continue;
      }
      if (a.rfind("--", 0) == 0) {
         continue;
      }
      return a == "status";
   }
   return false;
}

void WriteStatusScreen(std::ostream &out, const Status::Info &info)
{
   out << "agent             zarna " << Printable(info.version) << " (build " << info.build
       << "), up " << Duration(info.uptime_seconds) << "\n";
   out << "kernel channel    " << (info.kernel_channel_registered ? "registered" : "NOT registered")
       << "\n";
   if (info.firewall) {
      const Status::Firewall &fw = *info.firewall;
      out << "firewall          " << Printable(fw.backend) << ", "
          << (fw.enabled ? "enabled" : "disabled");
      if (fw.error) {
         out << ", cannot be read: " << Printable(*fw.error);
      }
      out << "\n";
      std::string allowed;
      for (const auto &a : fw.allowed_addresses) {
         allowed += (allowed.empty() ? "" : " ") + Printable(a);
      }
      out << "  allows          " << (allowed.empty() ? "nothing" : allowed) << "\n";
   }
   if (info.groups.empty()) {
      out << "groups            none configured\n";
   }
   for (const auto &g : info.groups) {
      out << "group " << Printable(g.group) << "\n";
      out << "  attestation     " << ServiceText(g.attestation_service) << "\n";
      out << "  key provider    " << ServiceText(g.key_provider_service) << "\n";
      out << "  token           ";
      if (!g.token_held) {
         out << "none";
      } else if (g.token_expires) {
         out << "expires " << UtcTime(*g.token_expires);
         if (g.token_refresh) {
            out << ", refreshed at " << UtcTime(*g.token_refresh);
         }
      } else {
         out << "held (no expiry)";
      }
      out << "\n";
      out << "  last attestation ";
      if (g.last_attestation) {
         out << (g.last_attestation->succeeded ? "succeeded" : "FAILED") << " at "
             << UtcTime(g.last_attestation->time);
      } else {
         out << "none since start";
      }
      out << "\n";
   }
}

int RunStatusCommand(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                     const ConnectFn &connect)
{
   std::string tcp = kDefaultTcp;
   TokenKeyOption tokenKey;
   bool json = false;
   bool seenNoun = false;
   for (size_t i = 0; i < args.size(); ++i) {
      const std::string &a = args[i];
      if (a == "--help" || a == "-h") {
         out << kHelp;
         return kExitOk;
      }
      if (a == "--json") {
         json = true;
      } else if ((a == "--tcp" || a == "--token-key") && i + 1 < args.size()) {
         if (a == "--tcp") {
            tcp = args[++i];
         } else {
            tokenKey.path = args[++i];
            tokenKey.given = true;
         }
      } else if (a == "--socket") {
         return Usage(err, "status is served over TCP only (--tcp)");
      } else if (a == "status" && !seenNoun) {
         seenNoun = true;
      } else {
         return Usage(err, "unexpected argument: " + a);
      }
   }
   HostPort hp;
   std::string error;
   if (!ParseHostPort(tcp, hp, error)) {
      return Usage(err, "--tcp: " + error);
   }
   Endpoint endpoint;
   endpoint.host = hp.host;
   endpoint.port = hp.port.value_or(kDefaultApiPort);

   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>();
   if (!AttachApiToken(tokenKey, {kServicesRead}, *activation->GetExecutionContext(), error)) {
      err << "zarnactl: " << Printable(error) << "\n";
      return kExitUsage;
   }
   boost::asio::io_context io;
   auto provider = ConnectOrReport(connect, io, endpoint, err);
   if (!provider) {
      return kExitAgentError;
   }
   Status::AsyncServiceStub stub(provider);
   std::optional<Ruvo::Outcome<Status::Info>> outcome;
   stub.Get(activation,
            Ruvo::AsyncResult<Status::Info>(
                [&outcome](Ruvo::Outcome<Status::Info> &&o) { outcome = std::move(o); }));
   io.run();
   if (!outcome) {
      err << "zarnactl: the call to the agent at " << Printable(DescribeEndpoint(endpoint))
          << " ended without an answer\n";
      return kExitAgentError;
   }
   if (outcome->IsError()) {
      if (outcome->error->GetName() == Ruvo::Data::StdErrors::kSystemError) {
         err << "zarnactl: cannot talk to the agent at " << Printable(DescribeEndpoint(endpoint))
             << "\n";
      }
      WriteErrorMessages(err, *outcome->error);
      return kExitAgentError;
   }
   if (json) {
      return WriteJsonResult(out, err, *outcome->value) ? kExitOk : kExitAgentError;
   }
   WriteStatusScreen(out, *outcome->value);
   return kExitOk;
}

} // namespace Zarnactl
