// Peak heap taken while one request body is read (checked, parsed and turned into
// data values), divided by the body's size, for the shapes that cost the most per
// byte of text. Each shape runs twice in the same process: with the reader's
// limits as shipped, and with the value count unbounded (the reader as it was),
// so the two factors are comparable.
//
//   bench_json_memory [MB]     body size of the large runs (default 19)
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "runtime/ruvo/json/json_rpc.h"

namespace {

std::atomic<size_t> gCurrent{0};
std::atomic<size_t> gPeak{0};

void Count(void *p)
{
   size_t now = gCurrent.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
   size_t peak = gPeak.load();
   while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
   }
}

} // namespace

void *operator new(size_t size)
{
   void *p = std::malloc(size == 0 ? 1 : size);
   if (p == nullptr) {
      throw std::bad_alloc();
   }
   Count(p);
   return p;
}

void operator delete(void *p) noexcept
{
   if (p != nullptr) {
      gCurrent.fetch_sub(malloc_usable_size(p));
      std::free(p);
   }
}

void operator delete(void *p, size_t) noexcept
{
   operator delete(p);
}

namespace {

std::string Envelope(const std::string &input)
{
   return R"({"version":"1.1","id":"m-1","method":"bench.memory.shape","params":{"context":{"app":{}},"input":{"x":)" +
          input + "}}}";
}

// Repeats item (comma-separated) inside brackets until the text reaches bytes.
std::string Repeat(const std::string &open, const std::string &item, const std::string &close, size_t bytes)
{
   std::string out = open;
   while (out.size() + item.size() + close.size() + 1 < bytes) {
      if (out.size() > open.size()) {
         out += ',';
      }
      out += item;
   }
   return out + close;
}

std::string Keys(size_t bytes)
{
   std::string out = "{";
   for (size_t i = 0; out.size() + 16 < bytes; ++i) {
      out += (i == 0 ? "\"" : ",\"") + std::to_string(i) + "\":{}";
   }
   return out + "}";
}

struct Outcome {
   double factor;
   double ms;
   bool accepted;
};

Outcome Measure(const std::string &body, const Ruvo::Protocol::Json::Limits &limits)
{
   size_t base = gCurrent.load();
   gPeak.store(base);
   auto start = std::chrono::steady_clock::now();
   bool accepted = false;
   {
      Ruvo::Protocol::Json::JsonApiRequest request;
      Ruvo::Data::ErrorValuePtr error;
      accepted = Ruvo::Protocol::Json::JsonApiRequestDeserializer(limits).Deserialize(body, request, error);
   }
   double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
   return {static_cast<double>(gPeak.load() - base) / static_cast<double>(body.size()), ms, accepted};
}

} // namespace

int main(int argc, char **argv)
{
   size_t large = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 19) * 1000 * 1000;
   // The unbounded reader builds every value; a smaller body keeps its run short
   // (its factor does not depend on the size).
   size_t baselineBytes = 2 * 1000 * 1000;
   Ruvo::Protocol::Json::Limits shipped;
   Ruvo::Protocol::Json::Limits unbounded;
   unbounded.maxValues = SIZE_MAX;

   struct Shape {
      const char *name;
      std::string (*make)(size_t);
   };
   Shape shapes[] = {
      {"lists of empty lists", [](size_t n) { return Repeat("[", "[[],[],[]]", "]", n); }},
      {"empty lists", [](size_t n) { return Repeat("[", "[]", "]", n); }},
      {"many small objects", [](size_t n) { return Repeat("[", "{}", "]", n); }},
      {"many keys", [](size_t n) { return Keys(n); }},
      {"small numbers", [](size_t n) { return Repeat("[", "0", "]", n); }},
      {"one long string", [](size_t n) { return "\"" + std::string(n - 2, 's') + "\""; }},
      {"long strings", [](size_t n) { return Repeat("[", "\"" + std::string(65536, 's') + "\"", "]", n); }},
   };
   std::printf("%-22s %12s %10s %10s | %12s %10s %10s\n", "shape", "shipped MB", "peak/body", "ms", "unbounded MB",
               "peak/body", "ms");
   for (const Shape &shape : shapes) {
      std::string body = Envelope(shape.make(large));
      Outcome now = Measure(body, shipped);
      std::string small = Envelope(shape.make(baselineBytes));
      Outcome before = Measure(small, unbounded);
      std::printf("%-22s %12.1f %9.2fx %10.0f | %12.1f %9.2fx %10.0f   %s\n", shape.name,
                  static_cast<double>(body.size()) / 1e6, now.factor, now.ms,
                  static_cast<double>(small.size()) / 1e6, before.factor, before.ms,
                  now.accepted ? "accepted" : "refused");
   }
   // A shape refused at the large size is accepted up to the value limit: the
   // largest such body still costs only a few megabytes, whatever its shape.
   std::printf("\n%-22s %12s %12s\n", "largest accepted", "body KB", "peak MB");
   for (const Shape &shape : shapes) {
      if (Measure(Envelope(shape.make(large)), shipped).accepted) {
         continue;
      }
      size_t low = 64;
      size_t high = large;
      while (high - low > low / 50 + 16) {
         size_t mid = low + (high - low) / 2;
         (Measure(Envelope(shape.make(mid)), shipped).accepted ? low : high) = mid;
      }
      std::string body = Envelope(shape.make(low));
      Outcome at = Measure(body, shipped);
      std::printf("%-22s %12.0f %12.1f\n", shape.name, static_cast<double>(body.size()) / 1e3,
                  at.factor * static_cast<double>(body.size()) / 1e6);
   }
   return 0;
}
