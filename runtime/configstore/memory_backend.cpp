#include "runtime/configstore/memory_backend.h"

#include <algorithm>

namespace BrimConfigStore {

MemoryBackend::ObjectKey MemoryBackend::KeyOf(const std::string &ns, const ConfigStoreObjectId &id)
{
   return {ns, id.GetKey(), id.GetGroup(), id.GetComponent()};
}

void MemoryBackend::FailNext(Operation operation, const ConfigStoreException &error, int count)
{
   Hostlib::MutexLock guard(mLock);
   mFailures.insert_or_assign(operation, Failure{error, count});
}

void MemoryBackend::ClearFailures()
{
   Hostlib::MutexLock guard(mLock);
   mFailures.clear();
}

int MemoryBackend::CallCount(Operation operation) const
{
   Hostlib::MutexLock guard(mLock);
   auto it = mCalls.find(operation);
   return it == mCalls.end() ? 0 : it->second;
}

void MemoryBackend::CountAndMaybeFail(Operation operation)
{
   mCalls[operation]++;
   auto it = mFailures.find(operation);
   if (it == mFailures.end() || it->second.remaining == 0) {
      return;
   }
   ConfigStoreException error = it->second.error;
   if (it->second.remaining > 0 && --it->second.remaining == 0) {
      mFailures.erase(it);
   }
   throw error;
}

std::vector<std::shared_ptr<ConfigStoreObject>> MemoryBackend::Load(const std::string &ns,
                                                                    const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   CountAndMaybeFail(Operation::Load);
   std::vector<std::shared_ptr<ConfigStoreObject>> result;
   auto it = mObjects.find(KeyOf(ns, id));
   if (it == mObjects.end()) {
      return result;
   }
   for (const auto &instance : it->second) {
      if (id.IsSingleton() || instance->GetObjectId().instanceId == id.instanceId) {
         result.push_back(instance->Clone());
      }
   }
   return result;
}

void MemoryBackend::Add(const std::string &ns, const ConfigStoreObject &object)
{
   Hostlib::MutexLock guard(mLock);
   CountAndMaybeFail(Operation::Add);
   auto &instances = mObjects[KeyOf(ns, object.GetObjectId())];
   const std::string &instanceId = object.GetObjectId().instanceId;
   for (const auto &instance : instances) {
      if (instance->GetObjectId().instanceId == instanceId) {
         throw ConfigStoreException(CS_ERR_OBJECT_EXISTS, object.GetObjectId().ToString());
      }
   }
   instances.push_back(object.Clone());
}

void MemoryBackend::Delete(const std::string &ns, const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   CountAndMaybeFail(Operation::Delete);
   auto it = mObjects.find(KeyOf(ns, id));
   if (it != mObjects.end()) {
      auto &instances = it->second;
      auto found = std::find_if(instances.begin(), instances.end(), [&](const auto &instance) {
         return instance->GetObjectId().instanceId == id.instanceId;
      });
      if (found != instances.end()) {
         instances.erase(found);
         return;
      }
   }
   throw ConfigStoreException(CS_ERR_OBJECT_NOT_FOUND, id.ToString());
}

void MemoryBackend::SetBootStatus(const std::string &ns, const ConfigStoreObjectId &id, bool status)
{
   Hostlib::MutexLock guard(mLock);
   CountAndMaybeFail(Operation::SetBootStatus);
   mBootStatus[KeyOf(ns, id)] = status;
}

bool MemoryBackend::GetBootStatus(const std::string &ns, const ConfigStoreObjectId &id)
{
   Hostlib::MutexLock guard(mLock);
   CountAndMaybeFail(Operation::GetBootStatus);
   auto it = mBootStatus.find(KeyOf(ns, id));
   return it != mBootStatus.end() && it->second;
}

} // namespace BrimConfigStore
