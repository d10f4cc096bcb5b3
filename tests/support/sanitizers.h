// Whether this build runs under a sanitizer. Some checks mean nothing there:
// resident size includes shadow memory and quarantine, and the undefined-behaviour
// checker opens descriptors of its own to check an object's type.
#pragma once

namespace TestSupport {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

} // namespace TestSupport
