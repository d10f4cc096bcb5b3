#include "runtime/keylocator/key_locator.h"

#include <cstring>
#include <mutex>

#include "runtime/keylocator/keycache_backend.h"
#include "runtime/keylocator/locator_text.h"

struct KeyLocator {
   KeyLoc::ParsedLocator parsed;
   KeyLocatorIndirect indirect{nullptr, nullptr};
};

namespace KeyLoc {

namespace {

std::mutex gBackendLock;
std::shared_ptr<KeyCacheBackend> gBackend; // guarded by gBackendLock

} // namespace

void SetKeyCacheBackend(std::shared_ptr<KeyCacheBackend> backend)
{
   std::lock_guard<std::mutex> lock(gBackendLock);
   gBackend = std::move(backend);
}

std::shared_ptr<KeyCacheBackend> GetKeyCacheBackend()
{
   std::lock_guard<std::mutex> lock(gBackendLock);
   return gBackend;
}

size_t CipherKeyLength(std::string_view cipher)
{
   if (cipher == "AES-128") {
      return 16;
   }
   if (cipher == "AES-192") {
      return 24;
   }
   if (cipher == "AES-256") {
      return 32;
   }
   return 0;
}

} // namespace KeyLoc

namespace {

// The texts a cache call takes must be valid by the locator rules, so a key
// placed by one call can be found by the next.
bool ValidName(const char *provider, const char *keyId)
{
   if (provider == nullptr || keyId == nullptr) {
      return false;
   }
   const size_t providerLength = strnlen(provider, kKeyLocatorMaxProvider + 1);
   const size_t keyIdLength = strnlen(keyId, kKeyLocatorMaxKeyId + 1);
   return KeyLoc::ValidProvider(std::string_view(provider, providerLength)) &&
          KeyLoc::ValidKeyId(std::string_view(keyId, keyIdLength));
}

} // namespace

KeyLocError KeyLocator_Import(const char *text, KeyLocator **locator)
{
   if (locator == nullptr) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   *locator = nullptr;
   if (text == nullptr) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   // Never reads past one byte beyond the limit.
   const size_t length = strnlen(text, kKeyLocatorMaxText + 1);
   auto *made = new KeyLocator;
   const KeyLocError err = KeyLoc::ParseLocator(std::string_view(text, length), made->parsed);
   if (err != KEYLOC_SUCCESS) {
      delete made;
      return err;
   }
   if (made->parsed.indirect) {
      made->indirect.provider = made->parsed.provider.c_str();
      made->indirect.keyId = made->parsed.keyId.c_str();
   }
   *locator = made;
   return KEYLOC_SUCCESS;
}

const KeyLocatorIndirect *KeyLocator_GetIndirect(const KeyLocator *locator)
{
   if (locator == nullptr || !locator->parsed.indirect) {
      return nullptr;
   }
   return &locator->indirect;
}

const char *KeyLocator_GetDirectName(const KeyLocator *locator)
{
   if (locator == nullptr || locator->parsed.indirect) {
      return nullptr;
   }
   return locator->parsed.keyName.c_str();
}

void KeyLocator_Destroy(KeyLocator *locator)
{
   delete locator;
}

KeyLocError KeyLocator_ExportIndirect(const char *provider, const char *keyId, std::string *text)
{
   if (provider == nullptr || keyId == nullptr || text == nullptr) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   return KeyLoc::FormatIndirect(provider, keyId, *text);
}

KeyLocError KeyLocator_ExportDirect(const char *keyName, std::string *text)
{
   if (keyName == nullptr || text == nullptr) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   return KeyLoc::FormatDirect(keyName, *text);
}

KeyLocError KeyLocator_AddKeyToKernelCache2(const char *provider, const char *keyId, uint32_t flags,
                                            const char *cipher, const uint8_t *key,
                                            size_t keyLength)
{
   if (!ValidName(provider, keyId) || cipher == nullptr || key == nullptr) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   const size_t wanted = KeyLoc::CipherKeyLength(cipher);
   if (wanted == 0 || wanted != keyLength) {
      return KEYLOC_ERR_UNSUPPORTED_CIPHER;
   }
   auto backend = KeyLoc::GetKeyCacheBackend();
   if (!backend) {
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   }
   return backend->Add(provider, keyId, flags, cipher, key, keyLength);
}

KeyLocError KeyLocator_SetKeyTypeInKernelCache(const char *provider, const char *keyId,
                                               uint32_t keyType)
{
   if (!ValidName(provider, keyId)) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   auto backend = KeyLoc::GetKeyCacheBackend();
   if (!backend) {
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   }
   return backend->SetType(provider, keyId, keyType);
}

KeyLocError KeyLocator_RemoveKeyFromKernelCache(const char *provider, const char *keyId)
{
   if (!ValidName(provider, keyId)) {
      return KEYLOC_ERR_INVALID_ARGUMENT;
   }
   auto backend = KeyLoc::GetKeyCacheBackend();
   if (!backend) {
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   }
   return backend->Remove(provider, keyId);
}

const char *KeyLocError_ToString(KeyLocError error)
{
   switch (error) {
   case KEYLOC_SUCCESS:
      return "success";
   case KEYLOC_ERR_INVALID_ARGUMENT:
      return "invalid argument";
   case KEYLOC_ERR_MALFORMED:
      return "malformed key locator";
   case KEYLOC_ERR_UNSUPPORTED_VERSION:
      return "unsupported key locator version";
   case KEYLOC_ERR_ALREADY_PRESENT:
      return "already present";
   case KEYLOC_ERR_NOT_FOUND:
      return "key not found";
   case KEYLOC_ERR_TOO_LONG:
      return "key locator too long";
   case KEYLOC_ERR_BAD_ESCAPE:
      return "bad percent escape in key locator";
   case KEYLOC_ERR_CACHE_UNAVAILABLE:
      return "key cache unavailable";
   case KEYLOC_ERR_CACHE_REFUSED:
      return "key cache refused the operation";
   case KEYLOC_ERR_KEY_DECODE:
      return "key material cannot be decoded";
   case KEYLOC_ERR_UNSUPPORTED_CIPHER:
      return "unsupported cipher or key length";
   case KEYLOC_ERR_PERMISSION:
      return "permission denied by the key cache";
   default:
      return "unknown key locator error";
   }
}
