#include "apps/zarna/ruvo/endpoints/local_socket_access.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "runtime/tirel/app.h"

namespace Zarna {

LocalSocketAccess ConfiguredLocalSocketAccess()
{
   LocalSocketAccess access;
   if (auto app = Tirel::Service::GetApp()) {
      app->GetSettings().GetString("api/localSocketGroup", access.group);
   }
   return access;
}

OwnerOnlyFileCreation::OwnerOnlyFileCreation() : mPrevious(umask(0177)) {}

OwnerOnlyFileCreation::~OwnerOnlyFileCreation()
{
   umask(mPrevious);
}

bool ApplyLocalSocketAccess(const std::string &path, const LocalSocketAccess &access,
                            std::string &error)
{
   if (access.group.empty()) {
      if (chmod(path.c_str(), 0600) != 0) {
         error = std::string("cannot set mode 0600: ") + std::strerror(errno);
         return false;
      }
      return true;
   }
   group entry{};
   group *found = nullptr;
   std::vector<char> buf(16384);
   int rc = getgrnam_r(access.group.c_str(), &entry, buf.data(), buf.size(), &found);
   if (rc != 0 || found == nullptr) {
      error = "no group named " + access.group + " (api/localSocketGroup)";
      return false;
   }
   // The group first: widening the mode before would open the socket to the
   // group the file happened to get.
   if (chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0) {
      error = "cannot give the socket to group " + access.group + ": " + std::strerror(errno);
      return false;
   }
   if (chmod(path.c_str(), 0660) != 0) {
      error = std::string("cannot set mode 0660: ") + std::strerror(errno);
      return false;
   }
   return true;
}

} // namespace Zarna
