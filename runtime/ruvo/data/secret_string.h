// Text that must never reach a log, an error text or a value's printed form.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Ruvo {

namespace Detail {

void WipeMemory(void *data, size_t size);

// Every buffer a secret ever occupied is cleared before it returns to the heap,
// including the ones left behind when the text grows.
template <class T>
struct WipingAllocator {
   using value_type = T;
   WipingAllocator() = default;
   template <class U>
   WipingAllocator(const WipingAllocator<U> &) noexcept
   {
   }
   T *allocate(size_t n) { return std::allocator<T>().allocate(n); }
   void deallocate(T *p, size_t n) noexcept
   {
      WipeMemory(p, n * sizeof(T));
      std::allocator<T>().deallocate(p, n);
   }
   template <class U>
   bool operator==(const WipingAllocator<U> &) const noexcept
   {
      return true;
   }
};

} // namespace Detail

class SecretString {
public:
   SecretString() = default;
   explicit SecretString(std::string_view text) : mText(text.data(), text.size()) {}
   SecretString(const SecretString &other) = default;
   SecretString(SecretString &&other) noexcept;
   SecretString &operator=(const SecretString &other);
   SecretString &operator=(SecretString &&other) noexcept;
   ~SecretString();

   // The only way to the text; callers that need it must not log it.
   std::string_view Expose() const { return {mText.data(), mText.size()}; }
   size_t Size() const { return mText.size(); }
   bool Empty() const { return mText.empty(); }
   void Clear();

   // What any printed form of a secret shows.
   static constexpr std::string_view kMasked = "<secret>";

   friend bool operator==(const SecretString &a, const SecretString &b)
   {
      return a.Expose() == b.Expose();
   }

private:
   using Text = std::basic_string<char, std::char_traits<char>, Detail::WipingAllocator<char>>;
   void WipeInline();

   Text mText;
};

} // namespace Ruvo
