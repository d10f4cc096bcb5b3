// A configuration store held in memory, with failure injection, for tests of the
// store's users (install it with ConfigStore::SetBackend).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/configstore/config_store.h"
#include "runtime/hostlib/mutex.h"

namespace BrimConfigStore {

class MemoryBackend : public ConfigStoreBackend {
public:
   enum class Operation { Load, Add, Delete, SetBootStatus, GetBootStatus };

   // The next `count` calls of the operation throw `error` and change nothing;
   // a negative count fails every call until ClearFailures.
   void FailNext(Operation operation, const ConfigStoreException &error, int count = 1);
   void ClearFailures();
   int CallCount(Operation operation) const;

   std::vector<std::shared_ptr<ConfigStoreObject>> Load(const std::string &ns,
                                                        const ConfigStoreObjectId &id) override;
   void Add(const std::string &ns, const ConfigStoreObject &object) override;
   void Delete(const std::string &ns, const ConfigStoreObjectId &id) override;
   void SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status) override;
   bool GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id) override;

private:
   using ObjectKey = std::tuple<std::string, std::string, std::string, std::string>;
   struct Failure {
      ConfigStoreException error;
      int remaining;
   };

   static ObjectKey KeyOf(const std::string &ns, const ConfigStoreObjectId &id);
   void CountAndMaybeFail(Operation operation) ZARNA_REQUIRES(mLock);

   mutable Hostlib::Mutex mLock;
   // Instances per object in insertion order.
   std::map<ObjectKey, std::vector<std::shared_ptr<ConfigStoreObject>>> mObjects ZARNA_GUARDED_BY(mLock);
   std::map<ObjectKey, bool> mBootStatus ZARNA_GUARDED_BY(mLock);
   std::map<Operation, Failure> mFailures ZARNA_GUARDED_BY(mLock);
   std::map<Operation, int> mCalls ZARNA_GUARDED_BY(mLock);
};

} // namespace BrimConfigStore
