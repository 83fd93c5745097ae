// The container's file-system operations: each counts itself and runs the
// store's operation of the same name inside withStore (ContainerWithStore.h).
#include <array>
#include <cstddef>
#include <utility>

#include "ObjectStore/ContainerWithStore.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"

namespace ObjectStore {

namespace {

using Counter = ContainerCounter;

// withStore takes its counter by address (null: not counted); this table
// gives every counter one stable address.
const ContainerCounter* counted(Counter counter) {
  static const auto table = [] {
    std::array<ContainerCounter, ObjectContainerCounters::NUM_COUNTERS> all{};
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<ContainerCounter>(i);
    return all;
  }();
  return &table[static_cast<size_t>(counter)];
}

}  // namespace

// ---------------------------------------------------------------------------
// Creating items

CZnError ObjectContainer::create(ObjectStoreIndex index, ItemName& parent, ItemName& item,
                                 const std::string& name, mode_t mode) {
  return withStore(index, counted(Counter::CREATE), [&](ObjectStore& store) {
    return store.create(parent, item, name, mode, FILE_TYPE_REGULAR);
  });
}

CZnError ObjectContainer::create(ObjectStoreIndex index, ItemName& item, const std::string& path,
                                 mode_t mode) {
  return withStore(index, counted(Counter::CREATE), [&](ObjectStore& store) {
    return store.create(item, path, mode, FILE_TYPE_REGULAR);
  });
}

CZnError ObjectContainer::createAndOpen(ObjectStoreIndex index, FileHandle& handle,
                                        ItemName& parent, const std::string& name, struct stat& st,
                                        int flags) {
  return withStore(index, counted(Counter::CREATE_AND_OPEN), [&](ObjectStore& store) {
    return store.createAndOpen(handle, parent, name, st, flags);
  });
}

CZnError ObjectContainer::createSymbolicLink(ObjectStoreIndex index, ItemName& parent,
                                             const std::string& name, ItemName& item,
                                             const std::string& target) {
  return withStore(index, counted(Counter::CREATE_SYMLINK), [&](ObjectStore& store) {
    return store.createSymbolicLink(item, target, parent, name);
  });
}

CZnError ObjectContainer::createSymbolicLink(ObjectStoreIndex index, ItemName& item,
                                             const std::string& linkPath,
                                             const std::string& target) {
  return withStore(index, counted(Counter::CREATE_SYMLINK), [&](ObjectStore& store) {
    return store.createSymbolicLink(item, target, linkPath);
  });
}

CZnError ObjectContainer::mkdir(ObjectStoreIndex index, ItemName& parent, ItemName& item,
                                const std::string& name, mode_t mode) {
  return withStore(index, counted(Counter::MKDIR),
                   [&](ObjectStore& store) { return store.mkdir(parent, item, name, mode); });
}

CZnError ObjectContainer::mkdir(ObjectStoreIndex index, ItemName& item, const std::string& path,
                                mode_t mode) {
  return withStore(index, counted(Counter::MKDIR),
                   [&](ObjectStore& store) { return store.mkdir(item, path, mode); });
}

// ---------------------------------------------------------------------------
// Open files and their data

CZnError ObjectContainer::open(ObjectStoreIndex index, FileHandle& handle, ItemName& item,
                               int flags, bool newVersion) {
  return withStore(index, counted(Counter::OPEN),
                   [&](ObjectStore& store) { return store.open(handle, item, flags, newVersion); });
}

CZnError ObjectContainer::close(ObjectStoreIndex index, FileHandle& handle) {
  return withStore(index, counted(Counter::CLOSE), [&](ObjectStore& store) {
    return store.close(handle, IsInternal::CLIENT_CLOSE);
  });
}

CZnError ObjectContainer::write(ObjectStoreIndex index, FileHandle& handle, const char* buf,
                                uint64_t& len, uint64_t offset, Sync sync) {
  // The byte counter records what was asked for; a short or failed write
  // still counts its full request.
  counters_.add(Counter::WRITE_BYTES, len);
  return withStore(index, counted(Counter::WRITE),
                   [&](ObjectStore& store) { return store.write(handle, buf, len, offset, sync); });
}

CZnError ObjectContainer::read(ObjectStoreIndex index, FileHandle& handle, char* buf,
                               uint64_t offset, uint64_t size, uint64_t& bytesRead) {
  counters_.add(Counter::READ_BYTES, size);
  bytesRead = 0;
  return withStore(index, counted(Counter::READ), [&](ObjectStore& store) {
    uint64_t len = size;
    CZnError err = store.read(handle, buf, offset, len);
    // A failed read delivers nothing the caller may rely on.
    bytesRead = err.ok() ? len : 0;
    return err;
  });
}

CZnError ObjectContainer::truncate(ObjectStoreIndex index, ItemName& item, uint64_t size,
                                   bool newVersion) {
  return withStore(index, counted(Counter::TRUNCATE),
                   [&](ObjectStore& store) { return store.truncate(item, size, newVersion); });
}

CZnError ObjectContainer::fsync(ObjectStoreIndex index, ItemName& item) {
  return withStore(index, counted(Counter::FSYNC),
                   [&](ObjectStore& store) { return store.fsync(item); });
}

// The store makes no difference between data and metadata durability: an
// fdatasync is a counted fsync.
CZnError ObjectContainer::fdatasync(ObjectStoreIndex index, ItemName& item) {
  counters_.add(Counter::FDATASYNC);
  return fsync(index, item);
}

// ---------------------------------------------------------------------------
// Byte-range locks

CZnError ObjectContainer::lock(ObjectStoreIndex index, const LockInfo& request,
                               LockInfo& conflict) {
  return withStore(index, counted(Counter::LOCK),
                   [&](ObjectStore& store) { return store.lock(request, conflict); });
}

CZnError ObjectContainer::unlock(ObjectStoreIndex index, const LockInfo& request) {
  return withStore(index, counted(Counter::UNLOCK),
                   [&](ObjectStore& store) { return store.unlock(request); });
}

CZnError ObjectContainer::telllock(ObjectStoreIndex index, const LockInfo& request, bool& locked) {
  return withStore(index, counted(Counter::TELLLOCK),
                   [&](ObjectStore& store) { return store.telllock(request, locked); });
}

// ---------------------------------------------------------------------------
// Namespace

CZnError ObjectContainer::unlink(ObjectStoreIndex index, ItemName& item) {
  return withStore(index, counted(Counter::UNLINK),
                   [&](ObjectStore& store) { return store.unlink(item); });
}

CZnError ObjectContainer::rmdir(ObjectStoreIndex index, ItemName& item) {
  return withStore(index, counted(Counter::RMDIR),
                   [&](ObjectStore& store) { return store.rmdir(item); });
}

CZnError ObjectContainer::rename(ObjectStoreIndex index, const std::string& from,
                                 const std::string& to, bool newVersion) {
  return withStore(index, counted(Counter::RENAME),
                   [&](ObjectStore& store) { return store.rename(from, to, newVersion); });
}

CZnError ObjectContainer::getattr(ObjectStoreIndex index, ItemName& item, struct stat& st) {
  return withStore(index, counted(Counter::GETATTR),
                   [&](ObjectStore& store) { return store.getattr(item, st); });
}

CZnError ObjectContainer::readLink(ObjectStoreIndex index, ItemName item, std::string& target) {
  return withStore(index, counted(Counter::READ_LINK),
                   [&](ObjectStore& store) { return store.readLink(std::move(item), target); });
}

CZnError ObjectContainer::statfs(ObjectStoreIndex index, struct statfs& buf) {
  return withStore(index, counted(Counter::STATFS),
                   [&](ObjectStore& store) { return store.statfs(buf); });
}

CZnError ObjectContainer::guidToPath(ObjectStoreIndex index, const guid_t& guid,
                                     std::string& path) {
  return withStore(index, counted(Counter::GUID_TO_PATH),
                   [&](ObjectStore& store) { return store.guidToPath(guid, path); });
}

CZnError ObjectContainer::pathToGuid(ObjectStoreIndex index, guid_t& guid,
                                     const std::string& path) {
  return withStore(index, counted(Counter::PATH_TO_GUID),
                   [&](ObjectStore& store) { return store.pathToGuid(guid, path); });
}

// ---------------------------------------------------------------------------
// Attributes

CZnError ObjectContainer::chmod(ObjectStoreIndex index, ItemName& item, mode_t mode) {
  return withStore(index, counted(Counter::CHMOD),
                   [&](ObjectStore& store) { return store.chmod(item, mode); });
}

CZnError ObjectContainer::utimes(ObjectStoreIndex index, ItemName& item, const timeval& atime,
                                 const timeval& mtime) {
  return withStore(index, counted(Counter::UTIMES),
                   [&](ObjectStore& store) { return store.utimes(item, atime, mtime); });
}

CZnError ObjectContainer::chown(ObjectStoreIndex index, ItemName& item, uid_t uid, gid_t gid) {
  return withStore(index, counted(Counter::CHOWN),
                   [&](ObjectStore& store) { return store.chown(item, uid, gid); });
}

// ---------------------------------------------------------------------------
// Directory listing

CZnError ObjectContainer::readdir(ObjectStoreIndex index, ItemName& dir, GuidPathList& out,
                                  size_t offset, size_t max, bool& done) {
  return withStore(index, counted(Counter::READDIR),
                   [&](ObjectStore& store) { return store.readdir(dir, out, offset, max, done); });
}

CZnError ObjectContainer::opendir(ObjectStoreIndex index, DirHandle** handle, ItemName& dir) {
  // Null unless a store hands one out, so that a caller's closedir after a
  // failed opendir is harmless.
  if (handle != nullptr) *handle = nullptr;
  return withStore(index, counted(Counter::OPENDIR),
                   [&](ObjectStore& store) { return store.opendir(handle, dir); });
}

CZnError ObjectContainer::seekdir(ObjectStoreIndex index, DirHandle* handle,
                                  unsigned long position) {
  return withStore(index, counted(Counter::SEEKDIR),
                   [&](ObjectStore& store) { return store.seekdir(handle, position); });
}

CZnError ObjectContainer::readdir(ObjectStoreIndex index, DirHandle* handle, struct dirent** out,
                                  guid_t& guid) {
  return withStore(index, counted(Counter::READDIR),
                   [&](ObjectStore& store) { return store.readdir(handle, out, guid); });
}

CZnError ObjectContainer::readdir_ex(ObjectStoreIndex index, DirHandle* handle, struct dirent** out,
                                     guid_t& guid, struct stat& st, uint64_t* cookie) {
  return withStore(index, counted(Counter::READDIR_EX), [&](ObjectStore& store) {
    return store.readdir_ex(handle, out, guid, st, cookie);
  });
}

CZnError ObjectContainer::telldir(ObjectStoreIndex index, const DirHandle* handle,
                                  unsigned long& position) {
  return withStore(index, nullptr,
                   [&](ObjectStore& store) { return store.telldir(handle, position); });
}

CZnError ObjectContainer::closedir(ObjectStoreIndex index, const DirHandle* handle) {
  bool released = false;
  CZnError err = withStore(index, counted(Counter::CLOSEDIR), [&](ObjectStore& store) {
    released = true;
    return store.closedir(handle);
  });
  // A handle is a snapshot that belongs to its caller, not to the store; when
  // the store was closed since opendir, the handle is still released here so
  // that closing a share under a listing doesn't leak it. The error stays.
  if (!released) delete handle;
  return err;
}

// ---------------------------------------------------------------------------
// Extended attributes

CZnError ObjectContainer::setxattr(ObjectStoreIndex index, ItemName& item, const std::string& name,
                                   const std::vector<unsigned char>& value) {
  return withStore(index, counted(Counter::SETXATTR),
                   [&](ObjectStore& store) { return store.setxattr(item, name, value); });
}

CZnError ObjectContainer::getxattr(ObjectStoreIndex index, ItemName& item, const std::string& name,
                                   std::vector<unsigned char>& value) {
  return withStore(index, counted(Counter::GETXATTR),
                   [&](ObjectStore& store) { return store.getxattr(item, name, value); });
}

CZnError ObjectContainer::listxattr(ObjectStoreIndex index, ItemName& item,
                                    std::vector<std::string>& names) {
  return withStore(index, counted(Counter::LISTXATTR),
                   [&](ObjectStore& store) { return store.listxattr(item, names); });
}

CZnError ObjectContainer::removexattr(ObjectStoreIndex index, ItemName& item,
                                      const std::string& name) {
  return withStore(index, counted(Counter::REMOVEXATTR),
                   [&](ObjectStore& store) { return store.removexattr(item, name); });
}

}  // namespace ObjectStore
