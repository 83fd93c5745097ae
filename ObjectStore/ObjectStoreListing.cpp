// Directory listing: the paged readdir and the handle-based interface
// (opendir, readdir, readdir_ex, seekdir, telldir, closedir).
//
// A listing always starts with the two synthetic entries "." (the directory
// itself) and ".." (its parent), followed by the children as readDirEnt
// returns them. A DirHandle is a snapshot taken at opendir; the store keeps no
// list of open handles and takes no item lock for listing.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

// The record length reported in every dirent: the size of the whole record,
// whatever the name's length, because callers get one fixed record back.
constexpr unsigned short DIRENT_RECLEN = 280;
static_assert(sizeof(struct dirent) == DIRENT_RECLEN, "dirent layout of x86-64 Linux expected");

// Longest name copied into d_name; the byte after it is always NUL.
constexpr size_t DIRENT_NAME_MAX = 255;
static_assert(sizeof(((struct dirent*)nullptr)->d_name) > DIRENT_NAME_MAX);

// Where the inode number's digits begin in an object GUID; getattr reads
// st_ino the same way, so that d_ino and st_ino agree.
constexpr size_t INODE_DIGITS_OFFSET = 16;

ino_t inodeFromGuid(const guid_t& guid) {
  if (guid.size() <= INODE_DIGITS_OFFSET) return 0;
  return static_cast<ino_t>(std::strtoul(guid.c_str() + INODE_DIGITS_OFFSET, nullptr, 16));
}

void fillDirent(struct dirent& out, const std::pair<guid_t, std::string>& entry, uint64_t index) {
  out.d_ino = inodeFromGuid(entry.first);
  out.d_off = static_cast<off_t>(index);
  out.d_reclen = DIRENT_RECLEN;
  out.d_type = DT_UNKNOWN;  // readdir_ex gives the type to those who need it
  const size_t length = std::min(entry.second.size(), DIRENT_NAME_MAX);
  std::memcpy(out.d_name, entry.second.data(), length);
  std::memset(out.d_name + length, 0, sizeof(out.d_name) - length);
}

bool isDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

CZnError ObjectStore::readdir(ItemName& dir, GuidPathList& out, size_t offset, size_t max,
                              bool& done) {
  OSLOG(3, "[%s] readdir [%s] [%s] off=[%ld]", rootName_.c_str(), dir.objGuid.c_str(),
        dir.path.c_str(), static_cast<long>(offset));
  TimeFunction timer("readdir", PERF_READDIR);
  done = false;
  out.clear();

  guid_t parent;
  CZnError err = readDirEnt(out, parent, done, dir, offset, max);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't read directory entry [%s] [%s]", rootName_.c_str(),
             dir.objGuid.c_str(), dir.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // Every page starts with "." and ".."; offset and max count children only.
  const guid_t self = dir.getObjGuid(*this);
  out.insert(out.begin(), {parent, ".."});
  out.insert(out.begin(), {self, "."});
  return CZnError::Success;
}

CZnError ObjectStore::opendir(DirHandle** handle, ItemName& dir) {
  OSLOG(3, "[%s] opendir [%s] [%s]", rootName_.c_str(), dir.objGuid.c_str(), dir.path.c_str());
  if (handle == nullptr)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No place for the handle of [%s]",
                                   dir.path.c_str());
  *handle = new (std::nothrow) DirHandle;
  if (*handle == nullptr) {
    OSLOG(-1, "[%s] Error: Can't allocate directory handle for [%s]", rootName_.c_str(),
          dir.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't allocate directory handle");
  }
  // The handle is the caller's either way; closedir releases it.
  bool done = false;
  return readdir(dir, (*handle)->entries, 0, DIRENT_READ_ALL, done);
}

CZnError ObjectStore::readdir(DirHandle* handle, struct dirent** out, guid_t& guid) {
  if (handle == nullptr || out == nullptr)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "readdir without a handle");
  if (handle->position >= handle->entries.size()) {
    *out = nullptr;
    return CZnError::Success;
  }
  const auto& entry = handle->entries[handle->position];
  guid = entry.first;
  fillDirent(handle->current, entry, handle->position);
  ++handle->position;
  *out = &handle->current;
  OSLOG(5, "readdir [%s] [%s]", entry.first.c_str(), entry.second.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::readdir_ex(DirHandle* handle, struct dirent** out, guid_t& guid,
                                 struct stat& st, uint64_t* cookie) {
  if (handle == nullptr || out == nullptr)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "readdir_ex without a handle");
  // Without a cookie the handle's own position is used.
  if (cookie != nullptr) handle->position = *cookie;
  CZnError err = readdir(handle, out, guid);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: could not get child.");
    OSLOG_ERR(err);
    return err;
  }
  if (cookie != nullptr) *cookie = handle->position;
  if (*out == nullptr || isDotOrDotDot((*out)->d_name)) return CZnError::Success;

  ItemName child(guid, guid == rootGuid_);
  return getattr(child, st);
}

CZnError ObjectStore::seekdir(DirHandle* handle, unsigned long position) {
  if (handle == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "seekdir without a handle");
  // No bounds check: a position past the end makes the next readdir report
  // the end.
  handle->position = position;
  return CZnError::Success;
}

CZnError ObjectStore::telldir(const DirHandle* handle, unsigned long& position) {
  if (handle == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "telldir without a handle");
  position = static_cast<unsigned long>(handle->position);
  return CZnError::Success;
}

CZnError ObjectStore::closedir(const DirHandle* handle) {
  delete handle;  // null is accepted
  return CZnError::Success;
}

}  // namespace ObjectStore
