// Operation identifiers: "<name>-<random id>-<counter>", one generator per kind of work.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace Ths::Common::TirelRuvo {

// Log context key under which the current operation identifier is bound.
inline constexpr char kOpIdKey[] = "opID";
// Application-context key under which a caller may pass its own operation identifier.
inline constexpr char kAppContextOpIdKey[] = "opId";

// Where the random part of the prefix comes from; replaceable in tests.
struct OpIdUuidSource {
   char *(*createRandom)(); // malloc'ed text or null
   int (*packText)(char *); // in place; non-zero on success
};
OpIdUuidSource DefaultOpIdUuidSource();

// Safe to share between threads: Next only advances an atomic counter.
class SequenceOpIdGenerator {
public:
   explicit SequenceOpIdGenerator(const std::string &name);
   SequenceOpIdGenerator(const std::string &name, const OpIdUuidSource &uuidSource);
   SequenceOpIdGenerator(const SequenceOpIdGenerator &) = delete;
   SequenceOpIdGenerator &operator=(const SequenceOpIdGenerator &) = delete;

   // "<prefix>-<n>", n counting from 0.
   std::string Next();
   const std::string &Prefix() const { return mPrefix; }

private:
   const std::string mPrefix;
   std::atomic<uint64_t> mCounter{0};
};

} // namespace Ths::Common::TirelRuvo
