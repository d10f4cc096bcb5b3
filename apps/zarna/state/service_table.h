// One table of configured services (attestation or key provider) and its image in
// the configuration store: loaded once at start-up, then changed store first and
// memory second, so that a store failure leaves the two in agreement.
//
// Not locked itself: the trust state guards every table with its state lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apps/zarna/state/service_types.h"
#include "runtime/configstore/config_store.h"

namespace Zarna {

class ServiceTable {
public:
   using StoreProvider = std::function<std::shared_ptr<BrimConfigStore::ConfigStore>()>;
   using Entries = std::map<std::string, std::shared_ptr<const ServiceInfo>>;
   using Summaries = std::vector<std::shared_ptr<const ServiceSummary>>;

   // `name` is the store key of the table ("attestation_services", "kms_services").
   ServiceTable(std::string name, StoreProvider storeProvider);

   const std::string &GetName() const { return mName; }
   // Ordered by instance id, byte-wise.
   const Entries &GetEntries() const { return mEntries; }
   // One per entry, in the same order. The objects stay the same until the table
   // changes, so that a reader can tell a listing it has seen before.
   const Summaries &GetSummaries() const { return mSummaries; }
   std::shared_ptr<const ServiceInfo> Find(const std::string &instanceId) const;

   // Loads every stored instance; throws ConfigStoreException.
   void Populate();
   // Checks, validates, writes the store, then the table.
   ServiceResult Insert(const std::shared_ptr<const NetworkAddress> &address,
                        const std::shared_ptr<const X509CertChain> &certChain,
                        const std::string &group, std::string &instanceId);
   // The steps of Insert, for a caller that runs the table-independent check
   // before it takes its lock:
   // AlreadyExists, GroupAlreadyServed or Ok.
   ServiceResult CheckConflicts(const NetworkAddress &address, const std::string &group) const;
   // InvalidCertificates (after a log line) or Ok; touches no table.
   static ServiceResult ValidateCertificates(const std::string &hostname, const X509CertChain &chain);
   // Writes the store, then the table: ConfigStoreFailure or Ok with the new id.
   ServiceResult Store(const std::shared_ptr<const NetworkAddress> &address,
                       const std::shared_ptr<const X509CertChain> &certChain, const std::string &group,
                       std::string &instanceId);
   // Removes the stored instance, then the entry; throws ConfigStoreException
   // (the entry then stays). An instance already gone from the store is only
   // removed from the table: nothing would ever bring it back.
   void Delete(const std::string &instanceId);

   void Clear()
   {
      mEntries.clear();
      mSummaries.clear();
   }

   // The store when no other is given: the global namespace of the host store.
   static std::shared_ptr<BrimConfigStore::ConfigStore> DefaultStore();

private:
   BrimConfigStore::ConfigStoreObjectId ObjectId(const std::string &instanceId = {}) const;
   // Builds the summaries anew after a change of the entries.
   void Summarize();

   std::string mName;
   StoreProvider mStoreProvider;
   Entries mEntries;
   Summaries mSummaries;
};

} // namespace Zarna
