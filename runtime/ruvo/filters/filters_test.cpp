// The authentication and authorisation layers in a chain: who reaches the
// service, who is refused with which error, and what a metadata file must hold.
#include <gtest/gtest.h>

#include <sstream>

#include "runtime/ruvo/filters/authn_filter.h"
#include "runtime/ruvo/filters/authz_filter.h"

namespace {

using namespace Ruvo;

// The innermost layer: records what reached it.
class Sink : public Core::AsyncApiProvider {
public:
   std::string GetName() const override { return "Sink"; }
   void Invoke(const Core::MethodIdentifier &method, const Data::DataValuePtr &,
               const Core::ExecutionContextPtr &context, Core::AsyncApiResultCb cb) override
   {
      reached.push_back(method.ToString());
      lastContext = context;
      cb(Core::MethodResult::GetInstance(std::make_shared<Data::StringValue>("ok")), {}, {});
   }
   std::vector<std::string> reached;
   Core::ExecutionContextPtr lastContext;
};

class ScriptedHandler : public Authn::TokenHandler {
public:
   void Authenticate(const Core::ExecutionContextPtr &, Authn::AuthnCallback done) override
   {
      ++calls;
      done(outcome);
   }
   Authn::AuthnOutcome outcome;
   int calls = 0;
};

class PrivilegeList : public Authz::EntitlementChecker {
public:
   bool IsEntitled(const Core::AuthenticationResult &caller,
                   const std::string &privilege) const override
   {
      return std::find(caller.privileges.begin(), caller.privileges.end(), privilege) !=
             caller.privileges.end();
   }
};

std::string Call(Core::AsyncApiProvider &chain, const std::string &method,
                 Core::ExecutionContextPtr context = std::make_shared<Core::ExecutionContext>())
{
   Core::MethodIdentifier id;
   EXPECT_TRUE(Core::MethodIdentifier::FromString(method, id));
   std::string outcome = "<no answer>";
   int answers = 0;
   chain.Invoke(id, nullptr, context,
                [&](const Core::MethodResultPtr &r, const Core::Progress &, Core::Continuation) {
                   ++answers;
                   outcome = r->IsError() ? r->GetError()->GetName() : "ok";
                });
   EXPECT_EQ(answers, 1) << method;
   return outcome;
}

std::shared_ptr<Core::AuthenticationResult> Caller(std::vector<std::string> privileges)
{
   auto caller = std::make_shared<Core::AuthenticationResult>();
   caller->schemeId = Core::kOAuthSchemeId;
   caller->privileges = std::move(privileges);
   return caller;
}

const char *kMetadata = R"({"authorization":{
   "privileges":[{"id":"svc.read"},{"id":"svc.write"}],
   "operations":[{"service":"com.x.svc","operation":"list","privileges":["svc.read"]},
                 {"service":"com.x.svc","operation":"create","privileges":["svc.read","svc.write"]}]}})";

struct Chain {
   std::shared_ptr<Sink> sink = std::make_shared<Sink>();
   std::shared_ptr<ScriptedHandler> handler = std::make_shared<ScriptedHandler>();
   std::shared_ptr<Authn::Filter::AsyncAuthnFilter> top;

   Chain()
   {
      auto info = std::make_shared<Authz::AuthzInfo>();
      std::istringstream in(kMetadata);
      std::vector<BaseMessage> messages;
      EXPECT_TRUE(Authz::Metadata::LoadAuthzInfoMetadata::Load(in, *info, nullptr, messages));
      auto authz = std::make_shared<Authz::Filter::AsyncAuthzFilter>(
          Provider::DirectEnqueuer(), info, std::make_shared<PrivilegeList>(), nullptr, sink);
      top = std::make_shared<Authn::Filter::AsyncAuthnFilter>(authz, handler, nullptr);
   }
};

