#include "runtime/hostlib/uuid.h"

#include <pthread.h>
#include <sys/random.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t kTextLength = 36;

bool IsDashPosition(size_t i)
{
   return i == 8 || i == 13 || i == 18 || i == 23;
}

bool FillRandom(uint8_t *buf, size_t len)
{
   size_t done = 0;
   while (done < len) {
      ssize_t n = getrandom(buf + done, len - done, 0);
      if (n < 0) {
         if (errno == EINTR) {
            continue;
         }
         return false;
      }
      done += static_cast<size_t>(n);
   }
   return true;
}

// Bumped in a forked child, whose copies of the blocks below are its parent's.
std::atomic<unsigned> gForks{0};

// Random bytes come from the kernel a block at a time, one system call for
// sixteen identifiers: every API call takes one. Each thread has its own block;
// a forked child refills before it takes any, so no two processes share bytes.
bool TakeRandom(uint8_t *out, size_t len)
{
   static std::once_flag registered;
   std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { ++gForks; }); });
   thread_local uint8_t block[256];
   thread_local size_t used = sizeof block;
   thread_local unsigned generation = 0;
   const unsigned forks = gForks.load(std::memory_order_relaxed);
   if (len > sizeof block) {
      return FillRandom(out, len);
   }
   if (generation != forks || used + len > sizeof block) {
      if (!FillRandom(block, sizeof block)) {
         return false;
      }
      used = 0;
      generation = forks;
   }
   memcpy(out, block + used, len);
   memset(block + used, 0, len);
   used += len;
   return true;
}

} // namespace

char *UUID_CreateRandom()
{
   uint8_t bytes[16];
   if (!TakeRandom(bytes, sizeof bytes)) {
      return nullptr;
   }
   bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0FU) | 0x40U); // version 4
   bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3FU) | 0x80U); // RFC 4122 variant
   auto *text = static_cast<char *>(malloc(kTextLength + 1));
   if (text == nullptr) {
      return nullptr;
   }
   static const char kHex[] = "0123456789abcdef";
   size_t out = 0;
   for (size_t i = 0; i < sizeof bytes; ++i) {
      if (IsDashPosition(out)) {
         text[out++] = '-';
      }
      text[out++] = kHex[bytes[i] >> 4U];
      text[out++] = kHex[bytes[i] & 0x0FU];
   }
   text[out] = '\0';
   return text;
}

int UUID_PackText(char *text)
{
   if (text == nullptr || strlen(text) != kTextLength) {
      return 0;
   }
   for (size_t i = 0; i < kTextLength; ++i) {
      bool ok =
          IsDashPosition(i) ? text[i] == '-' : isxdigit(static_cast<unsigned char>(text[i])) != 0;
      if (!ok) {
         return 0;
      }
   }
   size_t out = 0;
   for (size_t i = 0; i < kTextLength; ++i) {
      if (!IsDashPosition(i)) {
         text[out++] = text[i];
      }
   }
   text[out] = '\0';
   return 1;
}
