#include "runtime/ruvo/data/secret_string.h"

#include <string.h>

namespace Ruvo {

namespace Detail {

void WipeMemory(void *data, size_t size)
{
   if (data != nullptr && size > 0) {
      explicit_bzero(data, size);
   }
}

} // namespace Detail

SecretString::SecretString(SecretString &&other) noexcept : mText(std::move(other.mText))
{
   other.WipeInline();
   other.mText.clear();
}

SecretString &SecretString::operator=(const SecretString &other)
{
   if (this != &other) {
      Clear();
      mText = other.mText;
   }
   return *this;
}

SecretString &SecretString::operator=(SecretString &&other) noexcept
{
   if (this != &other) {
      Clear();
      mText = std::move(other.mText);
      other.WipeInline();
      other.mText.clear();
   }
   return *this;
}

SecretString::~SecretString()
{
   WipeInline();
}

void SecretString::Clear()
{
   WipeInline();
   mText.clear();
}

// Short texts live inside the object, where the allocator never sees them.
void SecretString::WipeInline()
{
   Detail::WipeMemory(mText.data(), mText.capacity());
}

} // namespace Ruvo
