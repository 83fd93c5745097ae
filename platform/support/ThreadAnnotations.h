// Lock annotations for clang's -Wthread-safety analysis.
//
// Under clang they let the compiler check that a member marked
// OS_GUARDED_BY(lock_) is only touched with lock_ held, that helpers marked
// OS_REQUIRES(lock_) are only called with it held, and that locks are taken in
// the declared order (OS_ACQUIRED_BEFORE / OS_ACQUIRED_AFTER). Under other
// compilers they expand to nothing, so they cost nothing and are never wrong
// by construction: they are documentation that clang can verify.
#pragma once

#if defined(__clang__)
#define OS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OS_THREAD_ANNOTATION(x)
#endif

#define OS_CAPABILITY(x) OS_THREAD_ANNOTATION(capability(x))
#define OS_SCOPED_CAPABILITY OS_THREAD_ANNOTATION(scoped_lockable)
#define OS_GUARDED_BY(x) OS_THREAD_ANNOTATION(guarded_by(x))
#define OS_PT_GUARDED_BY(x) OS_THREAD_ANNOTATION(pt_guarded_by(x))
#define OS_ACQUIRED_BEFORE(...) OS_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define OS_ACQUIRED_AFTER(...) OS_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define OS_REQUIRES(...) OS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OS_REQUIRES_SHARED(...) OS_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define OS_ACQUIRE(...) OS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OS_ACQUIRE_SHARED(...) OS_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define OS_RELEASE(...) OS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OS_RELEASE_SHARED(...) OS_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define OS_RELEASE_GENERIC(...) OS_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define OS_TRY_ACQUIRE(...) OS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define OS_TRY_ACQUIRE_SHARED(...) OS_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define OS_EXCLUDES(...) OS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OS_ASSERT_CAPABILITY(x) OS_THREAD_ANNOTATION(assert_capability(x))
#define OS_NO_THREAD_SAFETY_ANALYSIS OS_THREAD_ANNOTATION(no_thread_safety_analysis)