TEST(AuthFilters, HandlerErrorStopsTheCallAndItsResultReachesTheService)
{
   Chain c;
   c.handler->outcome.error =
       Data::StdErrors::Make(Data::StdErrors::kUnauthenticated, {}, "UNAUTHENTICATED");
   EXPECT_EQ(Call(*c.top, "com.x.svc.list"), Data::StdErrors::kUnauthenticated);
   EXPECT_TRUE(c.sink->reached.empty());

   c.handler->outcome = {nullptr, Caller({"svc.read"})};
   EXPECT_EQ(Call(*c.top, "com.x.svc.list"), "ok");
   ASSERT_EQ(c.sink->reached.size(), 1u);
   ASSERT_TRUE(c.sink->lastContext->GetAuthenticationResult());
   EXPECT_EQ(c.sink->lastContext->GetAuthenticationResult()->privileges,
             std::vector<std::string>{"svc.read"});

   // A context that already carries a result is not authenticated again.
   auto context = std::make_shared<Core::ExecutionContext>();
   context->SetAuthenticationResult(Caller({"svc.read"}));
   int before = c.handler->calls;
   EXPECT_EQ(Call(*c.top, "com.x.svc.list", context), "ok");
   EXPECT_EQ(c.handler->calls, before);
}

TEST(AuthFilters, EveryPrivilegeOfTheOperationIsNeeded)
{
   Chain c;
   c.handler->outcome = {nullptr, Caller({"svc.read"})};
   EXPECT_EQ(Call(*c.top, "com.x.svc.create"), Data::StdErrors::kUnauthorized);
   c.handler->outcome = {nullptr, Caller({"svc.write"})};
   EXPECT_EQ(Call(*c.top, "com.x.svc.create"), Data::StdErrors::kUnauthorized);
   c.handler->outcome = {nullptr, Caller({})};
   EXPECT_EQ(Call(*c.top, "com.x.svc.list"), Data::StdErrors::kUnauthorized);
   c.handler->outcome = {nullptr, Caller({"svc.write", "svc.read"})};
   EXPECT_EQ(Call(*c.top, "com.x.svc.create"), "ok");
   // Operations without metadata are nobody's, whatever the caller holds.
   EXPECT_EQ(Call(*c.top, "com.x.svc.delete"), Data::StdErrors::kUnauthorized);
   EXPECT_EQ(Call(*c.top, "com.x.other.list"), Data::StdErrors::kUnauthorized);
   // A handler that found nobody leaves the caller unauthenticated.
   c.handler->outcome = {};
   EXPECT_EQ(Call(*c.top, "com.x.svc.list"), Data::StdErrors::kUnauthenticated);
   EXPECT_EQ(c.sink->reached, std::vector<std::string>{"com.x.svc.create"});
}

TEST(AuthzMetadata, BrokenDocumentsAreRefusedAndChangeNothing)
{
   const char *bad[] = {
       "",
       "not json",
       "[]",
       R"({"cli":{}})",
       R"({"authorization":{"privileges":[],"operations":{}}})",
       R"({"authorization":{"privileges":[{"id":""}],"operations":[]}})",
       R"({"authorization":{"privileges":[{"id":"a"}],"operations":[{"service":"s","operation":"o","privileges":[]}]}})",
       R"({"authorization":{"privileges":[{"id":"a"}],"operations":[{"service":"s","operation":"o","privileges":["b"]}]}})",
       R"({"authorization":{"privileges":[{"id":"a"}],"operations":[{"service":"s","privileges":["a"]}]}})",
       (R"({"authorization":{"privileges":[{"id":"a"}],"operations":[{"service":"s","operation":"o","privileges":["a"]},)"
        R"({"service":"s","operation":"o","privileges":["a"]}]}})"),
   };
   for (const char *text : bad) {
      Authz::AuthzInfo info;
      info.SetOperation("kept.op", {"x"});
      std::istringstream in(text);
      std::vector<BaseMessage> messages;
      EXPECT_FALSE(Authz::Metadata::LoadAuthzInfoMetadata::Load(in, info, nullptr, messages))
          << text;
      EXPECT_FALSE(messages.empty()) << text;
      EXPECT_NE(info.RequiredPrivileges("kept.op"), nullptr) << text;
      EXPECT_EQ(info.Operations().size(), 1u) << text;
   }
   std::istringstream huge(std::string(Authz::Metadata::kMaxMetadataBytes + 1, ' '));
   Authz::AuthzInfo info;
   std::vector<BaseMessage> messages;
   EXPECT_FALSE(Authz::Metadata::LoadAuthzInfoMetadata::Load(huge, info, nullptr, messages));
}

} // namespace
