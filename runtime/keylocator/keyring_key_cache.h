// The kernel key cache on the Linux kernel keyring (libkeyutils).
//
// Keys are "logon" keys (user space can never read them back) in one named
// keyring, "zarna-keycache", linked into a parent keyring: the user keyring of
// the agent's user by default, where consumers such as dm-crypt find it. A key
// is described as "zarna:<provider>:<SHA-256 of the key id, hex>"; its key type
// lives beside it in a "user" key "zarna-type:<provider>:<digest>". Removal
// revokes and unlinks both. Only the owning user may view, search, link, change
// or remove them; group and others get nothing.
#pragma once

#include <keyutils.h>

#include <mutex>
#include <optional>

#include "runtime/keylocator/keycache_backend.h"

namespace KeyLoc {

inline constexpr const char *kKeyringName = "zarna-keycache";

class KeyringKeyCache : public KeyCacheBackend {
public:
   explicit KeyringKeyCache(key_serial_t parent = KEY_SPEC_USER_KEYRING) : mParent(parent) {}

   KeyLocError Add(const std::string &provider, const std::string &keyId, uint32_t flags,
                   const std::string &cipher, const uint8_t *key, size_t keyLength) override;
   KeyLocError SetType(const std::string &provider, const std::string &keyId,
                       uint32_t keyType) override;
   KeyLocError Remove(const std::string &provider, const std::string &keyId) override;

   struct KeyInfo {
      key_serial_t serial = 0;
      std::string description; // as the kernel describes it: type;uid;gid;perm;desc
      uint32_t keyType = 0;
   };
   // What the keyring holds for a key (never its bytes); null when absent.
   std::optional<KeyInfo> Lookup(const std::string &provider, const std::string &keyId);
   // The dedicated keyring, found or made; 0 with *error set when the kernel refuses.
   key_serial_t Keyring(KeyLocError *error);

   static std::string KeyDescription(const std::string &provider, const std::string &keyId);
   static std::string TypeDescription(const std::string &provider, const std::string &keyId);

private:
   key_serial_t FindOrMakeRing(KeyLocError *error);
   // The agent's keyring and the logon key of (provider, key id) in it.
   KeyLocError FindCachedKey(const std::string &provider, const std::string &keyId,
                             key_serial_t &ring, key_serial_t &key);
   // Serial of a key in the ring, 0 when absent, -1 with *error on failure.
   key_serial_t Find(key_serial_t ring, const char *type, const std::string &description,
                     KeyLocError *error);
   static void Drop(key_serial_t key, key_serial_t ring);
   // Adds a key to `ring` and sets its permissions; 0 and *error when either
   // fails (a key whose permissions could not be set is dropped again).
   static key_serial_t AddWithPerm(const char *type, const std::string &description,
                                   const void *data, size_t length, key_perm_t perm,
                                   key_serial_t ring, KeyLocError *error);

   const key_serial_t mParent;
   std::mutex mLock; // orders search-then-add across the agent's threads
};

} // namespace KeyLoc
