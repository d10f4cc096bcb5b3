#include "runtime/hostlib/ssl_init.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include "runtime/hostlib/log.h"

bool SSL_Init(const void *getLibFn, const char *defaultLib, const char *libDir)
{
   if (getLibFn != nullptr || defaultLib != nullptr || libDir != nullptr) {
      Log_Level(110, "SSL_Init: loading an alternative TLS library is not supported\n");
      return false;
   }
   if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                        nullptr) != 1) {
      Log_Level(110, "SSL_Init: OpenSSL initialisation failed\n");
      return false;
   }
   return true;
}
