// Little-endian byte writer and bounds-checked reader for emulator frames.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Hyperkern {

// Wipes its memory when it frees it: frames can carry key bytes.
template <typename T> struct WipingAllocator {
   using value_type = T;
   WipingAllocator() = default;
   template <typename U> WipingAllocator(const WipingAllocator<U> &) {}
   T *allocate(size_t n) { return std::allocator<T>().allocate(n); }
   void deallocate(T *p, size_t n)
   {
      OPENSSL_cleanse(p, n * sizeof(T));
      std::allocator<T>().deallocate(p, n);
   }
   template <typename U> bool operator==(const WipingAllocator<U> &) const { return true; }
   template <typename U> bool operator!=(const WipingAllocator<U> &) const { return false; }
};

using Bytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

class ByteWriter {
public:
   void U8(uint8_t v) { mOut.push_back(v); }
   void U16(uint16_t v);
   void U32(uint32_t v);
   void U64(uint64_t v);
   void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
   void Raw(const uint8_t *data, size_t size) { mOut.insert(mOut.end(), data, data + size); }
   // u16 length, then the bytes.
   void Str16(std::string_view text);
   // u32 length, then the bytes.
   void Blob32(const uint8_t *data, size_t size);
   Bytes Take() { return std::move(mOut); }

private:
   Bytes mOut;
};

class ByteReader {
public:
   ByteReader(const uint8_t *data, size_t size) : mData(data), mSize(size) {}
   bool U8(uint8_t &v);
   bool U16(uint16_t &v);
   bool U32(uint32_t &v);
   bool U64(uint64_t &v);
   bool I32(int32_t &v);
   bool Raw(uint8_t *out, size_t size);
   // A u16-length text of at most maxLength bytes with no NUL inside.
   bool Str16(std::string &out, size_t maxLength);
   // A u32-length blob of at most maxLength bytes.
   bool Blob32(Bytes &out, size_t maxLength);
   bool AtEnd() const { return mPos == mSize; }
   size_t Remaining() const { return mSize - mPos; }

private:
   const uint8_t *mData;
   size_t mSize;
   size_t mPos = 0;
};

} // namespace Hyperkern
