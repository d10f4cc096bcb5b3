// Who may connect to the local socket: the agent's own user, and the members of
// the group "api/localSocketGroup" names when it is set. The kernel enforces it
// through the socket file's owner, group and mode.
#pragma once

#include <sys/types.h>

#include <string>

namespace Zarna {

struct LocalSocketAccess {
   std::string group; // empty: owner only
};

// "api/localSocketGroup" of the running application (owner only without one).
LocalSocketAccess ConfiguredLocalSocketAccess();

// Files created while it lives are owner-only, whatever the umask, so the socket
// file never exists with a wider mode than the one Apply gives it.
class OwnerOnlyFileCreation {
public:
   OwnerOnlyFileCreation();
   ~OwnerOnlyFileCreation();
   OwnerOnlyFileCreation(const OwnerOnlyFileCreation &) = delete;
   OwnerOnlyFileCreation &operator=(const OwnerOnlyFileCreation &) = delete;

private:
   mode_t mPrevious;
};

// Mode 0600, or group `access.group` and mode 0660. False, with the reason, when
// the group does not exist or the file cannot be changed.
bool ApplyLocalSocketAccess(const std::string &path, const LocalSocketAccess &access,
                            std::string &error);

} // namespace Zarna
