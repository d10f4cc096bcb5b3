// zarnactl from arguments to output and exit code, against an agent that answers
// with canned JSON-RPC response bodies.
#include "tools/zarnactl/app.h"

#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "runtime/ruvo/json/json_rpc.h"

namespace Zarnactl {
namespace {

constexpr const char *kAttId = "com.talvor.brim.trusted_infrastructure.attestation.services";
constexpr const char *kKmsId = "com.talvor.brim.trusted_infrastructure.kms.services";

// Keeps the request body as it would go on the wire and answers with the canned
// response body, read by the same reader the real transport uses.
class CannedAgent : public Ruvo::Core::AsyncApiProvider {
public:
   std::string GetName() const override { return "canned"; }
   void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
               const Ruvo::Core::ExecutionContextPtr &context,
               Ruvo::Core::AsyncApiResultCb cb) override
   {
      ++calls;
      context->SetRequestId("r1");
      std::string body;
      Ruvo::Data::ErrorValuePtr error;
      ASSERT_TRUE(Ruvo::Protocol::Json::JsonApiRequestSerializer().Serialize(
          method, input, *context, body, error));
      request = nlohmann::json::parse(body);
      Ruvo::Protocol::Json::JsonApiResponse response;
      std::string reply = R"({"version":"1.1","id":"r1",)" + answer + "}";
      if (!Ruvo::Protocol::Json::JsonApiResponseDeserializer().Deserialize(reply, method, response,
                                                                           error)) {
         cb(Ruvo::Core::MethodResult::GetErrorInstance(error), {}, {});
         return;
      }
      cb(response.result, {}, {});
   }

   std::string answer = R"("result":[])"; // the part after the id
   nlohmann::json request;
   int calls = 0;
};

class MemoryFiles : public FileReader {
public:
   bool Read(const std::string &path, size_t, std::string &out, std::string &error) override
   {
      auto it = files.find(path);
      if (it == files.end()) {
         error = "No such file or directory";
         return false;
      }
      out = it->second;
      return true;
   }
   std::map<std::string, std::string> files;
};

struct Outcome {
   int code = -1;
   std::string out;
   std::string err;
};

class ZarnactlApp : public ::testing::Test {
protected:
   Outcome Zarnactl(const std::vector<std::string> &args)
   {
      AppDeps deps;
      deps.files = files;
      deps.connect = [this](boost::asio::io_context &, const Endpoint &endpoint) {
         connectedTo = endpoint;
         return agent;
      };
      std::ostringstream out;
      std::ostringstream err;
      Outcome r;
      r.code = RunZarnactl(args, out, err, deps);
      r.out = out.str();
      r.err = err.str();
      return r;
   }
   const nlohmann::json &Input() { return agent->request["params"]["input"]; }

   std::shared_ptr<CannedAgent> agent = std::make_shared<CannedAgent>();
   std::shared_ptr<MemoryFiles> files = std::make_shared<MemoryFiles>();
   Endpoint connectedTo;
};

const char *kTwoSummaries =
    R"("result":[{"service":"a1","address":{"hostname":"attestd.example","port":8443},"group":"blue"},
                {"service":"b2","address":{"hostname":"::1"},"group":"green"}])";

TEST_F(ZarnactlApp, ListSendsTheFilterAndPrintsATable)
{
   agent->answer = kTwoSummaries;
   Outcome r = Zarnactl({"--tcp", "[::1]:7999", "attestation-services", "list", "--group", "blue",
                         "--host", "[::1]:8443", "--host", "attestd.example"});
   ASSERT_EQ(r.code, 0) << r.err;
   EXPECT_EQ(connectedTo.host, "::1");
   EXPECT_EQ(connectedTo.port, 7999);
   EXPECT_EQ(agent->request["version"], "1.1");
   EXPECT_EQ(agent->request["method"], std::string(kAttId) + ".list");
   EXPECT_EQ(Input(),
             nlohmann::json::parse(R"({"filter":{"addresses":[{"hostname":"::1","port":8443},
                                               {"hostname":"attestd.example"}],"groups":["blue"]}})"));
   std::string opId = agent->request["params"]["context"]["app"]["opId"];
   EXPECT_EQ(opId.rfind("zarnactl-", 0), 0u) << opId;
   EXPECT_EQ(r.out, "ID  HOST             PORT           GROUP\n"
                    "a1  attestd.example  8443           blue\n"
                    "b2  ::1              443 (default)  green\n");
   EXPECT_EQ(r.err, "");

   Outcome all = Zarnactl({"key-provider-services", "list"});
   ASSERT_EQ(all.code, 0) << all.err;
   EXPECT_EQ(agent->request["method"], std::string(kKmsId) + ".list");
   EXPECT_TRUE(!Input().contains("filter") || Input()["filter"].is_null()) << Input();
}

