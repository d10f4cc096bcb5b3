// One agent per store: an exclusive lock on a file beside the configuration
// store, held for the life of the process. Taken before the socket, the store or
// the firewall is touched, so a second agent changes nothing that the first owns.
#pragma once

#include <string>

namespace Zarna {

class InstanceLock {
public:
   // The lock file that belongs to a store file.
   static std::string PathFor(const std::string &storePath) { return storePath + ".lock"; }

   InstanceLock() = default;
   ~InstanceLock();
   InstanceLock(const InstanceLock &) = delete;
   InstanceLock &operator=(const InstanceLock &) = delete;

   // True when this process now holds the lock. False with `error` set when
   // another process holds it (`heldElsewhere` then true) or the file cannot be
   // opened. The descriptor is not inherited by children.
   bool Acquire(const std::string &path, bool &heldElsewhere, std::string &error);

private:
   int mFd = -1;
};

} // namespace Zarna
