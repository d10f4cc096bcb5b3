#include "runtime/hyperkern/wire.h"

#include <cstring>

namespace Hyperkern {

void ByteWriter::U16(uint16_t v)
{
   U8(static_cast<uint8_t>(v));
   U8(static_cast<uint8_t>(v >> 8));
}

void ByteWriter::U32(uint32_t v)
{
   U16(static_cast<uint16_t>(v));
   U16(static_cast<uint16_t>(v >> 16));
}

void ByteWriter::U64(uint64_t v)
{
   U32(static_cast<uint32_t>(v));
   U32(static_cast<uint32_t>(v >> 32));
}

void ByteWriter::Str16(std::string_view text)
{
   U16(static_cast<uint16_t>(text.size()));
   Raw(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

void ByteWriter::Blob32(const uint8_t *data, size_t size)
{
   U32(static_cast<uint32_t>(size));
   Raw(data, size);
}

bool ByteReader::U8(uint8_t &v)
{
   if (Remaining() < 1) {
      return false;
   }
   v = mData[mPos++];
   return true;
}

bool ByteReader::U16(uint16_t &v)
{
   if (Remaining() < 2) {
      return false;
   }
   v = static_cast<uint16_t>(mData[mPos] | (mData[mPos + 1] << 8));
   mPos += 2;
   return true;
}

bool ByteReader::U32(uint32_t &v)
{
   uint16_t lo, hi;
   if (Remaining() < 4 || !U16(lo) || !U16(hi)) {
      return false;
   }
   v = static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16);
   return true;
}

bool ByteReader::U64(uint64_t &v)
{
   uint32_t lo, hi;
   if (Remaining() < 8 || !U32(lo) || !U32(hi)) {
      return false;
   }
   v = static_cast<uint64_t>(lo) | (static_cast<uint64_t>(hi) << 32);
   return true;
}

bool ByteReader::I32(int32_t &v)
{
   uint32_t u;
   if (!U32(u)) {
      return false;
   }
   v = static_cast<int32_t>(u);
   return true;
}

bool ByteReader::Raw(uint8_t *out, size_t size)
{
   if (Remaining() < size) {
      return false;
   }
   if (size != 0) {
      memcpy(out, mData + mPos, size);
   }
   mPos += size;
   return true;
}

bool ByteReader::Str16(std::string &out, size_t maxLength)
{
   uint16_t length;
   if (!U16(length) || length > maxLength || Remaining() < length) {
      return false;
   }
   const char *start = reinterpret_cast<const char *>(mData + mPos);
   if (memchr(start, '\0', length) != nullptr) {
      return false;
   }
   out.assign(start, length);
   mPos += length;
   return true;
}

bool ByteReader::Blob32(Bytes &out, size_t maxLength)
{
   uint32_t length;
   if (!U32(length) || length > maxLength || Remaining() < length) {
      return false;
   }
   out.assign(mData + mPos, mData + mPos + length);
   mPos += length;
   return true;
}

} // namespace Hyperkern
