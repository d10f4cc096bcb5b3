#include "tools/zarnactl/app.h"

#include <chrono>
#include <optional>
#include <random>

#include "api/trusted_infrastructure_services.h"
#include "tools/zarnactl/cli_support.h"
#include "tools/zarnactl/human_output.h"
#include "tools/zarnactl/json_output.h"
#include "tools/zarnactl/security_commands.h"

namespace Zarnactl {
namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
using Ti::ServicesApi::CreateSpec;
using Ti::ServicesApi::FilterSpec;
using Ti::ServicesApi::Info;
using Ti::ServicesApi::SummaryList;

// Management calls need no remote work on the agent's side; an administrator at a
// terminal should not wait the transport's default of many minutes.
constexpr std::chrono::seconds kCallLimit{60};

std::string NewOpId()
{
   std::random_device rd;
   std::uniform_int_distribution<uint32_t> dist;
   char text[16];
   std::snprintf(text, sizeof text, "%08x", dist(rd));
   return std::string("zarnactl-") + text;
}

struct Call {
   const Invocation &inv;
   Ruvo::Core::AsyncApiProviderPtr provider;
   boost::asio::io_context &io;
   std::ostream &out;
   std::ostream &err;
};

// Starts the call, runs the I/O until it completes, and reports an error if any.
template <class T, class Start> std::optional<T> Await(Call &call, Start start)
{
   std::optional<Ruvo::Outcome<T>> outcome;
   start(Ruvo::AsyncResult<T>([&outcome](Ruvo::Outcome<T> &&o) { outcome = std::move(o); }));
   call.io.run();
   if (!outcome) {
      call.err << "zarnactl: the call to the agent at "
               << Printable(DescribeEndpoint(call.inv.endpoint)) << " ended without an answer\n";
      return std::nullopt;
   }
   if (outcome->IsError()) {
      if (outcome->error->GetName() == Ruvo::Data::StdErrors::kSystemError) {
         call.err << "zarnactl: cannot talk to the agent at "
                  << Printable(DescribeEndpoint(call.inv.endpoint)) << "\n";
      }
      WriteErrorMessages(call.err, *outcome->error);
      return std::nullopt;
   }
   return std::move(outcome->value);
}

FilterSpec ToFilterSpec(const ListFilter &filter)
{
   FilterSpec spec;
   if (filter.services) {
      spec.services.emplace(filter.services->begin(), filter.services->end());
   }
   if (filter.groups) {
      spec.groups.emplace(filter.groups->begin(), filter.groups->end());
   }
   if (filter.addresses) {
      spec.addresses.emplace();
      for (const auto &hp : *filter.addresses) {
         spec.addresses->push_back({hp.host, hp.port});
      }
   }
   return spec;
}

template <class Stub> int RunVerb(Call &call, const std::vector<std::string> &chain)
{
   auto activation = std::make_shared<Ruvo::Core::AsyncActivation>();
   activation->GetExecutionContext()->GetApplicationContext()[Ruvo::Core::kOpIdContextKey] =
       NewOpId();
   const Invocation &inv = call.inv;
   if (!inv.endpoint.unixSocket) {
      bool manage = inv.verb == Verb::Create || inv.verb == Verb::Delete;
      std::string error;
      if (!AttachApiToken(inv.tokenKey, {manage ? kServicesManage : kServicesRead},
                          *activation->GetExecutionContext(), error)) {
         call.err << "zarnactl: " << Printable(error) << "\n";
         return kExitUsage;
      }
   }
   Stub stub(call.provider, activation);

   switch (inv.verb) {
   case Verb::List: {
      std::optional<FilterSpec> filter;
      if (inv.filter) {
         filter = ToFilterSpec(*inv.filter);
      }
      auto list = Await<SummaryList>(
          call, [&](auto result) { stub.List(filter, activation, std::move(result)); });
      if (!list) {
         return kExitAgentError;
      }
      if (inv.json) {
         return WriteJsonResult(call.out, call.err, *list) ? kExitOk : kExitAgentError;
      }
      std::vector<ServiceRow> rows;
      for (const auto &summary : *list) {
         if (!summary) {
            continue;
         }
         ServiceRow row{summary->service, {}, {}, summary->group};
         if (summary->address) {
            row.host = summary->address->hostname;
            row.port = summary->address->port;
         }
         rows.push_back(std::move(row));
      }
      WriteServiceTable(call.out, rows);
      return kExitOk;
   }
   case Verb::Get: {
      auto info = Await<Info>(
          call, [&](auto result) { stub.Get(inv.service, activation, std::move(result)); });
      if (!info) {
         return kExitAgentError;
      }
      if (inv.json) {
         return WriteJsonResult(call.out, call.err, *info) ? kExitOk : kExitAgentError;
      }
      ServiceDetail detail;
      detail.group = info->group;
      if (info->address) {
         detail.host = info->address->hostname;
         detail.port = info->address->port;
      }
      if (info->trusted_CA) {
         detail.certificates = info->trusted_CA->cert_chain;
      }
      WriteServiceDetail(call.out, detail);
      return kExitOk;
   }
   case Verb::Create: {
      CreateSpec spec;
      spec.address = std::make_shared<const Ti::NetworkAddress>(
          Ti::NetworkAddress{inv.create.host, inv.create.port});
      spec.trusted_CA = std::make_shared<const Ti::X509CertChain>(Ti::X509CertChain{chain});
      spec.group = inv.create.group;
      auto id = Await<std::string>(
          call, [&](auto result) { stub.Create(spec, activation, std::move(result)); });
      if (!id) {
         return kExitAgentError;
      }
      if (inv.json) {
         return WriteJsonResult(call.out, call.err, *id) ? kExitOk : kExitAgentError;
      }
      // The id alone, so that ID=$(zarnactl ... create ...) works.
      call.out << Printable(*id) << "\n";
      return kExitOk;
   }
   case Verb::Delete: {
      auto done = Await<Ruvo::Void>(
          call, [&](auto result) { stub.Delete(inv.service, activation, std::move(result)); });
      if (!done) {
         return kExitAgentError;
      }
      if (inv.json) {
         return WriteJsonResult(call.out, call.err, *done) ? kExitOk : kExitAgentError;
      }
      call.out << "Deleted " << KindTitle(inv.kind) << " " << Printable(inv.service) << ".\n";
      return kExitOk;
   }
   }
   return kExitAgentError;
}

} // namespace