TEST_F(ZarnactlApp, JsonPrintsTheWireResult)
{
   agent->answer = kTwoSummaries;
   Outcome list = Zarnactl({"--json", "attestation-services", "list", "--id", "a1", "--id", "b2"});
   ASSERT_EQ(list.code, 0) << list.err;
   EXPECT_EQ(Input()["filter"], nlohmann::json::parse(R"({"services":["a1","b2"]})"));
   EXPECT_EQ(nlohmann::json::parse(list.out),
             nlohmann::json::parse(std::string("[") + (kTwoSummaries + 10) + ""));

   agent->answer =
       R"("result":{"address":{"hostname":"kms.example"},"trusted_CA":{"cert_chain":["A","B"]},
                      "group":"blue"})";
   Outcome get = Zarnactl({"key-provider-services", "get", "k1", "--json"});
   ASSERT_EQ(get.code, 0) << get.err;
   EXPECT_EQ(Input(), nlohmann::json::parse(R"({"service":"k1"})"));
   EXPECT_EQ(nlohmann::json::parse(get.out),
             nlohmann::json::parse(R"({"address":{"hostname":"kms.example"},
                                               "trusted_CA":{"cert_chain":["A","B"]},"group":"blue"})"));

   agent->answer = R"("result":null)";
   Outcome deleted = Zarnactl({"--json", "attestation-services", "delete", "a1"});
   ASSERT_EQ(deleted.code, 0) << deleted.err;
   EXPECT_EQ(deleted.out, "null\n");
}

TEST_F(ZarnactlApp, CreateSendsEveryCertificateOfEveryFileInOrder)
{
   files->files["root.pem"] = "-----BEGIN CERTIFICATE-----\nROOT\n-----END CERTIFICATE-----\n"
                              "-----BEGIN CERTIFICATE-----\nINTER\n-----END CERTIFICATE-----\n";
   files->files["leaf.pem"] = "-----BEGIN CERTIFICATE-----\nISSUING\n-----END CERTIFICATE-----\n";
   agent->answer = R"("result":"k-42")";
   Outcome r = Zarnactl({"--socket", "/run/zarna/api.sock", "key-provider-services", "create",
                         "--host", "[2001:db8::7]", "--port", "9443", "--group", "blue",
                         "--ca-file", "root.pem", "--ca-file", "leaf.pem"});
   ASSERT_EQ(r.code, 0) << r.err;
   EXPECT_TRUE(connectedTo.unixSocket);
   EXPECT_EQ(agent->request["method"], std::string(kKmsId) + ".create");
   EXPECT_EQ(Input(), nlohmann::json::parse(R"({"spec":{
      "address":{"hostname":"2001:db8::7","port":9443},
      "trusted_CA":{"cert_chain":["-----BEGIN CERTIFICATE-----\nROOT\n-----END CERTIFICATE-----\n",
                                  "-----BEGIN CERTIFICATE-----\nINTER\n-----END CERTIFICATE-----\n",
                                  "-----BEGIN CERTIFICATE-----\nISSUING\n-----END CERTIFICATE-----\n"]},
      "group":"blue"}})"));
   EXPECT_EQ(r.out, "k-42\n");

   Outcome noPort = Zarnactl({"key-provider-services", "create", "--host", "kms", "--group", "g",
                              "--ca-file", "leaf.pem"});
   ASSERT_EQ(noPort.code, 0) << noPort.err;
   EXPECT_FALSE(Input()["spec"]["address"].contains("port")) << "an absent port stays absent (443)";
}

TEST_F(ZarnactlApp, AgentErrorIsExitOneWithItsMessagesOnStderr)
{
   agent->answer =
       R"("error":{"name":"com.talvor.ruvo.std.errors.not_found","fields":{"error_type":"NOT_FOUND",
      "messages":[{"id":"com.talvor.brim.trusted_infrastructure.attestation.services.not_found",
                   "default_message":"Attestion Service not found nope.","args":[],"params":{}}]}})";
   Outcome r = Zarnactl({"attestation-services", "get", "nope"});
   EXPECT_EQ(r.code, 1);
   EXPECT_EQ(r.out, "");
   EXPECT_EQ(r.err, "zarnactl: Attestion Service not found nope.\n");

   Outcome json = Zarnactl({"--json", "attestation-services", "delete", "nope"});
   EXPECT_EQ(json.code, 1);
   EXPECT_EQ(json.out, "");
   EXPECT_EQ(json.err, "zarnactl: Attestion Service not found nope.\n");

   // An answer of the wrong shape is the agent's fault, not the user's.
   agent->answer = R"("result":{"unexpected":true})";
   Outcome odd = Zarnactl({"attestation-services", "list"});
   EXPECT_EQ(odd.code, 1);
   EXPECT_NE(odd.err.find("zarnactl: "), std::string::npos);
}

TEST_F(ZarnactlApp, UsageErrorsAreExitTwoAndNeverCallTheAgent)
{
   files->files["empty.pem"] = "nothing here\n";
   const std::vector<std::vector<std::string>> cases = {
       {"attestation-services", "create", "--host", "h", "--group", "g", "--ca-file",
        "missing.pem"},
       {"attestation-services", "create", "--host", "h", "--group", "g", "--ca-file", "empty.pem"},
       {"frobnicate"},
   };
   for (const auto &args : cases) {
      Outcome r = Zarnactl(args);
      EXPECT_EQ(r.code, 2) << args.back();
      EXPECT_NE(r.err.find("zarnactl"), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
   }
   EXPECT_EQ(agent->calls, 0);
   Outcome missing = Zarnactl(cases[0]);
   EXPECT_EQ(missing.err,
             "zarnactl: cannot read CA file 'missing.pem': No such file or directory\n");
}

} // namespace
} // namespace Zarnactl
