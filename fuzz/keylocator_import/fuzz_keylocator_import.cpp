// Key-locator import: any bytes either fail cleanly or yield texts that obey
// the locator rules and export back to a text that imports to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/keylocator/key_locator.h"

namespace {

void Check(bool condition)
{
   if (!condition) {
      abort();
   }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   // The kernel hands a text that ends at the first NUL or at the buffer's end.
   std::string text(reinterpret_cast<const char *>(data), size);
   KeyLocator *locator = nullptr;
   const KeyLocError error = KeyLocator_Import(text.c_str(), &locator);
   Check(KeyLocError_ToString(error) != nullptr);
   if (error != KEYLOC_SUCCESS) {
      Check(locator == nullptr);
      return 0;
   }
   Check(locator != nullptr);
   Check(strnlen(text.c_str(), kKeyLocatorMaxText + 1) <= kKeyLocatorMaxText);
   std::string again;
   const KeyLocatorIndirect *indirect = KeyLocator_GetIndirect(locator);
   if (indirect != nullptr) {
      Check(KeyLocator_GetDirectName(locator) == nullptr);
      Check(strlen(indirect->provider) <= kKeyLocatorMaxProvider);
      Check(strlen(indirect->keyId) <= kKeyLocatorMaxKeyId);
      Check(KeyLocator_ExportIndirect(indirect->provider, indirect->keyId, &again) ==
            KEYLOC_SUCCESS);
      KeyLocator *second = nullptr;
      Check(KeyLocator_Import(again.c_str(), &second) == KEYLOC_SUCCESS);
      const KeyLocatorIndirect *other = KeyLocator_GetIndirect(second);
      Check(other != nullptr && strcmp(other->provider, indirect->provider) == 0 &&
            strcmp(other->keyId, indirect->keyId) == 0);
      KeyLocator_Destroy(second);
   } else {
      const char *name = KeyLocator_GetDirectName(locator);
      Check(name != nullptr);
      Check(KeyLocator_ExportDirect(name, &again) == KEYLOC_SUCCESS);
   }
   // Export writes the one canonical form, never longer than the input.
   Check(again.size() <= strlen(text.c_str()));
   KeyLocator_Destroy(locator);
   return 0;
}
