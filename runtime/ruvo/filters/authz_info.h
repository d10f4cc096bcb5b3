// Which privileges each operation needs, read from the authorization section of
// an API metadata file.
#pragma once

#include <istream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "runtime/ruvo/data/message.h"
#include "runtime/ruvo/log/logger.h"

namespace Ruvo::Authz {

class AuthzInfo {
public:
   // Every privilege the caller must hold for "<interface id>.<operation>";
   // nullptr when the operation is not described (callers refuse it).
   const std::vector<std::string> *RequiredPrivileges(const std::string &methodText) const;

   const std::map<std::string, std::vector<std::string>> &Operations() const { return mOperations; }
   const std::set<std::string> &Privileges() const { return mPrivileges; }

   void DeclarePrivilege(const std::string &privilege) { mPrivileges.insert(privilege); }
   void SetOperation(const std::string &methodText, std::vector<std::string> privileges)
   {
      mOperations[methodText] = std::move(privileges);
   }

private:
   std::set<std::string> mPrivileges;
   std::map<std::string, std::vector<std::string>> mOperations;
};

using AuthzInfoPtr = std::shared_ptr<AuthzInfo>;

namespace Metadata {

// The file is the agent's own, but a broken one must stop it cleanly, never crash it.
inline constexpr size_t kMaxMetadataBytes = 4 * 1024 * 1024;

struct LoadAuthzInfoMetadata {
   // Reads the "authorization" section of a metadata document into `info`. False,
   // with the reasons in `messages`, when the stream is not such a document, an
   // operation names no privilege or an undeclared one, or an operation appears
   // twice; `info` is then left unchanged.
   static bool Load(std::istream &in, AuthzInfo &info, const Log::LoggerPtr &logger,
                    std::vector<BaseMessage> &messages);
};

} // namespace Metadata

} // namespace Ruvo::Authz
