// The key-locator library: key-locator texts (docs/key-locator.md) and the
// kernel key cache. C-style calls with the names the agent uses; failures are
// KeyLocError codes, never exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef int KeyLocError;

inline constexpr KeyLocError KEYLOC_SUCCESS = 0;
inline constexpr KeyLocError KEYLOC_ERR_INVALID_ARGUMENT = 1;
inline constexpr KeyLocError KEYLOC_ERR_MALFORMED = 2;
inline constexpr KeyLocError KEYLOC_ERR_UNSUPPORTED_VERSION = 3;
// The cache already holds a key under this provider and key id.
inline constexpr KeyLocError KEYLOC_ERR_ALREADY_PRESENT = 4;
inline constexpr KeyLocError KEYLOC_ERR_NOT_FOUND = 5;
inline constexpr KeyLocError KEYLOC_ERR_TOO_LONG = 6;
inline constexpr KeyLocError KEYLOC_ERR_BAD_ESCAPE = 7;
inline constexpr KeyLocError KEYLOC_ERR_CACHE_UNAVAILABLE = 8;
inline constexpr KeyLocError KEYLOC_ERR_CACHE_REFUSED = 9;
// Set by callers whose key material cannot be decoded or has no cipher.
inline constexpr KeyLocError KEYLOC_ERR_KEY_DECODE = 10;
inline constexpr KeyLocError KEYLOC_ERR_UNSUPPORTED_CIPHER = 11;
inline constexpr KeyLocError KEYLOC_ERR_PERMISSION = 12;

// The longest locator text; with its NUL it fills the kernel's 8192-byte buffer.
inline constexpr size_t kKeyLocatorMaxText = 8191;
// Limits of the decoded texts of an indirect record.
inline constexpr size_t kKeyLocatorMaxProvider = 255;
inline constexpr size_t kKeyLocatorMaxKeyId = 4096;

// The key type of keys that the host does not manage itself.
inline constexpr uint32_t kKeyTypeUnmanaged = 2;

struct KeyLocator;

// What an indirect locator names: a key that a key provider must unwrap.
struct KeyLocatorIndirect {
   const char *provider; // NUL-terminated, owned by the locator
   const char *keyId;    // NUL-terminated, owned by the locator
};

// Parses a NUL-terminated locator text. On success *locator is set and must be
// released with KeyLocator_Destroy; on failure it is null.
KeyLocError KeyLocator_Import(const char *text, KeyLocator **locator);
// The indirect record, or null for a direct locator (or a null locator).
const KeyLocatorIndirect *KeyLocator_GetIndirect(const KeyLocator *locator);
void KeyLocator_Destroy(KeyLocator *locator);

// Writes the locator text of an indirect locator, or of a direct locator
// naming `keyName`. The texts are checked as on import.
KeyLocError KeyLocator_ExportIndirect(const char *provider, const char *keyId, std::string *text);
KeyLocError KeyLocator_ExportDirect(const char *keyName, std::string *text);
// The key name of a direct locator; null for an indirect one.
const char *KeyLocator_GetDirectName(const KeyLocator *locator);

// Kernel key cache, through the installed backend (keycache_backend.h).
// `cipher` is "AES-128", "AES-192" or "AES-256" with a key of 16, 24 or 32
// bytes. `flags` is passed to the backend and not interpreted.
KeyLocError KeyLocator_AddKeyToKernelCache2(const char *provider, const char *keyId, uint32_t flags,
                                            const char *cipher, const uint8_t *key,
                                            size_t keyLength);
KeyLocError KeyLocator_SetKeyTypeInKernelCache(const char *provider, const char *keyId,
                                               uint32_t keyType);
KeyLocError KeyLocator_RemoveKeyFromKernelCache(const char *provider, const char *keyId);

// A fixed text for every code; unknown codes give "unknown key locator error".
const char *KeyLocError_ToString(KeyLocError error);