std::string DescribeEndpoint(const Endpoint &endpoint)
{
   if (endpoint.unixSocket) {
      return endpoint.path;
   }
   return HostForDisplay(endpoint.host) + ":" + std::to_string(endpoint.port);
}

Ruvo::Core::AsyncApiProviderPtr ConnectOrReport(const ConnectFn &connect,
                                                boost::asio::io_context &io,
                                                const Endpoint &endpoint, std::ostream &err)
{
   auto provider = connect(io, endpoint);
   if (!provider) {
      err << "zarnactl: cannot set up a connection to " << Printable(DescribeEndpoint(endpoint))
          << "\n";
   }
   return provider;
}

AppDeps SystemDeps()
{
   AppDeps deps;
   deps.files = MakeSystemFileReader();
   deps.connect = [](boost::asio::io_context &io, const Endpoint &endpoint) {
      return ConnectToAgent(io, endpoint, kCallLimit);
   };
   return deps;
}

int RunZarnactl(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                const AppDeps &deps)
{
   if (IsSecurityCommand(args)) {
      return RunSecurityCommand(args, out, err, deps);
   }
   Invocation inv;
   ParseOutcome parsed = ParseCommandLine(args, inv, out, err);
   if (!parsed.run) {
      return parsed.exitCode;
   }
   std::vector<std::string> chain;
   if (inv.verb == Verb::Create) {
      std::string error;
      if (!LoadCaChain(*deps.files, inv.create.caFiles, chain, error)) {
         err << "zarnactl: " << Printable(error) << "\n";
         return kExitUsage;
      }
   }
   boost::asio::io_context io;
   Call call{inv, ConnectOrReport(deps.connect, io, inv.endpoint, err), io, out, err};
   if (!call.provider) {
      return kExitAgentError;
   }
   if (inv.kind == ServiceKind::Attestation) {
      return RunVerb<Ti::Attestation::ServicesSvc::AsyncServiceStub>(call, chain);
   }
   return RunVerb<Ti::Kms::ServicesSvc::AsyncServiceStub>(call, chain);
}

} // namespace Zarnactl
