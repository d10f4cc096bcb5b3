// The JSON document of the request path: every value and string of it lives in
// one arena, so building and dropping a document costs a few allocations, not
// one per value. Include the tokenizer through this header only: its string
// scans are configured here, the same for every file.
#pragma once

#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/document.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace Ruvo::Protocol::Json {

using ArenaDocument = rapidjson::Document;
using ArenaValue = rapidjson::Value;

// An arena with its first block on the caller's stack; a document that
// outgrows it continues in blocks from the heap.
class ArenaStorage {
public:
   ArenaStorage() : mPool(mBuffer, sizeof mBuffer) {}
   ArenaStorage(const ArenaStorage &) = delete;
   ArenaStorage &operator=(const ArenaStorage &) = delete;
   rapidjson::MemoryPoolAllocator<> &Pool() { return mPool; }

private:
   alignas(16) char mBuffer[4096];
   rapidjson::MemoryPoolAllocator<> mPool;
};

inline std::string_view TextOf(const ArenaValue &value)
{
   return {value.GetString(), value.GetStringLength()};
}

// The member named `key`, or null.
inline const ArenaValue *FindMember(const ArenaValue &object, std::string_view key)
{
   for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
      if (TextOf(it->name) == key) {
         return &it->value;
      }
   }
   return nullptr;
}

// The members of an object in the byte order of their names (a document keeps
// them in the order of the text; values built from them should not depend on it).
inline std::vector<const ArenaValue::Member *> SortedMembers(const ArenaValue &object)
{
   std::vector<const ArenaValue::Member *> members;
   members.reserve(object.MemberCount());
   for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
      members.push_back(&*it);
   }
   std::sort(members.begin(), members.end(), [](const auto *a, const auto *b) {
      return TextOf(a->name) < TextOf(b->name);
   });
   return members;
}

} // namespace Ruvo::Protocol::Json
