// Interface bindings by identifier. Written rarely (at start-up), read on every
// call: a change copies the table, inserts and publishes the copy; readers load the
// current table without taking a lock.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/hostlib/mutex.h"
#include "runtime/ruvo/core/api_provider.h"

namespace Ruvo::Provider {

class AsyncApiInterfaceConcurrentContainer {
public:
   AsyncApiInterfaceConcurrentContainer();

   // False, with "ruvo.provider.interface.already.registered" added to `messages`,
   // when the identifier is taken.
   bool Insert(const Core::ApiInterfacePtr &binding, std::vector<BaseMessage> &messages);
   Core::ApiInterfacePtr Find(const std::string &interfaceId) const;
   size_t Size() const;

private:
   using Table = std::map<std::string, Core::ApiInterfacePtr>;

   std::atomic<const Table *> mCurrent;
   Hostlib::Mutex mWriteLock;
   // Every table ever published: a reader may still be looking at an older one, and
   // changes are few, so none is freed before the container.
   std::vector<std::unique_ptr<const Table>> mVersions ZARNA_GUARDED_BY(mWriteLock);
};

} // namespace Ruvo::Provider
