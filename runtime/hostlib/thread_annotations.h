// Clang thread-safety annotations. With -Wthread-safety the compiler checks that
// guarded members are touched only with their lock held and that locks are
// taken and released in pairs. Other compilers see empty macros.
#pragma once

#if defined(__clang__)
#define ZARNA_TSA(x) __attribute__((x))
#else
#define ZARNA_TSA(x)
#endif

#define ZARNA_CAPABILITY(x) ZARNA_TSA(capability(x))
#define ZARNA_SCOPED_CAPABILITY ZARNA_TSA(scoped_lockable)
#define ZARNA_GUARDED_BY(x) ZARNA_TSA(guarded_by(x))
#define ZARNA_PT_GUARDED_BY(x) ZARNA_TSA(pt_guarded_by(x))
#define ZARNA_ACQUIRED_BEFORE(...) ZARNA_TSA(acquired_before(__VA_ARGS__))
#define ZARNA_ACQUIRED_AFTER(...) ZARNA_TSA(acquired_after(__VA_ARGS__))
#define ZARNA_REQUIRES(...) ZARNA_TSA(requires_capability(__VA_ARGS__))
#define ZARNA_REQUIRES_SHARED(...) ZARNA_TSA(requires_shared_capability(__VA_ARGS__))
#define ZARNA_ACQUIRE(...) ZARNA_TSA(acquire_capability(__VA_ARGS__))
#define ZARNA_ACQUIRE_SHARED(...) ZARNA_TSA(acquire_shared_capability(__VA_ARGS__))
#define ZARNA_RELEASE(...) ZARNA_TSA(release_capability(__VA_ARGS__))
#define ZARNA_RELEASE_SHARED(...) ZARNA_TSA(release_shared_capability(__VA_ARGS__))
#define ZARNA_RELEASE_GENERIC(...) ZARNA_TSA(release_generic_capability(__VA_ARGS__))
#define ZARNA_TRY_ACQUIRE(...) ZARNA_TSA(try_acquire_capability(__VA_ARGS__))
#define ZARNA_EXCLUDES(...) ZARNA_TSA(locks_excluded(__VA_ARGS__))
#define ZARNA_ASSERT_CAPABILITY(x) ZARNA_TSA(assert_capability(x))
#define ZARNA_RETURN_CAPABILITY(x) ZARNA_TSA(lock_returned(x))
#define ZARNA_NO_THREAD_SAFETY_ANALYSIS ZARNA_TSA(no_thread_safety_analysis)
