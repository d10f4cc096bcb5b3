#include "apps/zarna/kernel/resolve_key_work.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include <openssl/crypto.h>

#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"
#include "apps/zarna/kernel/rpc_channel.h"
#include "apps/zarna/kms/zarn_client.h"
#include "runtime/hostlib/base64.h"
#include "runtime/hostlib/log.h"
#include "runtime/hostlib/util_alloc.h"
#include "runtime/keylocator/key_locator.h"
#include "runtime/tirel/logger.h"

namespace Zarna {

namespace {

std::mutex gResolverLock;
KeyResolver gResolver; // guarded by gResolverLock; empty: the key provider client

// Requests for the same key may run at once. The insert, type and removal of
// one request must not interleave with another's, or a request could answer 0
// for a key that the other is about to remove.
std::mutex gCacheLock;

bool Resolve(const std::string &provider, const std::string &keyId, Ruvo::SecretString &decrypted)
{
   KeyResolver resolver;
   {
      std::lock_guard<std::mutex> lock(gResolverLock);
      resolver = gResolver;
   }
   if (resolver) {
      return resolver(provider, keyId, decrypted);
   }
   ZarnClient client;
   return client.ResolveKey(provider, keyId, decrypted);
}

const char *CipherForLength(size_t length)
{
   switch (length) {
   case 16:
      return "AES-128";
   case 24:
      return "AES-192";
   case 32:
      return "AES-256";
   default:
      return nullptr;
   }
}

// The key bytes, wiped before they go back to the heap.
class KeyBuffer {
public:
   explicit KeyBuffer(size_t capacity)
       : mData(static_cast<uint8_t *>(UtilSafeMalloc0(capacity))), mCapacity(capacity)
   {
   }
   ~KeyBuffer()
   {
      OPENSSL_cleanse(mData, mCapacity);
      free(mData);
   }
   KeyBuffer(const KeyBuffer &) = delete;
   KeyBuffer &operator=(const KeyBuffer &) = delete;
   uint8_t *Data() { return mData; }
   size_t Capacity() const { return mCapacity; }

private:
   uint8_t *mData;
   size_t mCapacity;
};

// Places the key and marks it unmanaged. Returns the key-locator result; sets
// *typeFailed when the key could not be given its type, whatever the code.
KeyLocError PlaceKey(const char *provider, const char *keyId, const char *cipher,
                     const uint8_t *key, size_t length, bool *typeFailed)
{
   std::lock_guard<std::mutex> lock(gCacheLock);
   KeyLocError result = KeyLocator_AddKeyToKernelCache2(provider, keyId, 0, cipher, key, length);
   if (result != KEYLOC_SUCCESS) {
      Log_Level(110, "Failed to add key to key cache for provider %s, keyId %s: %s\n",
                LogSafeText(provider).c_str(), LogSafeText(keyId).c_str(),
                KeyLocError_ToString(result));
      if (result != KEYLOC_ERR_ALREADY_PRESENT) {
         return result;
      }
      // The entry is not ours to remove, but a success reply promises that the
      // key is in the cache with its type: make sure of the type.
      const KeyLocError typed =
          KeyLocator_SetKeyTypeInKernelCache(provider, keyId, kKeyTypeUnmanaged);
      if (typed != KEYLOC_SUCCESS) {
         Log_Level(110,
                   "Failed to add unmanaged keyType to key cache for provider %s, keyId %s: %s\n",
                   LogSafeText(provider).c_str(), LogSafeText(keyId).c_str(),
                   KeyLocError_ToString(typed));
         *typeFailed = true;
         return typed;
      }
      return result;
   }
   result = KeyLocator_SetKeyTypeInKernelCache(provider, keyId, kKeyTypeUnmanaged);
   if (result != KEYLOC_SUCCESS) {
      Log_Level(110, "Failed to add unmanaged keyType to key cache for provider %s, keyId %s: %s\n",
                LogSafeText(provider).c_str(), LogSafeText(keyId).c_str(),
                KeyLocError_ToString(result));
      // Whatever the type step answered, the key is removed again, so it must
      // not be reported as placed.
      *typeFailed = true;
      const KeyLocError removed = KeyLocator_RemoveKeyFromKernelCache(provider, keyId);
      if (removed != KEYLOC_SUCCESS) {
         Log_Level(110, "Failed to remove key from key cache for provider %s, keyId %s: %s\n",
                   LogSafeText(provider).c_str(), LogSafeText(keyId).c_str(),
                   KeyLocError_ToString(removed));
      }
   }
   return result;
}

// Steps 6 to 9: decode, choose the cipher, place the key.
HYK_ReturnStatus DecodeAndPlace(const std::string &provider, const std::string &keyId,
                                const Ruvo::SecretString &decrypted)
{
   KeyLocError result;
   bool typeFailed = false;
   {
      const std::string_view text = decrypted.Expose();
      KeyBuffer buffer(Base64_DecodedLength(text.data(), text.size()));
      size_t length = 0;
      const char *cipher = nullptr;
      if (!Base64_DecodeBuffer(text.data(), text.size(), buffer.Data(), buffer.Capacity(),
                               &length)) {
         Log_Level(110, "Failed to decode key for provider %s, keyId = %s\n",
                   LogSafeText(provider).c_str(), LogSafeText(keyId).c_str());
         result = KEYLOC_ERR_KEY_DECODE;
      } else if ((cipher = CipherForLength(length)) == nullptr) {
         Log_Level(110, "Failed to get the cipher name for key size %zu\n", length);
         result = KEYLOC_ERR_KEY_DECODE;
      } else {
         result =
             PlaceKey(provider.c_str(), keyId.c_str(), cipher, buffer.Data(), length, &typeFailed);
      }
   } // the key buffer is wiped and freed here
   if (!typeFailed && (result == KEYLOC_SUCCESS || result == KEYLOC_ERR_ALREADY_PRESENT)) {
      return Hyperkern::kStatusSuccess;
   }
   Log_Level(110, "Failed to add key to key cache: %s\n", KeyLocError_ToString(result));
   return kResolveFailureStatus;
}

} // namespace

void SetKeyResolver(KeyResolver resolver)
{
   std::lock_guard<std::mutex> lock(gResolverLock);
   gResolver = std::move(resolver);
}

HYK_ReturnStatus ResolveKeyIntoCache(std::string_view locatorText)
{
   const std::string safeText = LogSafeText(locatorText);
   Log_Level(130, "Request to resolve %s\n", safeText.c_str());

   // The text stops at the end of the buffer when the kernel sent no NUL.
   const std::string text(locatorText);
   KeyLocator *locator = nullptr;
   const KeyLocError imported = KeyLocator_Import(text.c_str(), &locator);
   if (imported != KEYLOC_SUCCESS) {
      Log_Level(110, "Import key locator on %s failed: %s\n", safeText.c_str(),
                KeyLocError_ToString(imported));
      return kResolveFailureStatus;
   }
   HYK_ReturnStatus status = kResolveFailureStatus;
   const KeyLocatorIndirect *indirect = KeyLocator_GetIndirect(locator);
   if (indirect == nullptr) {
      Log_Level(110, "key locator indirect is NULL\n");
   } else {
      const std::string provider = indirect->provider;
      const std::string keyId = indirect->keyId;
      Ruvo::SecretString decrypted; // wiped when it goes
      if (!Resolve(provider, keyId, decrypted)) {
         Log_Level(110, "Failed to resolve key\n");
      } else {
         status = DecodeAndPlace(provider, keyId, decrypted);
      }
   }
   KeyLocator_Destroy(locator);
   return status;
}

void RunResolveKeyWork(const ResolveKeyWork &work)
{
   static Ths::Common::TirelRuvo::SequenceOpIdGenerator generator("resolveKey");
   Tirel::Service::ScopedLogContext opId(Ths::Common::TirelRuvo::kOpIdKey, generator.Next());
   const HYK_ReturnStatus status = ResolveKeyIntoCache(work.LocatorText());
   RpcPostReply(work.MessageId(), work.replyInfo, status, kReplyTries);
}

} // namespace Zarna
