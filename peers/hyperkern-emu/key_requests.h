// What the emulator's command line makes of a provider and a key id: the
// request message that names the key, and the cache entries that hold it.
#pragma once

#include <string>

#include "runtime/hyperkern/protocol.h"

namespace HyperkernEmu {

// The NUL-terminated key-locator text the kernel would send for the key;
// false with a reason when the texts cannot form a locator.
bool KeyRequestMessage(const std::string &provider, const std::string &keyId,
                       Hyperkern::Bytes &message, std::string *error);

// Keeps only the entries of that key (the cache knows key ids by digest).
void SelectKey(Hyperkern::Proto::ListKeysAnswer &answer, const std::string &provider,
               const std::string &keyId);
// The keys report of a selected key with its key id added: a "keyId" field in
// each JSON entry, or a first line "key id K:".
std::string NameKeyInReport(const std::string &report, bool json, const std::string &keyId);

} // namespace HyperkernEmu
