#include "runtime/keylocator/keyring_key_cache.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace KeyLoc {

namespace {

// Logon keys: no read for anybody. The type record and the keyring may be read
// (listed) by their owner.
constexpr key_perm_t kKeyPerm = KEY_POS_VIEW | KEY_POS_WRITE | KEY_POS_SEARCH | KEY_POS_LINK |
                                KEY_POS_SETATTR | KEY_USR_VIEW | KEY_USR_WRITE | KEY_USR_SEARCH |
                                KEY_USR_LINK | KEY_USR_SETATTR;
constexpr key_perm_t kReadablePerm = kKeyPerm | KEY_POS_READ | KEY_USR_READ;

KeyLocError FromErrno(int error)
{
   switch (error) {
   case ENOKEY:
   case EKEYREVOKED:
   case EKEYEXPIRED:
      return KEYLOC_ERR_NOT_FOUND;
   case EACCES:
   case EPERM:
      return KEYLOC_ERR_PERMISSION;
   case ENOSYS:
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   default:
      return KEYLOC_ERR_CACHE_REFUSED;
   }
}

} // namespace

std::string KeyringKeyCache::KeyDescription(const std::string &provider, const std::string &keyId)
{
   return "zarna:" + provider + ":" + KeyIdDigestHex(keyId);
}

std::string KeyringKeyCache::TypeDescription(const std::string &provider, const std::string &keyId)
{
   return "zarna-type:" + provider + ":" + KeyIdDigestHex(keyId);
}

key_serial_t KeyringKeyCache::FindOrMakeRing(KeyLocError *error)
{
   long found = keyctl_search(mParent, "keyring", kKeyringName, 0);
   if (found > 0) {
      return static_cast<key_serial_t>(found);
   }
   if (errno != ENOKEY && errno != EKEYREVOKED && errno != EKEYEXPIRED) {
      *error = FromErrno(errno);
      return 0;
   }
   return AddWithPerm("keyring", kKeyringName, nullptr, 0, kReadablePerm, mParent, error);
}

key_serial_t KeyringKeyCache::Keyring(KeyLocError *error)
{
   std::lock_guard<std::mutex> lock(mLock);
   return FindOrMakeRing(error);
}

key_serial_t KeyringKeyCache::Find(key_serial_t ring, const char *type,
                                   const std::string &description, KeyLocError *error)
{
   long found = keyctl_search(ring, type, description.c_str(), 0);
   if (found > 0) {
      return static_cast<key_serial_t>(found);
   }
   if (errno == ENOKEY || errno == EKEYREVOKED || errno == EKEYEXPIRED) {
      return 0;
   }
   *error = FromErrno(errno);
   return -1;
}

void KeyringKeyCache::Drop(key_serial_t key, key_serial_t ring)
{
   // Revoked first, so that nobody who holds a reference can still use it.
   keyctl_revoke(key);
   keyctl_unlink(key, ring);
}

key_serial_t KeyringKeyCache::AddWithPerm(const char *type, const std::string &description,
                                          const void *data, size_t length, key_perm_t perm,
                                          key_serial_t ring, KeyLocError *error)
{
   const key_serial_t key = add_key(type, description.c_str(), data, length, ring);
   if (key < 0) {
      *error = FromErrno(errno);
      return 0;
   }
   if (keyctl_setperm(key, perm) != 0) {
      *error = FromErrno(errno);
      Drop(key, ring);
      return 0;
   }
   return key;
}

