#include "runtime/keylocator/emulator_key_cache.h"

#include "runtime/hyperkern/status.h"

namespace KeyLoc {

namespace {

KeyLocError FromStatus(HYK_ReturnStatus status)
{
   switch (status) {
   case Hyperkern::kStatusSuccess:
      return KEYLOC_SUCCESS;
   case Hyperkern::kStatusAlreadyExists:
      return KEYLOC_ERR_ALREADY_PRESENT;
   case Hyperkern::kStatusNotFound:
      return KEYLOC_ERR_NOT_FOUND;
   case Hyperkern::kStatusInvalidArgument:
      return KEYLOC_ERR_INVALID_ARGUMENT;
   case Hyperkern::kStatusChannelClosed:
   case Hyperkern::kStatusProtocolError:
   case Hyperkern::kStatusTimedOut:
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   default:
      return KEYLOC_ERR_CACHE_REFUSED;
   }
}

bool ConnectionBroken(HYK_ReturnStatus status)
{
   return status == Hyperkern::kStatusChannelClosed || status == Hyperkern::kStatusProtocolError ||
          status == Hyperkern::kStatusTimedOut;
}

} // namespace

std::shared_ptr<Hyperkern::EmulatorClient> EmulatorKeyCache::Client()
{
   std::lock_guard<std::mutex> lock(mLock);
   if (!mClient) {
      std::string error;
      mClient = Hyperkern::EmulatorClient::Connect(mSocketPath, "zarna-keycache", &error);
   }
   return mClient;
}

void EmulatorKeyCache::Forget(const std::shared_ptr<Hyperkern::EmulatorClient> &client)
{
   std::lock_guard<std::mutex> lock(mLock);
   if (mClient == client) {
      mClient.reset();
   }
}

template <typename Request>
KeyLocError EmulatorKeyCache::Run(
    HYK_ReturnStatus (Hyperkern::EmulatorClient::*call)(const Request &, std::string *),
    const Request &request)
{
   auto client = Client();
   if (!client) {
      return KEYLOC_ERR_CACHE_UNAVAILABLE;
   }
   std::string error;
   const HYK_ReturnStatus status = ((*client).*call)(request, &error);
   if (ConnectionBroken(status)) {
      Forget(client);
   }
   return FromStatus(status);
}

KeyLocError EmulatorKeyCache::Add(const std::string &provider, const std::string &keyId,
                                  uint32_t flags, const std::string &cipher, const uint8_t *key,
                                  size_t keyLength)
{
   Hyperkern::Proto::KeyAddRequest request;
   request.provider = provider;
   request.digest = Hyperkern::DigestKeyId(keyId);
   request.cipher = cipher;
   request.flags = flags;
   request.key.assign(key, key + keyLength); // wiped when freed
   return Run(&Hyperkern::EmulatorClient::AddKey, request);
}

KeyLocError EmulatorKeyCache::SetType(const std::string &provider, const std::string &keyId,
                                      uint32_t keyType)
{
   Hyperkern::Proto::KeySetTypeRequest request;
   request.provider = provider;
   request.digest = Hyperkern::DigestKeyId(keyId);
   request.keyType = keyType;
   return Run(&Hyperkern::EmulatorClient::SetKeyType, request);
}

KeyLocError EmulatorKeyCache::Remove(const std::string &provider, const std::string &keyId)
{
   Hyperkern::Proto::KeyRemoveRequest request;
   request.provider = provider;
   request.digest = Hyperkern::DigestKeyId(keyId);
   return Run(&Hyperkern::EmulatorClient::RemoveKey, request);
}

} // namespace KeyLoc
