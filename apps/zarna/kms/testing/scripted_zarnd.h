// A scripted trust state and key provider service for the key provider client:
// groups with tokens, attestations that succeed or fail, and per-group answers.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>

#include "apps/zarna/kms/zarn_client.h"
#include "runtime/ruvo/binding/codec.h"

namespace ZarnaTesting {

struct ScriptedCall {
   std::string group;  // the service's host name is its group
   std::string method; // "interface.operation"
   std::string token;
   Ruvo::Data::DataValuePtr input;
};

class ScriptedState : public Zarna::ZarnClientState {
public:
   std::vector<Zarna::ZarnaStateInfo> groups;
   std::map<std::string, bool> hasZarnd; // default true
   std::vector<std::string> deleted;
   std::vector<std::pair<std::string, bool>> attested; // group, anyToken
   // Token an attestation of the group yields ("" fails it with attestError).
   std::map<std::string, std::string> attestTokens;
   Ruvo::Data::ErrorValuePtr attestError;
   Ruvo::Data::ErrorValuePtr groupsError; // GetGroups fails with it

   void Add(const std::string &group, const std::string &token = "")
   {
      groups.push_back({group, token, nullptr});
   }
   void GetGroups(Ruvo::Data::ErrorValuePtr &error,
                  std::vector<Zarna::ZarnaStateInfo> &out) override
   {
      if (groupsError) {
         error = groupsError;
         return;
      }
      out = groups;
   }
   void DeleteTokenForGroup(const std::string &group) override
   {
      deleted.push_back(group);
      for (auto &g : groups) {
         if (g.group == group) {
            g.token.clear();
         }
      }
   }
   bool WaitOnAttestation(const std::string &group, bool anyToken,
                          Ruvo::Data::ErrorValuePtr &error) override
   {
      attested.emplace_back(group, anyToken);
      std::string token = attestTokens[group];
      if (token.empty()) {
         error = attestError;
         return false;
      }
      for (auto &g : groups) {
         if (g.group == group) {
            g.token = token;
         }
      }
      return true;
   }
   bool GetZarndInfo(const std::string &group, std::string &hostname, uint32_t &port,
                     std::vector<std::string> &certificates) override
   {
      auto it = hasZarnd.find(group);
      if (it != hasZarnd.end() && !it->second) {
         return false;
      }
      hostname = group;
      port = 443;
      certificates = {"ca of " + group};
      return true;
   }
};

// Answers calls from a script; completes each on the client's I/O context, as
// the network transport does.
class ScriptedZarnd {
public:
   using Answer = std::function<Ruvo::Core::MethodResultPtr(const ScriptedCall &)>;

   std::mutex lock; // calls may arrive on several threads
   std::vector<ScriptedCall> calls;
   Answer answer;
   std::vector<std::string> failFactoryFor; // groups whose provider cannot be built

   Zarna::ZarndProviderFactory Factory()
   {
      return [this](boost::asio::io_context &io, const std::string &host, const std::string &,
                    const std::vector<std::string> &) -> Ruvo::Core::AsyncApiProviderPtr {
         for (const auto &g : failFactoryFor) {
            if (g == host) {
               return nullptr;
            }
         }
         return std::make_shared<Provider>(*this, io, host);
      };
   }

   template <class T> static Ruvo::Core::MethodResultPtr Ok(const T &value)
   {
      Ruvo::Binding::CodecContext codec;
      return Ruvo::Core::MethodResult::GetInstance(Ruvo::Binding::ToDataValue(value, codec));
   }
   static Ruvo::Core::MethodResultPtr Fail(const std::string &name,
                                           const std::vector<Ruvo::BaseMessage> &m = {})
   {
      return Ruvo::Core::MethodResult::GetErrorInstance(Ruvo::Data::StdErrors::Make(name, m));
   }

private:
   class Provider : public Ruvo::Core::AsyncApiProvider {
   public:
      Provider(ScriptedZarnd &owner, boost::asio::io_context &io, std::string group)
          : mOwner(owner), mIo(io), mGroup(std::move(group))
      {
      }
      std::string GetName() const override { return "ScriptedZarnd"; }
      void Invoke(const Ruvo::Core::MethodIdentifier &method, const Ruvo::Data::DataValuePtr &input,
                  const Ruvo::Core::ExecutionContextPtr &context,
                  Ruvo::Core::AsyncApiResultCb cb) override
      {
         ScriptedCall call{mGroup, method.ToString(), "", input};
         if (const auto *token = context->GetSecurityContext().GetAccessToken()) {
            call.token = std::string(token->Expose());
         }
         {
            std::lock_guard<std::mutex> guard(mOwner.lock);
            mOwner.calls.push_back(call);
         }
         auto result = mOwner.answer(call);
         boost::asio::post(mIo, [cb, result] { cb(result, {}, {}); });
      }

   private:
      ScriptedZarnd &mOwner;
      boost::asio::io_context &mIo;
      std::string mGroup;
   };
};

} // namespace ZarnaTesting
