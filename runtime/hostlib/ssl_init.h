// Readies the host TLS library (OpenSSL 3).
#pragma once

// The three arguments name an alternative library loader, library and library
// directory; this host links OpenSSL directly, so they must be null.
// Idempotent and thread-safe. False (and a level-110 line) when OpenSSL cannot
// be initialised or an argument is not null.
bool SSL_Init(const void *getLibFn, const char *defaultLib, const char *libDir);