KeyLocError KeyringKeyCache::Add(const std::string &provider, const std::string &keyId,
                                 uint32_t /*flags*/, const std::string & /*cipher*/,
                                 const uint8_t *key, size_t keyLength)
{
   std::lock_guard<std::mutex> lock(mLock);
   KeyLocError error = KEYLOC_SUCCESS;
   const key_serial_t ring = FindOrMakeRing(&error);
   if (ring == 0) {
      return error;
   }
   const std::string description = KeyDescription(provider, keyId);
   const key_serial_t existing = Find(ring, "logon", description, &error);
   if (existing < 0) {
      return error;
   }
   if (existing > 0) {
      return KEYLOC_ERR_ALREADY_PRESENT;
   }
   // A type record left from an earlier key must not carry over to this one.
   const key_serial_t staleType = Find(ring, "user", TypeDescription(provider, keyId), &error);
   if (staleType > 0) {
      Drop(staleType, ring);
   }
   return AddWithPerm("logon", description, key, keyLength, kKeyPerm, ring, &error) != 0
              ? KEYLOC_SUCCESS
              : error;
}

KeyLocError KeyringKeyCache::FindCachedKey(const std::string &provider, const std::string &keyId,
                                           key_serial_t &ring, key_serial_t &key)
{
   KeyLocError error = KEYLOC_SUCCESS;
   ring = FindOrMakeRing(&error);
   if (ring == 0) {
      return error;
   }
   key = Find(ring, "logon", KeyDescription(provider, keyId), &error);
   if (key <= 0) {
      return key == 0 ? KEYLOC_ERR_NOT_FOUND : error;
   }
   return KEYLOC_SUCCESS;
}

KeyLocError KeyringKeyCache::SetType(const std::string &provider, const std::string &keyId,
                                     uint32_t keyType)
{
   std::lock_guard<std::mutex> lock(mLock);
   key_serial_t ring = 0;
   key_serial_t key = 0;
   KeyLocError error = FindCachedKey(provider, keyId, ring, key);
   if (error != KEYLOC_SUCCESS) {
      return error;
   }
   const std::string value = std::to_string(keyType);
   return AddWithPerm("user", TypeDescription(provider, keyId), value.data(), value.size(),
                      kReadablePerm, ring, &error) != 0
              ? KEYLOC_SUCCESS
              : error;
}

KeyLocError KeyringKeyCache::Remove(const std::string &provider, const std::string &keyId)
{
   std::lock_guard<std::mutex> lock(mLock);
   key_serial_t ring = 0;
   key_serial_t key = 0;
   KeyLocError error = FindCachedKey(provider, keyId, ring, key);
   if (error != KEYLOC_SUCCESS) {
      return error;
   }
   if (keyctl_revoke(key) != 0) {
      return FromErrno(errno);
   }
   if (keyctl_unlink(key, ring) != 0) {
      return FromErrno(errno);
   }
   const key_serial_t record = Find(ring, "user", TypeDescription(provider, keyId), &error);
   if (record > 0) {
      Drop(record, ring);
   }
   return KEYLOC_SUCCESS;
}

std::optional<KeyringKeyCache::KeyInfo> KeyringKeyCache::Lookup(const std::string &provider,
                                                                const std::string &keyId)
{
   std::lock_guard<std::mutex> lock(mLock);
   KeyLocError error = KEYLOC_SUCCESS;
   const key_serial_t ring = FindOrMakeRing(&error);
   if (ring == 0) {
      return std::nullopt;
   }
   const key_serial_t key = Find(ring, "logon", KeyDescription(provider, keyId), &error);
   if (key <= 0) {
      return std::nullopt;
   }
   KeyInfo info;
   info.serial = key;
   char *described = nullptr;
   if (keyctl_describe_alloc(key, &described) >= 0 && described != nullptr) {
      info.description = described;
      free(described);
   }
   const key_serial_t record = Find(ring, "user", TypeDescription(provider, keyId), &error);
   if (record > 0) {
      void *value = nullptr;
      const long length = keyctl_read_alloc(record, &value);
      if (length > 0 && value != nullptr) {
         info.keyType = static_cast<uint32_t>(
             strtoul(std::string(static_cast<char *>(value), static_cast<size_t>(length)).c_str(),
                     nullptr, 10));
      }
      free(value);
   }
   return info;
}

} // namespace KeyLoc
