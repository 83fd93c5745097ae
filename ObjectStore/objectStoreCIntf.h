/* The C interface of the object store: open a share as a read-only
 * point-in-time view, browse it by GUID and read its files.
 *
 * Valid C11 and C++. Every function is a thin adapter over the container: it
 * returns 0 on success or an errno value (for ObjectStoreCIntf_init, a null
 * handle on failure), never throws, and writes its out arguments only on
 * success (the index out argument of ObjectStoreCIntf_openObjectStore
 * excepted: it is always written, and holds an invalid index on failure).
 *
 * Handles are opaque. A container handle lives from ObjectStoreCIntf_init to
 * ObjectStoreCIntf_destroy; a file handle from ObjectStoreCIntf_open to
 * ObjectStoreCIntf_close. Every function may be called from any thread; a
 * file handle's read position is shared by all threads reading through it.
 *
 * Text buffers:
 *   - a GUID buffer holds OBJECTSTORE_CINTF_GUID_BUFFER_SIZE (45) bytes: at
 *     most 44 characters, zero-terminated at index 44 at the latest;
 *   - a path buffer passed with length n holds n + 1 bytes.
 */
#ifndef OBJECTSTORE_OBJECTSTORECINTF_H
#define OBJECTSTORE_OBJECTSTORECINTF_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "platform/support/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Constants rather than macros: C++ code sees ObjectStore's own
 * OBJECTSTORE_CINTF_MAX_GUID_CHARS as well, which a macro would clobber. */
enum {
  OBJECTSTORE_CINTF_MAX_GUID_CHARS = 44,
  OBJECTSTORE_CINTF_GUID_BUFFER_SIZE = OBJECTSTORE_CINTF_MAX_GUID_CHARS + 1,
  OBJECTSTORE_CINTF_MAX_NAME_CHARS = 1023,
  OBJECTSTORE_CINTF_NAME_BUFFER_SIZE = OBJECTSTORE_CINTF_MAX_NAME_CHARS + 1
};

/* A container, from ObjectStoreCIntf_init. */
typedef void* ObjectStoreCIntf_ObjectContainer;
/* Position of an open view in its container. */
typedef uint64_t ObjectStoreCIntf_ObjectStoreIndex;

/* Disk-cache watermarks, percent, in this order. */
typedef struct ObjectStoreCIntf_Watermarks {
  int32_t highWatermark;
  int32_t lowWatermark;
  int32_t thirdWatermark;
} ObjectStoreCIntf_Watermarks;

/* What to open: share `name` of `subclient` as of `timestamp` (seconds since
 * the epoch). Views are shared: opening the same share and timestamp again
 * returns the index of the view already open. */
typedef struct ObjectStoreCIntf_OpenParams {
  const char* name;
  uint64_t subclient;
  uint64_t timestamp;
  uint32_t guidCacheBytesMax;    /* byte budget of the path cache */
  uint32_t versionCacheBytesMax; /* byte budget of the version cache */
} ObjectStoreCIntf_OpenParams;

/* One child of a directory. Entries lie back to back in the caller's array. */
typedef struct __attribute__((packed)) ObjectStoreCIntf_DirEntry {
  char guid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE]; /* object GUID, zero-terminated */
  char name[OBJECTSTORE_CINTF_NAME_BUFFER_SIZE]; /* child name, zero-terminated */
} ObjectStoreCIntf_DirEntry;

/* The layouts are part of the ABI. */
#ifdef __cplusplus
#define OBJECTSTORE_CINTF_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define OBJECTSTORE_CINTF_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
OBJECTSTORE_CINTF_STATIC_ASSERT(sizeof(ObjectStoreCIntf_Watermarks) == 12, "Watermarks size");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_Watermarks, lowWatermark) == 4,
                                "Watermarks.lowWatermark offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_Watermarks, thirdWatermark) == 8,
                                "Watermarks.thirdWatermark offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(sizeof(ObjectStoreCIntf_OpenParams) == 32, "OpenParams size");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_OpenParams, subclient) == 8,
                                "OpenParams.subclient offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_OpenParams, timestamp) == 16,
                                "OpenParams.timestamp offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_OpenParams, guidCacheBytesMax) == 24,
                                "OpenParams.guidCacheBytesMax offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_OpenParams, versionCacheBytesMax) == 28,
                                "OpenParams.versionCacheBytesMax offset");
OBJECTSTORE_CINTF_STATIC_ASSERT(sizeof(ObjectStoreCIntf_DirEntry) == 1069, "DirEntry size");
OBJECTSTORE_CINTF_STATIC_ASSERT(offsetof(ObjectStoreCIntf_DirEntry, name) == 45,
                                "DirEntry.name offset");
#undef OBJECTSTORE_CINTF_STATIC_ASSERT

