// The C interface: thin adapters that turn C strings and buffers into the
// container's types, call the container and hand back errno values.
#include "ObjectStore/objectStoreCIntf.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "ObjectStore/Handles.h"
#include "ObjectStore/ItemName.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {
namespace {

// What an ObjectStoreCIntf_open handle points to. The container's read takes
// an offset; the C read has none, so the handle keeps a read position the way
// a file descriptor does.
struct CIntfFile {
  FileHandle handle;
  // Serialises reads through this handle so that each read starts where the
  // previous one ended (as read(2) does for one open file description).
  // Acquired before any container or store lock.
  std::mutex positionLock;
  uint64_t position = 0;  // guarded by positionLock
};

ObjectContainer* containerOf(ObjectStoreCIntf_ObjectContainer container) {
  return static_cast<ObjectContainer*>(container);
}

// Nothing may be thrown into a C caller: an exception from below (an
// allocation that failed, mostly) becomes an errno value.
int caughtException(const char* function) {
  int errNo = EIO;
  const char* what = "unknown exception";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    errNo = ENOMEM;
    what = "out of memory";
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  OSLOG(-1, "Error: %s: %s", function, what);
  return errNo;
}

// The failure of an argument no call could accept.
int invalidArgument(const char* function, const char* what) {
  CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: %s: %s", function, what);
  OSLOG_ERR(err);
  return FXErrorUtil::GetErrNo(err);
}

// Copies a GUID into a GUID buffer: at most 44 characters, the rest of the
// buffer up to index 44 zeroed.
void copyGuid(char* out, const guid_t& guid) {
  std::strncpy(out, guid.c_str(), OBJECTSTORE_CINTF_MAX_GUID_CHARS);
  out[OBJECTSTORE_CINTF_MAX_GUID_CHARS] = '\0';
}

// Copies at most maxChars characters of text and a terminating zero.
void copyTruncated(char* out, const std::string& text, size_t maxChars) {
  const size_t n = std::min(text.size(), maxChars);
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// The read shared by read and pread. bytesRead is written only on success.
int readAt(ObjectContainer& container, ObjectStoreIndex index, CIntfFile& file, char* buffer,
           uint64_t size, uint64_t offset, uint64_t* bytesRead) {
  uint64_t delivered = 0;
  CZnError err = container.read(index, file.handle, buffer, offset, size, delivered);
  if (err.failed()) return FXErrorUtil::GetErrNo(err);
  // The store never delivers more than asked; a position past the request
  // would skip bytes of the file for good.
  *bytesRead = std::min(delivered, size);
  return 0;
}

int checkReadArguments(const char* function, ObjectStoreCIntf_ObjectContainer container,
                       void* fileHandle, const char* buffer, uint64_t size,
                       const uint64_t* bytesRead) {
  if (container == nullptr) return invalidArgument(function, "no container");
  if (fileHandle == nullptr) return invalidArgument(function, "no file handle");
  if (bytesRead == nullptr) return invalidArgument(function, "no bytes-read argument");
  if (buffer == nullptr && size != 0) return invalidArgument(function, "no buffer");
  return 0;
}

// The C listing is one flat sequence: ".", "..", then the children, and
// offset and count are positions in it, so a client pages with
// offset += count. The container instead puts "." and ".." in front of every
// page and counts only children in its offset and max; handing its page over
// as is would write two entries past the caller's capacity.
int readdirPage(ObjectContainer& container, ObjectStoreIndex index, const char* dirGuid,
                ObjectStoreCIntf_DirEntry* entries, uint64_t* count, uint64_t offset, bool* done) {
  constexpr uint64_t DOT_ENTRIES = 2;
  const uint64_t capacity = std::min<uint64_t>(*count, INT32_MAX);
  const uint64_t dotsWanted = offset < DOT_ENTRIES ? std::min(DOT_ENTRIES - offset, capacity) : 0;
  const uint64_t childOffset = offset < DOT_ENTRIES ? 0 : offset - DOT_ENTRIES;
  const uint64_t childrenWanted = capacity - dotsWanted;

  ItemName dir(std::string(dirGuid), false);
  GuidPathList page;
  bool listingDone = false;
  // Asked for no child, the container could not tell whether any follow: ask
  // for one and keep it back.
  CZnError err =
      container.readdir(index, dir, page, static_cast<size_t>(childOffset),
                        static_cast<size_t>(std::max<uint64_t>(childrenWanted, 1)), listingDone);
  if (err.failed()) return FXErrorUtil::GetErrNo(err);

  GuidPathList flat;
  GuidPathList children;
  const std::pair<guid_t, std::string>* self = nullptr;
  const std::pair<guid_t, std::string>* parent = nullptr;
  for (const auto& entry : page) {
    if (entry.second == "." && self == nullptr) {
      self = &entry;
    } else if (entry.second == ".." && parent == nullptr) {
      parent = &entry;
    } else {
      children.push_back(entry);
    }
  }
  if (dotsWanted > 0) {
    if (offset == 0 && self != nullptr) flat.push_back(*self);
    if (dotsWanted + offset == DOT_ENTRIES && parent != nullptr) flat.push_back(*parent);
  }
  const uint64_t childrenKept = std::min<uint64_t>(children.size(), childrenWanted);
  flat.insert(flat.end(), children.begin(), children.begin() + static_cast<long>(childrenKept));

  for (size_t i = 0; i < flat.size(); ++i) {
    copyGuid(entries[i].guid, flat[i].first);
    copyTruncated(entries[i].name, flat[i].second, OBJECTSTORE_CINTF_MAX_NAME_CHARS);
  }
  *count = flat.size();
  // Done only when nothing the container returned was held back.
  *done = listingDone && childrenKept == children.size();
  return 0;
}

}  // namespace
}  // namespace ObjectStore

