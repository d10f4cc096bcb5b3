#include "runtime/configstore/config_store.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/hostlib/mutex.h"
#include "runtime/configstore/sqlite_backend.h"

namespace BrimConfigStore {

namespace {

struct Registry {
   Hostlib::Mutex lock;
   std::string path ZARNA_GUARDED_BY(lock) = kDefaultDatabasePath;
   // Installed by tests or opened from `path`.
   std::shared_ptr<ConfigStoreBackend> backend ZARNA_GUARDED_BY(lock);
   bool backendInstalled ZARNA_GUARDED_BY(lock) = false;
};

Registry &GetRegistry()
{
   static Registry *registry = new Registry; // outlives static destructors of callers
   return *registry;
}

bool IsPlainName(const std::string &text)
{
   return !text.empty() && text.find('/') == std::string::npos &&
          text.find('\0') == std::string::npos;
}

} // namespace

void CheckObjectId(const ConfigStoreObjectId &id)
{
   if (!IsPlainName(id.GetKey()) || !IsPlainName(id.GetGroup()) ||
       !IsPlainName(id.GetComponent()) || id.instanceId.find('\0') != std::string::npos) {
      std::string shown = id.ToString();
      throw ConfigStoreException(CS_ERR_INVALID_OBJECT_ID, "'" + shown.substr(0, shown.find('\0')) + "'");
   }
}

std::shared_ptr<ConfigStore> ConfigStore::GetStore(const std::string &ns)
{
   if (!IsPlainName(ns)) {
      throw ConfigStoreException(CS_ERR_INVALID_NAMESPACE, "'" + ns.substr(0, ns.find('\0')) + "'");
   }
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   if (!registry.backend) {
      registry.backend = SqliteBackend::Open(registry.path);
   }
   return std::make_shared<ConfigStore>(registry.backend, ns);
}

void ConfigStore::SetDatabasePath(const std::string &path)
{
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   registry.path = path;
   if (!registry.backendInstalled) {
      registry.backend.reset();
   }
}

std::string ConfigStore::GetDatabasePath()
{
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   return registry.path;
}

void ConfigStore::SetBackend(std::shared_ptr<ConfigStoreBackend> backend)
{
   Registry &registry = GetRegistry();
   Hostlib::MutexLock guard(registry.lock);
   registry.backendInstalled = backend != nullptr;
   registry.backend = std::move(backend);
}

ConfigStore::ConfigStore(std::shared_ptr<ConfigStoreBackend> backend, std::string ns)
   : mBackend(std::move(backend)), mNamespace(std::move(ns))
{
}

std::vector<std::shared_ptr<ConfigStoreObject>> ConfigStore::GetAllInstances(const FilterSpecObject &filter)
{
   CheckObjectId(filter.GetObjectId());
   std::vector<std::shared_ptr<ConfigStoreObject>> selected;
   for (auto &instance : mBackend->Load(mNamespace, filter.GetObjectId())) {
      if (filter.Matches(*instance)) {
         selected.push_back(std::move(instance));
      }
   }
   return selected;
}

void ConfigStore::AddObject(const ConfigStoreObject &object)
{
   CheckObjectId(object.GetObjectId());
   mBackend->Add(mNamespace, object);
}

void ConfigStore::DeleteObject(const ConfigStoreObjectId &id)
{
   CheckObjectId(id);
   mBackend->Delete(mNamespace, id);
}

void ConfigStore::SetBootStatus(const ConfigStoreObjectId &id, bool status)
{
   CheckObjectId(id);
   mBackend->SetBootStatus(mNamespace, id, status);
}

bool ConfigStore::GetBootStatus(const ConfigStoreObjectId &id)
{
   CheckObjectId(id);
   return mBackend->GetBootStatus(mNamespace, id);
}

void SetBootStatus(const ConfigStoreObjectId &id, bool status)
{
   ConfigStore::GetStore(kGlobalNamespace)->SetBootStatus(id, status);
}

std::string GenerateInstanceId()
{
   unsigned char bytes[16];
   size_t filled = 0;
   while (filled < sizeof bytes) {
      ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
      if (got < 0) {
         if (errno == EINTR) {
            continue;
         }
         throw ConfigStoreException(CS_ERR_INSTANCE_ID, "", std::strerror(errno));
      }
      filled += static_cast<size_t>(got);
   }
   bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
   bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
   char text[37];
   std::snprintf(text, sizeof text,
                 "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                 bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                 bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
   return text;
}

} // namespace BrimConfigStore
