#include "apps/trusted-host-services/common/configCompression.h"

#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <algorithm>
#include <cstdint>
#include <ios>

#include "runtime/hostlib/log.h"
#include "runtime/hostlib/unicode.h"

namespace Ths::Common::Compression {

namespace io = boost::iostreams;

namespace {

constexpr std::streamsize kFilterBufferSize = 4096;
constexpr int kWindowBits = 15;

// Thrown by BoundedSink when the output would pass its limit.
struct OutputTooLarge {};

// Appends to a text up to a limit. Passing it throws once, which stops the
// decompression at once; later writes (the chain closing) are dropped quietly so
// that nothing throws from a destructor.
class BoundedSink {
public:
   using char_type = char;
   using category = io::sink_tag;

   BoundedSink(std::string &text, size_t limit, bool &overflowed)
       : mText(&text), mLimit(limit), mOverflowed(&overflowed)
   {
   }
   std::streamsize write(const char *data, std::streamsize n)
   {
      if (*mOverflowed) {
         return n;
      }
      if (static_cast<size_t>(n) > mLimit - std::min(mLimit, mText->size())) {
         *mOverflowed = true;
         throw OutputTooLarge();
      }
      mText->append(data, static_cast<size_t>(n));
      return n;
   }

private:
   std::string *mText;
   size_t mLimit;
   bool *mOverflowed;
};

bool IsUtf8(const void *data, size_t size)
{
   return Unicode_IsBufferValid(data, size, STRING_ENCODING_UTF8);
}

// Writes everything through the filter into the sink, then removes the sink and the
// filter. Removing the first element closes the chain, which finishes the gzip
// stream (compression) or checks its end (decompression); gzip errors surface
// there as io::gzip_error. Returns whether the elements left report a clean flush.
template <typename Filter, typename Sink>
bool Pump(Filter filter, Sink sink, const char *data, size_t size)
{
   io::filtering_ostream chain;
   chain.push(filter, kFilterBufferSize);
   chain.push(sink);
   // A filter error while writing must reach us; by default it would only set badbit.
   // (Set once the chain is complete: an incomplete chain is a bad stream.)
   chain.exceptions(std::ios_base::badbit);
   chain.write(data, static_cast<std::streamsize>(size));
   chain.pop();
   chain.pop();
   return chain.strict_sync();
}

} // namespace

bool CompressConfiguration(const std::string &text, std::vector<char> &compressed)
{
   if (!IsUtf8(text.data(), text.size())) {
      Log_Level(110, "Request to compress non UTF-8 data\n");
      return false;
   }
   try {
      io::gzip_params params(io::gzip::best_compression, io::gzip::deflated, kWindowBits,
                             io::gzip::default_mem_level, io::gzip::default_strategy);
      if (!Pump(io::gzip_compressor(params, kFilterBufferSize), io::back_inserter(compressed),
                text.data(), text.size())) {
         Log_Level(110, "Failed to flush decompressed data\n");
         return false;
      }
   } catch (const io::gzip_error &e) {
      Log_Level(110, "Failed to compress configuration: %s %d %d\n", e.what(), e.error(),
                e.zlib_error_code());
      return false;
   }
   return true;
}

bool DecompressConfiguration(const std::vector<char> &compressed, std::string &text, size_t maxSize)
{
   bool overflowed = false;
   const size_t limit = maxSize > SIZE_MAX - text.size() ? SIZE_MAX : text.size() + maxSize;
   try {
      bool flushed =
          Pump(io::gzip_decompressor(kWindowBits, kFilterBufferSize),
               BoundedSink(text, limit, overflowed), compressed.data(), compressed.size());
      // The chain may swallow the sink's exception while it closes; the flag
      // tells either way.
      if (overflowed) {
         Log_Level(110, "Failed to decompress configuration: more than %zu bytes\n", maxSize);
         return false;
      }
      if (!flushed) {
         Log_Level(110, "Failed to flush compressed data\n");
         return false;
      }
   } catch (const OutputTooLarge &) {
      Log_Level(110, "Failed to decompress configuration: more than %zu bytes\n", maxSize);
      return false;
   } catch (const io::gzip_error &e) {
      Log_Level(110, "Failed to decompress configuration: %s %d %d\n", e.what(), e.error(),
                e.zlib_error_code());
      return false;
   } catch (const std::ios_base::failure &) {
      // What the sink's stop turned into on its way out (gzip errors, which
      // are failures too, are caught above).
      if (!overflowed) {
         throw;
      }
      Log_Level(110, "Failed to decompress configuration: more than %zu bytes\n", maxSize);
      return false;
   }
   if (!IsUtf8(text.data(), text.size())) {
      Log_Level(110, "Configuration is not valid UTF-8 data\n");
      return false;
   }
   return true;
}

} // namespace Ths::Common::Compression