using ObjectStore::CIntfFile;
using ObjectStore::containerOf;
using ObjectStore::copyGuid;
using ObjectStore::CZnError;
using ObjectStore::FXErrorUtil;
using ObjectStore::invalidArgument;
using ObjectStore::ItemName;
using ObjectStore::ObjectContainer;

extern "C" {

ObjectStoreCIntf_ObjectContainer ObjectStoreCIntf_init(
    const char* containerDir, const ObjectStoreCIntf_Watermarks* watermarks, uint64_t diskCacheLRU,
    bool pruningMode) try {
  if (containerDir == nullptr || containerDir[0] == '\0') {
    invalidArgument("init", "no container directory");
    return nullptr;
  }
  std::unique_ptr<ObjectContainer> container(new (std::nothrow) ObjectContainer());
  if (container == nullptr) return nullptr;

  ObjectStore::ObjectContainerConfig config;
  config.containerDir = containerDir;
  if (watermarks != nullptr) {
    config.highWatermark = watermarks->highWatermark;
    config.lowWatermark = watermarks->lowWatermark;
    config.thirdWatermark = watermarks->thirdWatermark;
  }
  config.diskCacheLRU = diskCacheLRU;
  config.pruningMode = pruningMode;
  CZnError err = container->init(config);
  if (err.failed()) {
    OSLOG(-1, "Error: Can't initialize container. %s", err.text().c_str());
    return nullptr;  // the container goes with `container`
  }
  return container.release();
} catch (...) {
  ObjectStore::caughtException("init");
  return nullptr;
}

void ObjectStoreCIntf_destroy(ObjectStoreCIntf_ObjectContainer container) try {
  delete containerOf(container);
} catch (...) {
  ObjectStore::caughtException("destroy");
}

int ObjectStoreCIntf_openObjectStore(ObjectStoreCIntf_ObjectContainer container, uint64_t* index,
                                     const ObjectStoreCIntf_OpenParams* params) try {
  if (index == nullptr) return invalidArgument("openObjectStore", "no index argument");
  // Never leave a stale value that could name some other open view.
  *index = UINT64_MAX;
  if (container == nullptr) return invalidArgument("openObjectStore", "no container");
  if (params == nullptr || params->name == nullptr)
    return invalidArgument("openObjectStore", "no share name");

  ObjectStore::ObjectStoreConfig config;
  config.name = params->name;
  config.subclient = params->subclient;
  config.timestamp = params->timestamp;
  // The configuration's budgets are ints; a larger request means "as much as
  // possible", not a negative budget.
  config.guidCacheBytesMax =
      static_cast<int>(std::min<uint32_t>(params->guidCacheBytesMax, INT_MAX));
  config.versionCacheBytesMax =
      static_cast<int>(std::min<uint32_t>(params->versionCacheBytesMax, INT_MAX));
  config.pitName = std::to_string(params->timestamp);
  config.readOnly = true;

  ObjectStore::ObjectStoreIndex opened = UINT64_MAX;
  CZnError err = containerOf(container)->openObjectStore(opened, config);
  *index = opened;
  return FXErrorUtil::GetErrNo(err);
} catch (...) {
  return ObjectStore::caughtException("openObjectStore");
}

int ObjectStoreCIntf_closeObjectStore(ObjectStoreCIntf_ObjectContainer container,
                                      ObjectStoreCIntf_ObjectStoreIndex index) try {
  if (container == nullptr) return invalidArgument("closeObjectStore", "no container");
  return FXErrorUtil::GetErrNo(containerOf(container)->closeObjectStore(index));
} catch (...) {
  return ObjectStore::caughtException("closeObjectStore");
}

void ObjectStoreCIntf_getRootGuid(ObjectStoreCIntf_ObjectContainer container,
                                  ObjectStoreCIntf_ObjectStoreIndex index, char* guid) try {
  if (guid == nullptr) {
    invalidArgument("getRootGuid", "no GUID buffer");
    return;
  }
  if (container == nullptr) {
    invalidArgument("getRootGuid", "no container");
    copyGuid(guid, std::string());
    return;
  }
  copyGuid(guid, containerOf(container)->getRootGuid(index));
} catch (...) {
  ObjectStore::caughtException("getRootGuid");
}

int ObjectStoreCIntf_open(ObjectStoreCIntf_ObjectContainer container,
                          ObjectStoreCIntf_ObjectStoreIndex index, void** fileHandle,
                          const char* objectGuid) try {
  if (container == nullptr) return invalidArgument("open", "no container");
  if (fileHandle == nullptr) return invalidArgument("open", "no file-handle argument");
  if (objectGuid == nullptr) return invalidArgument("open", "no GUID");

  std::unique_ptr<CIntfFile> file(new (std::nothrow) CIntfFile());
  if (file == nullptr) return ENOMEM;
  ItemName item(std::string(objectGuid), false);
  CZnError err = containerOf(container)->open(index, file->handle, item, O_RDONLY, false);
  if (err.failed()) {
    OSLOG(-1, "Error: Can't open [%s]. %s", objectGuid, err.text().c_str());
    return FXErrorUtil::GetErrNo(err);
  }
  *fileHandle = file.release();
  return 0;
} catch (...) {
  return ObjectStore::caughtException("open");
}

int ObjectStoreCIntf_close(ObjectStoreCIntf_ObjectContainer container,
                           ObjectStoreCIntf_ObjectStoreIndex index, void* fileHandle) try {
  if (container == nullptr) return invalidArgument("close", "no container");
  if (fileHandle == nullptr) return invalidArgument("close", "no file handle");
  // The handle goes whatever close reports: the caller cannot use it again,
  // so keeping it after a failed close would only leak it.
  std::unique_ptr<CIntfFile> file(static_cast<CIntfFile*>(fileHandle));
  return FXErrorUtil::GetErrNo(containerOf(container)->close(index, file->handle));
} catch (...) {
  return ObjectStore::caughtException("close");
}

int ObjectStoreCIntf_read(ObjectStoreCIntf_ObjectContainer container,
                          ObjectStoreCIntf_ObjectStoreIndex index, void* fileHandle, char* buffer,
                          uint64_t size, uint64_t* bytesRead) try {
  if (int rc =
          ObjectStore::checkReadArguments("read", container, fileHandle, buffer, size, bytesRead))
    return rc;
  CIntfFile* file = static_cast<CIntfFile*>(fileHandle);
  std::lock_guard<std::mutex> guard(file->positionLock);
  uint64_t delivered = 0;
  int rc = ObjectStore::readAt(*containerOf(container), index, *file, buffer, size, file->position,
                               &delivered);
  if (rc != 0) return rc;
  file->position += delivered;
  *bytesRead = delivered;
  return 0;
} catch (...) {
  return ObjectStore::caughtException("read");
}

int ObjectStoreCIntf_pread(ObjectStoreCIntf_ObjectContainer container,
                           ObjectStoreCIntf_ObjectStoreIndex index, void* fileHandle, char* buffer,
                           uint64_t size, uint64_t* bytesRead, uint64_t offset) try {
  if (int rc =
          ObjectStore::checkReadArguments("pread", container, fileHandle, buffer, size, bytesRead))
    return rc;
  return ObjectStore::readAt(*containerOf(container), index, *static_cast<CIntfFile*>(fileHandle),
                             buffer, size, offset, bytesRead);
} catch (...) {
  return ObjectStore::caughtException("pread");
}

int ObjectStoreCIntf_getattr(ObjectStoreCIntf_ObjectContainer container,
                             ObjectStoreCIntf_ObjectStoreIndex index, const char* objectGuid,
                             struct stat* st) try {
  if (container == nullptr) return invalidArgument("getattr", "no container");
  if (objectGuid == nullptr) return invalidArgument("getattr", "no GUID");
  if (st == nullptr) return invalidArgument("getattr", "no stat buffer");
  ItemName item(std::string(objectGuid), false);
  struct stat result {};
  CZnError err = containerOf(container)->getattr(index, item, result);
  if (err.failed()) return FXErrorUtil::GetErrNo(err);
  *st = result;
  return 0;
} catch (...) {
  return ObjectStore::caughtException("getattr");
}

int ObjectStoreCIntf_guidToPath(ObjectStoreCIntf_ObjectContainer container,
                                ObjectStoreCIntf_ObjectStoreIndex index, const char* objectGuid,
                                char* path, int length) try {
  if (container == nullptr) return invalidArgument("guidToPath", "no container");
  if (objectGuid == nullptr) return invalidArgument("guidToPath", "no GUID");
  if (path == nullptr || length < 0) return invalidArgument("guidToPath", "no path buffer");
  std::string found;
  CZnError err = containerOf(container)->guidToPath(index, std::string(objectGuid), found);
  if (err.failed()) return FXErrorUtil::GetErrNo(err);
  ObjectStore::copyTruncated(path, found, static_cast<size_t>(length));
  return 0;
} catch (...) {
  return ObjectStore::caughtException("guidToPath");
}

int ObjectStoreCIntf_pathToGuid(ObjectStoreCIntf_ObjectContainer container,
                                ObjectStoreCIntf_ObjectStoreIndex index, char* guid,
                                const char* path) try {
  if (container == nullptr) return invalidArgument("pathToGuid", "no container");
  if (guid == nullptr) return invalidArgument("pathToGuid", "no GUID buffer");
  if (path == nullptr) return invalidArgument("pathToGuid", "no path");
  ObjectStore::guid_t found;
  CZnError err = containerOf(container)->pathToGuid(index, found, std::string(path));
  if (err.failed()) return FXErrorUtil::GetErrNo(err);
  ObjectStore::copyGuid(guid, found);
  return 0;
} catch (...) {
  return ObjectStore::caughtException("pathToGuid");
}

int ObjectStoreCIntf_readdir(ObjectStoreCIntf_ObjectContainer container,
                             ObjectStoreCIntf_ObjectStoreIndex index, const char* dirGuid,
                             ObjectStoreCIntf_DirEntry* entries, uint64_t* count,
                             unsigned long offset, bool* done) try {
  if (container == nullptr) return invalidArgument("readdir", "no container");
  if (dirGuid == nullptr) return invalidArgument("readdir", "no GUID");
  if (count == nullptr || done == nullptr) return invalidArgument("readdir", "no count or done");
  // A listing with room for nothing would make no progress.
  if (entries == nullptr || *count == 0) return invalidArgument("readdir", "no room for entries");
  return ObjectStore::readdirPage(*containerOf(container), index, dirGuid, entries, count, offset,
                                  done);
} catch (...) {
  return ObjectStore::caughtException("readdir");
}

}  // extern "C"
