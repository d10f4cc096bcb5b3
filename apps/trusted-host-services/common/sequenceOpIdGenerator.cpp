#include "apps/trusted-host-services/common/sequenceOpIdGenerator.h"

#include <unistd.h>

#include <cstdlib>

#include "runtime/hostlib/uuid.h"

namespace Ths::Common::TirelRuvo {

namespace {

// A packed random UUID; without one, the process id still keeps prefixes of
// concurrently running processes apart.
std::string MakeIdentifier(const OpIdUuidSource &source)
{
   std::string identifier;
   char *uuid = source.createRandom();
   if (uuid != nullptr) {
      if (source.packText(uuid) != 0) {
         identifier = uuid;
      }
      free(uuid);
   }
   if (identifier.empty()) {
      identifier = std::to_string(getpid());
   }
   return identifier;
}

} // namespace

OpIdUuidSource DefaultOpIdUuidSource()
{
   return OpIdUuidSource{UUID_CreateRandom, UUID_PackText};
}

SequenceOpIdGenerator::SequenceOpIdGenerator(const std::string &name)
    : SequenceOpIdGenerator(name, DefaultOpIdUuidSource())
{
}

SequenceOpIdGenerator::SequenceOpIdGenerator(const std::string &name,
                                             const OpIdUuidSource &uuidSource)
    : mPrefix(name + "-" + MakeIdentifier(uuidSource))
{
}

std::string SequenceOpIdGenerator::Next()
{
   uint64_t value = mCounter.fetch_add(1, std::memory_order_relaxed);
   return mPrefix + "-" + std::to_string(value);
}

} // namespace Ths::Common::TirelRuvo