/* Creates and initialises a container below containerDir (created when
 * missing). watermarks may be null for the defaults (90, 80, 85); any
 * non-zero pruningMode prunes least recently used segments first. Null when
 * the container cannot be set up; nothing stays allocated then. */
OBJSTORE_EXPORT ObjectStoreCIntf_ObjectContainer
ObjectStoreCIntf_init(const char* containerDir, const ObjectStoreCIntf_Watermarks* watermarks,
                      uint64_t diskCacheLRU, bool pruningMode);

/* Destroys the container, with every view still open in it, and frees it.
 * Null is ignored. */
OBJSTORE_EXPORT void ObjectStoreCIntf_destroy(ObjectStoreCIntf_ObjectContainer container);

/* Opens a read-only view of a share as of params->timestamp. *index is always
 * written; it names the view only when 0 is returned. */
OBJSTORE_EXPORT int ObjectStoreCIntf_openObjectStore(ObjectStoreCIntf_ObjectContainer container,
                                                     uint64_t* index,
                                                     const ObjectStoreCIntf_OpenParams* params);

OBJSTORE_EXPORT int ObjectStoreCIntf_closeObjectStore(ObjectStoreCIntf_ObjectContainer container,
                                                      ObjectStoreCIntf_ObjectStoreIndex index);

/* The view's root directory GUID into a 45-byte buffer; an empty string for
 * an index that is not open. */
OBJSTORE_EXPORT void ObjectStoreCIntf_getRootGuid(ObjectStoreCIntf_ObjectContainer container,
                                                  ObjectStoreCIntf_ObjectStoreIndex index,
                                                  char* guid);

/* Opens the file objectGuid for reading; on success *fileHandle receives a
 * handle whose read position is 0. On failure *fileHandle is left as it was. */
OBJSTORE_EXPORT int ObjectStoreCIntf_open(ObjectStoreCIntf_ObjectContainer container,
                                          ObjectStoreCIntf_ObjectStoreIndex index,
                                          void** fileHandle, const char* objectGuid);

/* Closes the file and frees the handle, also when closing reports an error. */
OBJSTORE_EXPORT int ObjectStoreCIntf_close(ObjectStoreCIntf_ObjectContainer container,
                                           ObjectStoreCIntf_ObjectStoreIndex index,
                                           void* fileHandle);

/* Like read(2): reads up to size bytes at the handle's read position and
 * advances it by the bytes delivered (*bytesRead; 0 at the end of the file).
 * Successive calls read the whole file. */
OBJSTORE_EXPORT int ObjectStoreCIntf_read(ObjectStoreCIntf_ObjectContainer container,
                                          ObjectStoreCIntf_ObjectStoreIndex index, void* fileHandle,
                                          char* buffer, uint64_t size, uint64_t* bytesRead);

/* Like pread(2): reads up to size bytes at offset; the handle's read position
 * does not move. */
OBJSTORE_EXPORT int ObjectStoreCIntf_pread(ObjectStoreCIntf_ObjectContainer container,
                                           ObjectStoreCIntf_ObjectStoreIndex index,
                                           void* fileHandle, char* buffer, uint64_t size,
                                           uint64_t* bytesRead, uint64_t offset);

OBJSTORE_EXPORT int ObjectStoreCIntf_getattr(ObjectStoreCIntf_ObjectContainer container,
                                             ObjectStoreCIntf_ObjectStoreIndex index,
                                             const char* objectGuid, struct stat* st);

/* The item's path, at most length characters of it, into a buffer of
 * length + 1 bytes (always zero-terminated). */
OBJSTORE_EXPORT int ObjectStoreCIntf_guidToPath(ObjectStoreCIntf_ObjectContainer container,
                                                ObjectStoreCIntf_ObjectStoreIndex index,
                                                const char* objectGuid, char* path, int length);

/* The object GUID of path into a 45-byte buffer. */
OBJSTORE_EXPORT int ObjectStoreCIntf_pathToGuid(ObjectStoreCIntf_ObjectContainer container,
                                                ObjectStoreCIntf_ObjectStoreIndex index, char* guid,
                                                const char* path);

/* Lists the directory dirGuid from position offset of its listing, which is
 * ".", "..", then the children (positions 0 and 1 are the two dot entries).
 * *count: in, the capacity of entries (at least 1, else EINVAL); out, the
 * entries filled, never more than the capacity. *done is set when the
 * listing reached its end; to continue, call again with offset advanced by
 * *count. */
OBJSTORE_EXPORT int ObjectStoreCIntf_readdir(ObjectStoreCIntf_ObjectContainer container,
                                             ObjectStoreCIntf_ObjectStoreIndex index,
                                             const char* dirGuid,
                                             ObjectStoreCIntf_DirEntry* entries, uint64_t* count,
                                             unsigned long offset, bool* done);

#ifdef __cplusplus
}
#endif

#endif /* OBJECTSTORE_OBJECTSTORECINTF_H */
