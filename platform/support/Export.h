// OBJSTORE_EXPORT: marks what libobjectstore.so exports.
//
// The library's components are compiled with hidden visibility, so that only
// the public interface (the C entry points, ObjectContainer and the types its
// public methods and the public headers' macros need) is part of the shared
// library's ABI. Everything else stays internal: it cannot clash with a
// client's own symbols and can change without breaking clients.
//
// Valid C and C++; it lives with the lowest layer so that every public header,
// platform ones included, can use it.
#ifndef OBJSTORE_PLATFORM_SUPPORT_EXPORT_H
#define OBJSTORE_PLATFORM_SUPPORT_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define OBJSTORE_EXPORT __attribute__((visibility("default")))
#else
#define OBJSTORE_EXPORT
#endif

// The same in standard attribute syntax, for a class that also carries
// standard attributes ("class [[nodiscard]] OBJSTORE_EXPORT_CLASS X"), where
// the GNU form cannot follow them. C++ only.
#if defined(__cplusplus) && (defined(__GNUC__) || defined(__clang__))
#define OBJSTORE_EXPORT_CLASS [[gnu::visibility("default")]]
#else
#define OBJSTORE_EXPORT_CLASS
#endif

#endif  // OBJSTORE_PLATFORM_SUPPORT_EXPORT_H
