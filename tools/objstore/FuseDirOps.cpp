// Directory listing for the mount: a directory handle is the container's
// snapshot of the listing taken at opendir ("." and ".." first), so the
// offsets handed to the kernel (position + 1) stay valid across calls.
#include <cerrno>
#include <cstring>

#include "platform/support/LogWriter.h"
#include "tools/objstore/FuseOps.h"

namespace ObjectStore::tool {

int FuseFs::opendir(fuse_ino_t inode, uint64_t& dirId) {
  ItemName item;
  std::string path;
  if (int rc = itemOf(inode, item, &path); rc != 0) return rc;
  if (path.empty()) return ENOENT;  // removed: no listing to take
  auto dir = std::make_shared<OpenDir>();
  dir->inode = inode;
  dir->path = path;
  CZnError err = container_.opendir(index_, &dir->handle, item);
  if (err.failed()) {
    // The handle is the caller's even when the listing failed.
    if (dir->handle != nullptr) (void)container_.closedir(index_, dir->handle);
    return errnoOf(err, "opendir", path);
  }
  std::lock_guard<std::mutex> guard(filesMutex_);
  dirId = nextId_++;
  dirs_.emplace(dirId, std::move(dir));
  return 0;
}

int FuseFs::readdir(fuse_req_t req, fuse_ino_t inode, uint64_t dirId, size_t size, off_t offset,
                    bool plus, std::vector<char>& buf) {
  std::shared_ptr<OpenDir> dir;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    auto it = dirs_.find(dirId);
    if (it == dirs_.end()) return EBADF;
    dir = it->second;
  }
  if (offset < 0) return EINVAL;
  buf.resize(size);
  size_t used = 0;
  std::lock_guard<std::mutex> guard(dir->mutex);
  const GuidPathList& entries = dir->handle->entries;
  for (size_t position = static_cast<size_t>(offset); position < entries.size(); ++position) {
    const auto& [guid, name] = entries[position];
    const off_t next = static_cast<off_t>(position + 1);
    const bool dot = name == ".";
    const bool dotdot = name == "..";
    if (FuseFs::isHiddenName(inode, name.c_str())) continue;
    if (!plus) {
      struct stat st {};
      st.st_ino = dot ? inode : inodes_.peek(guid);
      if (dotdot && st.st_ino == 0) st.st_ino = InodeTable::ROOT_INODE;  // above the root
      if (dot || dotdot) st.st_mode = S_IFDIR;  // other types: unknown until looked up
      const size_t need = fuse_add_direntry(req, nullptr, 0, name.c_str(), nullptr, 0);
      if (used + need > size) break;
      fuse_add_direntry(req, buf.data() + used, size - used, name.c_str(), &st, next);
      used += need;
      continue;
    }
    fuse_entry_param entry{};
    const size_t need = fuse_add_direntry_plus(req, nullptr, 0, name.c_str(), nullptr, 0);
    if (used + need > size) break;
    if (dot || dotdot) {
      // The kernel takes no reference for these: an entry without an inode
      // number tells it to leave them alone.
      entry.attr.st_mode = S_IFDIR;
      entry.attr.st_ino = dot ? inode : inodes_.peek(guid);
      if (entry.attr.st_ino == 0) entry.attr.st_ino = InodeTable::ROOT_INODE;  // above the root
      entry.ino = 0;
    } else {
      const std::string path = childPath(dir->path, name);
      ItemName child(path);
      child.objGuid = guid;
      struct stat st {};
      CZnError err = container_.getattr(index_, child, st);
      if (err.failed()) {
        // Gone since the listing was taken: leave it out, as a fresh listing would.
        OSLOG(4, "objstore mount: [%s] listed but not found: %s", path.c_str(),
              err.text().c_str());
        continue;
      }
      entry.ino = inodes_.remember(guid, path);
      st.st_ino = entry.ino;
      entry.attr = st;
      entry.attr_timeout = options_.attrTimeoutSec;
      entry.entry_timeout = options_.entryTimeoutSec;
    }
    fuse_add_direntry_plus(req, buf.data() + used, size - used, name.c_str(), &entry, next);
    used += need;
  }
  buf.resize(used);
  return 0;
}

int FuseFs::releasedir(uint64_t dirId) {
  std::shared_ptr<OpenDir> dir;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    auto it = dirs_.find(dirId);
    if (it == dirs_.end()) return EBADF;
    dir = std::move(it->second);
    dirs_.erase(it);
  }
  std::lock_guard<std::mutex> guard(dir->mutex);
  if (CZnError err = container_.closedir(index_, dir->handle); err.failed())
    return errnoOf(err, "closedir", dir->path);
  return 0;
}

}  // namespace ObjectStore::tool
