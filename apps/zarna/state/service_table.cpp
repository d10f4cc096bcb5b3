#include "apps/zarna/state/service_table.h"

#include <vector>

#include "apps/trusted-host-services/common/sslUtils.h"
#include "apps/zarna/state/config_store_keys.h"
#include "apps/zarna/state/pem_markers.h"
#include "runtime/hostlib/log.h"

namespace Zarna {

namespace Keys = Com::Talvor::Brim::TrustedInfrastructure;
using BrimConfigStore::ConfigStoreException;
using BrimConfigStore::ConfigStoreObject;
using BrimConfigStore::ConfigStoreObjectId;
using BrimConfigStore::SubObjectId;

namespace {

constexpr int64_t kMaxStoredPort = 65535;

} // namespace

ServiceTable::ServiceTable(std::string name, StoreProvider storeProvider)
    : mName(std::move(name)), mStoreProvider(std::move(storeProvider))
{
   if (!mStoreProvider) {
      mStoreProvider = &ServiceTable::DefaultStore;
   }
}

std::shared_ptr<BrimConfigStore::ConfigStore> ServiceTable::DefaultStore()
{
   return BrimConfigStore::ConfigStore::GetStore(BrimConfigStore::kGlobalNamespace);
}

ConfigStoreObjectId ServiceTable::ObjectId(const std::string &instanceId) const
{
   return ConfigStoreObjectId(mName, Keys::kGroup, Keys::kComponent, instanceId);
}

std::shared_ptr<const ServiceInfo> ServiceTable::Find(const std::string &instanceId) const
{
   auto it = mEntries.find(instanceId);
   return it == mEntries.end() ? nullptr : it->second;
}

void ServiceTable::Populate()
{
   ConfigStoreObjectId id = ObjectId();
   auto store = mStoreProvider();
   store->SetBootStatus(id, true);

   Log("Populate(%s)", mName.c_str());
   auto instances = store->GetAllInstances(BrimConfigStore::FilterSpecObject(id));
   Log("Found %zd instances from Config Store", instances.size());

   for (const auto &instance : instances) {
      auto address = std::make_shared<NetworkAddress>();
      auto addressObject = instance->GetSubObject(SubObjectId(Keys::kAddress));
      addressObject->GetValue(Keys::kHostName, address->hostname);
      int64_t port = 0;
      const std::string &loadedId = instance->GetObjectId().instanceId;
      if (addressObject->GetValue(Keys::kPort, port)) {
         // Only the API writes ports, and it refuses these; a store edited by
         // other hands must not have them cast into some other port.
         if (port < 0 || port > kMaxStoredPort) {
            Log_Level(110, "Not loading server ID %s from %s: port %lld is outside 0-65535\n",
                      loadedId.c_str(), mName.c_str(), static_cast<long long>(port));
            continue;
         }
         address->port = port;
      }

      auto chain = std::make_shared<X509CertChain>();
      instance->GetSubObject(SubObjectId(Keys::kTrustedCA))
          ->GetValue(Keys::kCertChain, chain->certs);

      auto info = std::make_shared<ServiceInfo>();
      info->address = std::move(address);
      info->certChain = std::move(chain);
      instance->GetValue(Keys::kGroupId, info->group);

      const std::string &instanceId = instance->GetObjectId().instanceId;
      Log("Loaded server ID %s", instanceId.c_str());
      mEntries[instanceId] = std::move(info);
   }
   Summarize();
}

ServiceResult ServiceTable::Insert(const std::shared_ptr<const NetworkAddress> &address,
                                   const std::shared_ptr<const X509CertChain> &certChain,
                                   const std::string &group, std::string &instanceId)
{
   ServiceResult result = CheckConflicts(*address, group);
   if (result == ServiceResult::Ok) {
      result = ValidateCertificates(address->hostname, *certChain);
   }
   if (result == ServiceResult::Ok) {
      result = Store(address, certChain, group, instanceId);
   }
   return result;
}

ServiceResult ServiceTable::CheckConflicts(const NetworkAddress &address,
                                           const std::string &group) const
{
   for (const auto &[id, entry] : mEntries) {
      if (SameEndpoint(*entry->address, address)) {
         return ServiceResult::AlreadyExists;
      }
   }
   for (const auto &[id, entry] : mEntries) {
      if (entry->group == group) {
         return ServiceResult::GroupAlreadyServed;
      }
   }
   return ServiceResult::Ok;
}

ServiceResult ServiceTable::ValidateCertificates(const std::string &hostname,
                                                 const X509CertChain &chain)
{
   std::vector<std::string> standardized = chain.certs;
   for (std::string &cert : standardized) {
      if (!Ths::Common::SslUtils::StandardizeCertificate(kPemCertBegin, kPemCertEnd, cert)) {
         Log_Level(110, "Could not standardize the certificate for %s\n", hostname.c_str());
         return ServiceResult::InvalidCertificates;
      }
   }
   if (!Ths::Common::SslUtils::ValidateCertChain(standardized)) {
      Log_Level(110, "Failed to validate certificate chain for %s\n", hostname.c_str());
      return ServiceResult::InvalidCertificates;
   }
   return ServiceResult::Ok;
}

ServiceResult ServiceTable::Store(const std::shared_ptr<const NetworkAddress> &address,
                                  const std::shared_ptr<const X509CertChain> &certChain,
                                  const std::string &group, std::string &instanceId)
{
   std::string newId;
   try {
      newId = BrimConfigStore::GenerateInstanceId();

      ConfigStoreObject object(ObjectId(newId));
      auto addressObject = object.CreateSubObject(SubObjectId(Keys::kAddress));
      addressObject->SetValue(Keys::kHostName, address->hostname);
      if (address->port) {
         addressObject->SetValue(Keys::kPort, *address->port);
      }
      auto trustedCa = object.CreateSubObject(SubObjectId(Keys::kTrustedCA));
      // The texts as given: what the administrator supplied is what is kept.
      trustedCa->SetValue(Keys::kCertChain, certChain->certs);
      object.SetValue(Keys::kGroupId, group);

      Log("Insert(%s)", newId.c_str());
      mStoreProvider()->AddObject(object);
   } catch (const ConfigStoreException &e) {
      Log_Level(110, "ConfigStore Exception during Insert(%s): %s\n", newId.c_str(), e.what());
      return ServiceResult::ConfigStoreFailure;
   }

   auto info = std::make_shared<ServiceInfo>();
   // Own copies, so that nothing the caller keeps can change a stored record.
   info->address = std::make_shared<const NetworkAddress>(*address);
   info->certChain = std::make_shared<const X509CertChain>(*certChain);
   info->group = group;
   mEntries[newId] = std::move(info);
   Summarize();
   instanceId = newId;
   return ServiceResult::Ok;
}

void ServiceTable::Delete(const std::string &instanceId)
{
   ConfigStoreObjectId id = ObjectId(instanceId);
   Log("Delete(%s)", instanceId.c_str());
   try {
      mStoreProvider()->DeleteObject(id);
   } catch (const ConfigStoreException &e) {
      if (e.GetCode() != BrimConfigStore::CS_ERR_OBJECT_NOT_FOUND) {
         throw;
      }
      Log_Level(115, "Service %s was already gone from the configuration store\n",
                instanceId.c_str());
   }
   mEntries.erase(instanceId);
   Summarize();
}

void ServiceTable::Summarize()
{
   mSummaries.clear();
   mSummaries.reserve(mEntries.size());
   for (const auto &[id, info] : mEntries) {
      mSummaries.push_back(std::make_shared<const ServiceSummary>(ServiceSummary{id, info->address, info->group}));
   }
}

} // namespace Zarna
