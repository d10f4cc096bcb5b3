// The agent's metadata file against what the agent binds: every served operation
// is described, every TCP operation names its authentication and privilege, and
// nothing in the file names an operation that no interface defines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "api/trusted_infrastructure_agent_status.h"
#include "api/key_operation.h"
#include "api/trusted_infrastructure_providers.h"
#include "api/trusted_infrastructure_services.h"
#include "apps/zarna/ruvo/provider/provider.h"
#include "runtime/ruvo/filters/authz_info.h"
#include "runtime/ruvo/metadata/metadata_bindings.h"
#include "runtime/ruvo/metadata/metadata_container.h"

namespace {

namespace Ti = Com::Talvor::Brim::TrustedInfrastructure;
namespace Md = Ruvo::Provider::Metadata;

using Operations = std::map<std::string, std::vector<std::string>>; // interface id -> operations

template <class Decl> void Describe(Operations &out)
{
   auto &ops = out[std::string(Decl::kId)];
   std::apply([&](auto... op) { (ops.push_back(std::string(decltype(op)::kName)), ...); },
              typename Decl::Operations{});
}

// Every interface the api/ definitions and the runtime's metadata services define.
Operations Defined()
{
   Operations all;
   Describe<Ti::Attestation::ServicesSvc::Interface>(all);
   Describe<Ti::Kms::ServicesSvc::Interface>(all);
   Describe<Ti::Kms::ProvidersSvc::Interface>(all);
   Describe<Ti::Agent::StatusSvc::Interface>(all);
   Describe<Com::Talvor::Brim::Kms::KeyOperationSvc::Interface>(all);
   std::apply([&](auto... svc) { (Describe<typename decltype(svc)::Interface>(all), ...); },
              Md::AllMetadataServices{});
   return all;
}

std::string MetadataPath()
{
   const char *dir = std::getenv("ZARNA_SOURCE_DIR");
   return std::string(dir != nullptr ? dir : ".") + "/api/zarn_ruvo_agent_metadata.json";
}

nlohmann::json ReadMetadata()
{
   std::ifstream in(MetadataPath());
   return nlohmann::json::parse(in, nullptr, false);
}

// "<service>.<operation>" of the operations each section describes.
std::set<std::string> Described(const nlohmann::json &section, const char *services)
{
   std::set<std::string> out;
   for (const auto &s : section.value(services, nlohmann::json::array())) {
      for (const auto &op : s.value("operations", nlohmann::json::array())) {
         out.insert(s.value("id", "") + "." + op.value("name", ""));
      }
   }
   return out;
}

TEST(AgentMetadata, EveryBoundOperationIsDescribedAndNothingElse)
{
   nlohmann::json doc = ReadMetadata();
   ASSERT_TRUE(doc.is_object()) << MetadataPath();
   Operations defined = Defined();
   std::set<std::string> existing;
   for (const auto &[id, ops] : defined) {
      for (const auto &op : ops) {
         existing.insert(id + "." + op);
      }
   }

   std::set<std::string> privileged;
   for (const auto &op : doc["authorization"]["operations"]) {
      privileged.insert(op.value("service", "") + "." + op.value("operation", ""));
   }
   std::set<std::string> authenticated = Described(doc["authentication"], "services");
   std::set<std::string> modelled = Described(doc["metamodel"], "services");
   std::set<std::string> commands;
   for (const auto &c : doc["cli"]["commands"]) {
      commands.insert(c.value("service", "") + "." + c.value("operation", ""));
   }

   // TCP: authentication, a privilege, a model and a command for every operation.
   std::vector<std::string> bound;
   for (const auto &binding : Zarna::CreateTcpBindings(nullptr)) {
      const std::string &id = binding->GetIdentifier();
      auto decl = defined.find(id);
      ASSERT_NE(decl, defined.end())
          << id << " is bound but this test does not know its operations";
      for (const auto &op : decl->second) {
         std::vector<Ruvo::BaseMessage> messages;
         EXPECT_TRUE(binding->FindOperation(op, messages)) << id << "." << op;
         std::string method = id + "." + op;
         bound.push_back(method);
         EXPECT_TRUE(privileged.count(method)) << method << " has no authorization metadata";
         EXPECT_TRUE(authenticated.count(method)) << method << " has no authentication metadata";
         EXPECT_TRUE(modelled.count(method)) << method << " has no metamodel";
         EXPECT_TRUE(commands.count(method)) << method << " has no CLI command";
      }
   }
   EXPECT_GE(bound.size(), 8u + 32u) << "management and metadata services";
   // The local socket's key operations are described too, but carry no privilege.
   for (const auto &op : defined[Com::Talvor::Brim::Kms::KeyOperationSvc::kInterfaceId]) {
      std::string method =
          std::string(Com::Talvor::Brim::Kms::KeyOperationSvc::kInterfaceId) + "." + op;
      EXPECT_TRUE(authenticated.count(method) && modelled.count(method) && commands.count(method))
          << method;
   }
   for (const auto *names : {&privileged, &authenticated, &modelled, &commands}) {
      for (const auto &method : *names) {
         EXPECT_TRUE(existing.count(method))
             << method << " is described but no interface defines it";
      }
   }
}

TEST(AgentMetadata, FileLoadsIntoEveryContainerAndTheAuthorizationInfo)
{
   std::string path = MetadataPath();
   Md::Cli::MetadataContainer cli;
   Md::Metamodel::MetadataContainer metamodel;
   Md::Authentication::MetadataContainer authentication;
   for (Md::MetadataContainerBase *c :
        std::initializer_list<Md::MetadataContainerBase *>{&cli, &metamodel, &authentication}) {
      auto error = c->AddSource({"agent", Md::SourceType::File, path});
      EXPECT_EQ(error, nullptr) << c->Section() << ": " << (error ? error->ToString() : "");
   }
   EXPECT_FALSE(metamodel.List("operation").empty());
   std::ifstream in(path);
   Ruvo::Authz::AuthzInfo info;
   std::vector<Ruvo::BaseMessage> messages;
   ASSERT_TRUE(Ruvo::Authz::Metadata::LoadAuthzInfoMetadata::Load(in, info, nullptr, messages))
       << (messages.empty() ? "" : messages.front().ToString());
   // Reading is separate from managing.
   const auto *list =
       info.RequiredPrivileges(std::string(Ti::Attestation::ServicesSvc::kInterfaceId) + ".list");
   const auto *create =
       info.RequiredPrivileges(std::string(Ti::Attestation::ServicesSvc::kInterfaceId) + ".create");
   ASSERT_TRUE(list && create);
   EXPECT_NE(*list, *create);
}

} // namespace
