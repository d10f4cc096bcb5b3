#include "runtime/ruvo/provider/interface_container.h"

namespace Ruvo::Provider {

AsyncApiInterfaceConcurrentContainer::AsyncApiInterfaceConcurrentContainer()
{
   Hostlib::MutexLock guard(mWriteLock);
   mVersions.push_back(std::make_unique<const Table>());
   mCurrent.store(mVersions.back().get(), std::memory_order_release);
}

bool AsyncApiInterfaceConcurrentContainer::Insert(const Core::ApiInterfacePtr &binding,
                                                  std::vector<BaseMessage> &messages)
{
   if (!binding) {
      return false;
   }
   const std::string &id = binding->GetIdentifier();
   Hostlib::MutexLock guard(mWriteLock);
   const Table *current = mCurrent.load(std::memory_order_acquire);
   if (current->count(id) != 0) {
      messages.push_back(CoreMessage::Make(MessageIds::kInterfaceAlreadyRegistered, {id}));
      return false;
   }
   auto next = std::make_unique<Table>(*current);
   next->emplace(id, binding);
   mVersions.push_back(std::move(next));
   mCurrent.store(mVersions.back().get(), std::memory_order_release);
   return true;
}

Core::ApiInterfacePtr AsyncApiInterfaceConcurrentContainer::Find(const std::string &interfaceId) const
{
   const Table *table = mCurrent.load(std::memory_order_acquire);
   auto it = table->find(interfaceId);
   return it == table->end() ? nullptr : it->second;
}

size_t AsyncApiInterfaceConcurrentContainer::Size() const
{
   return mCurrent.load(std::memory_order_acquire)->size();
}

} // namespace Ruvo::Provider
