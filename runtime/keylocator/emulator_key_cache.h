// The kernel key cache held by the kernel emulator (hyperkern-emu), reached
// over its control socket, so that tests and the demo can inspect it.
#pragma once

#include <memory>
#include <mutex>

#include "runtime/hyperkern/emulator_client.h"
#include "runtime/keylocator/keycache_backend.h"

namespace KeyLoc {

class EmulatorKeyCache : public KeyCacheBackend {
public:
   explicit EmulatorKeyCache(std::string socketPath) : mSocketPath(std::move(socketPath)) {}

   KeyLocError Add(const std::string &provider, const std::string &keyId, uint32_t flags,
                   const std::string &cipher, const uint8_t *key, size_t keyLength) override;
   KeyLocError SetType(const std::string &provider, const std::string &keyId,
                       uint32_t keyType) override;
   KeyLocError Remove(const std::string &provider, const std::string &keyId) override;

private:
   // Runs one call on the shared connection, connecting first when there is
   // none; a broken connection is dropped so that the next call reconnects.
   template <typename Request>
   KeyLocError Run(HYK_ReturnStatus (Hyperkern::EmulatorClient::*call)(const Request &,
                                                                       std::string *),
                   const Request &request);
   std::shared_ptr<Hyperkern::EmulatorClient> Client();
   void Forget(const std::shared_ptr<Hyperkern::EmulatorClient> &client);

   const std::string mSocketPath;
   std::mutex mLock;
   std::shared_ptr<Hyperkern::EmulatorClient> mClient; // guarded by mLock
};

} // namespace KeyLoc
