#include "tools/objstore/FuseOps.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "platform/support/LogWriter.h"

namespace ObjectStore::tool {

namespace {

// Names of files unlinked while open, in the root directory.
constexpr char HIDDEN_PREFIX[] = ".objstore-unlinked-";

bool isWriteOpen(int flags) {
  const int mode = flags & O_ACCMODE;
  return mode == O_WRONLY || mode == O_RDWR;
}

// Errors that answer a request in the normal course of things (a name that
// is not there, a directory that is not empty...): not worth a log line.
bool isExpected(int errNo) {
  switch (errNo) {
    case ENOENT:
    case EEXIST:
    case ENOTEMPTY:
    case ENOTDIR:
    case EISDIR:
    case EAGAIN:
    case ENODATA:
    case ERANGE:
    case EROFS:
    case ENAMETOOLONG:
    case EINVAL:
      return true;
    default:
      return false;
  }
}

timeval toTimeval(const timespec& ts) {
  timeval tv{};
  tv.tv_sec = ts.tv_sec;
  tv.tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  return tv;
}

timeval nowTimeval() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

}  // namespace

FuseFs::FuseFs(ObjectContainer& container, ObjectStoreIndex index, bool readOnly,
               const std::string& rootGuid, FuseFsOptions options)
    : container_(container),
      index_(index),
      readOnly_(readOnly),
      options_(options),
      inodes_(rootGuid) {}

FuseFs::~FuseFs() { (void)closeAll(); }

// ---------------------------------------------------------------------------
// Helpers

int FuseFs::errnoOf(const CZnError& err, const char* what, const std::string& path) const {
  int errNo = err.errNo();
  if (errNo == 0) errNo = EIO;
  // The store answers EPERM for any change to a view that can't take one.
  if (readOnly_ && errNo == EPERM) errNo = EROFS;
  if (!isExpected(errNo)) {
    OSLOG(-1, "objstore mount: %s [%s] failed: %s: %s", what, path.c_str(), err.text().c_str(),
          err.chain().c_str());
  } else {
    OSLOG(4, "objstore mount: %s [%s]: %s", what, path.c_str(), err.text().c_str());
  }
  return errNo;
}

int FuseFs::itemOf(fuse_ino_t inode, ItemName& item, std::string* path) const {
  InodeTable::Entry entry;
  if (!inodes_.find(inode, entry)) return ENOENT;
  item = ItemName();
  item.objGuid = entry.guid;
  item.path = entry.path;
  item.isRoot = inode == InodeTable::ROOT_INODE;
  if (path != nullptr) *path = entry.path;
  return 0;
}

int FuseFs::childOf(fuse_ino_t parent, const char* name, std::string& parentPath,
                    std::string& path) const {
  InodeTable::Entry entry;
  if (!inodes_.find(parent, entry)) return ENOENT;
  if (entry.path.empty()) return ENOENT;  // the directory was removed
  if (strchr(name, '/') != nullptr) return EINVAL;
  if (strlen(name) > NAME_MAX) return ENAMETOOLONG;
  if (isHiddenName(parent, name)) return EPERM;  // reserved for files unlinked while open
  parentPath = entry.path;
  path = childPath(entry.path, name);
  return 0;
}

int FuseFs::statItem(ItemName& item, fuse_ino_t inode, struct stat& st) {
  st = {};
  if (CZnError err = container_.getattr(index_, item, st); err.failed())
    return errnoOf(err, "getattr", item.path);
  st.st_ino = inode;
  return 0;
}

int FuseFs::entryOf(const std::string& path, fuse_entry_param& entry) {
  entry = {};
  ItemName item(path);
  struct stat st {};
  if (CZnError err = container_.getattr(index_, item, st); err.failed())
    return errnoOf(err, "lookup", path);
  if (item.objGuid.empty()) return ENOENT;
  entry.ino = inodes_.remember(item.objGuid, path);
  st.st_ino = entry.ino;
  entry.attr = st;
  entry.generation = 0;
  entry.attr_timeout = options_.attrTimeoutSec;
  entry.entry_timeout = options_.entryTimeoutSec;
  return 0;
}

int FuseFs::giveToCaller(const std::string& path, const fuse_ctx& ctx) {
  ItemName item(path);
  struct stat st {};
  if (CZnError err = container_.getattr(index_, item, st); err.failed())
    return errnoOf(err, "getattr", path);
  if (st.st_uid == ctx.uid && st.st_gid == ctx.gid) return 0;
  if (CZnError err = container_.chown(index_, item, ctx.uid, ctx.gid); err.failed())
    return errnoOf(err, "chown", path);
  return 0;
}

std::shared_ptr<FuseFs::OpenFile> FuseFs::file(uint64_t fileId) const {
  std::lock_guard<std::mutex> guard(filesMutex_);
  auto it = files_.find(fileId);
  return it == files_.end() ? nullptr : it->second;
}

uint64_t FuseFs::addFile(std::shared_ptr<OpenFile> open) {
  std::lock_guard<std::mutex> guard(filesMutex_);
  const uint64_t id = nextId_++;
  files_.emplace(id, std::move(open));
  return id;
}

// ---------------------------------------------------------------------------
// Files unlinked while open

bool FuseFs::isHiddenName(fuse_ino_t parent, const char* name) {
  return parent == InodeTable::ROOT_INODE &&
         strncmp(name, HIDDEN_PREFIX, sizeof(HIDDEN_PREFIX) - 1) == 0;
}

int FuseFs::hideIfOpen(const std::string& path, const std::string& guid, bool& hidden) {
  hidden = false;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    bool open = false;
    for (const auto& [id, file] : files_) open = open || file->guid == guid;
    if (!open) return 0;
  }
  const std::string hiddenPath = "/" + std::string(HIDDEN_PREFIX) + guid;
  if (CZnError err = container_.rename(index_, path, hiddenPath, false); err.failed())
    return errnoOf(err, "rename to hide", path);
  inodes_.renamed(path, hiddenPath);
  hidden = true;
  bool closedMeanwhile = false;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    hidden_[guid] = hiddenPath;
    closedMeanwhile = true;
    for (const auto& [id, file] : files_) closedMeanwhile = closedMeanwhile && file->guid != guid;
  }
  if (closedMeanwhile) removeHiddenIfClosed(guid);
  return 0;
}

void FuseFs::removeHiddenIfClosed(const std::string& guid) {
  std::string hiddenPath;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    auto it = hidden_.find(guid);
    if (it == hidden_.end()) return;
    for (const auto& [id, file] : files_)
      if (file->guid == guid) return;
    hiddenPath = it->second;
    hidden_.erase(it);
  }
  ItemName item(hiddenPath);
  if (CZnError err = container_.unlink(index_, item); err.failed())
    (void)errnoOf(err, "unlink of a hidden file", hiddenPath);  // logged; nobody to tell
  inodes_.removed(hiddenPath);
}

size_t FuseFs::removeLeftoverUnlinked() {
  if (readOnly_) return 0;
  std::vector<std::string> leftovers;
  ItemName root(std::string(1, '/'));
  bool done = false;
  for (size_t offset = 0; !done;) {
    GuidPathList page;
    if (CZnError err = container_.readdir(index_, root, page, offset, 1000, done); err.failed()) {
      OSLOG_ERR(err);
      break;
    }
    size_t children = 0;
    for (const auto& [guid, name] : page) {
      if (name == "." || name == "..") continue;
      ++children;
      if (isHiddenName(InodeTable::ROOT_INODE, name.c_str())) leftovers.push_back("/" + name);
    }
    if (children == 0) break;
    offset += children;
  }
  size_t removed = 0;
  for (const std::string& path : leftovers) {
    ItemName item(path);
    if (CZnError err = container_.unlink(index_, item); err.failed())
      OSLOG_ERR(err);
    else
      ++removed;
  }
  return removed;
}

// ---------------------------------------------------------------------------
// Names and attributes

int FuseFs::lookup(fuse_ino_t parent, const char* name, fuse_entry_param& entry) {
  if (isHiddenName(parent, name)) return ENOENT;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  return entryOf(path, entry);
}

void FuseFs::forget(fuse_ino_t inode, uint64_t count) {
  if (inodes_.forget(inode, count) == 0) kernelCache_.forget(inode);
}

int FuseFs::getattr(fuse_ino_t inode, struct stat& st) {
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  return statItem(item, inode, st);
}

int FuseFs::setattr(fuse_ino_t inode, const struct stat& wanted, int toSet, fuse_file_info* fi,
                    uid_t caller, struct stat& st) {
  (void)caller;  // default_permissions: the kernel has checked the caller
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  struct stat current {};
  if (int rc = statItem(item, inode, current); rc != 0) return rc;

  if ((toSet & FUSE_SET_ATTR_MODE) != 0) {
    if (CZnError err = container_.chmod(index_, item, wanted.st_mode & 07777); err.failed())
      return errnoOf(err, "chmod", item.path);
  }
  if ((toSet & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
    const uid_t uid = (toSet & FUSE_SET_ATTR_UID) != 0 ? wanted.st_uid : current.st_uid;
    const gid_t gid = (toSet & FUSE_SET_ATTR_GID) != 0 ? wanted.st_gid : current.st_gid;
    if (CZnError err = container_.chown(index_, item, uid, gid); err.failed())
      return errnoOf(err, "chown", item.path);
  }
  if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
    if (S_ISDIR(current.st_mode)) return EISDIR;
    if (!S_ISREG(current.st_mode)) return EINVAL;
    // Through an open write handle (ftruncate, O_TRUNC) the size goes into
    // the version being written; a path truncate starts a new version so
    // that views keep the earlier contents.
    bool throughWriter = false;
    if (fi != nullptr) {
      if (auto open = file(fi->fh); open != nullptr) throughWriter = open->handle.isWrite;
    }
    const uint64_t size = wanted.st_size < 0 ? 0 : static_cast<uint64_t>(wanted.st_size);
    if (CZnError err = container_.truncate(index_, item, size, !throughWriter); err.failed()) {
      kernelCache_.distrust(inode);  // a cut may have gone part of the way
      return errnoOf(err, "truncate", item.path);
    }
  }
  if ((toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW |
                FUSE_SET_ATTR_MTIME_NOW)) != 0) {
    // A time that is not given (UTIME_OMIT) keeps its current value.
    timeval atime = toTimeval(current.st_atim);
    timeval mtime = toTimeval(current.st_mtim);
    const timeval now = nowTimeval();
    if ((toSet & FUSE_SET_ATTR_ATIME_NOW) != 0)
      atime = now;
    else if ((toSet & FUSE_SET_ATTR_ATIME) != 0)
      atime = toTimeval(wanted.st_atim);
    if ((toSet & FUSE_SET_ATTR_MTIME_NOW) != 0)
      mtime = now;
    else if ((toSet & FUSE_SET_ATTR_MTIME) != 0)
      mtime = toTimeval(wanted.st_mtim);
    if (CZnError err = container_.utimes(index_, item, atime, mtime); err.failed())
      return errnoOf(err, "utimes", item.path);
  }
  // FUSE_SET_ATTR_CTIME: the store stamps the change time itself.
  return statItem(item, inode, st);
}

int FuseFs::readlink(fuse_ino_t inode, std::string& target) {
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  if (CZnError err = container_.readLink(index_, item, target); err.failed())
    return errnoOf(err, "readlink", item.path);
  return 0;
}

// ---------------------------------------------------------------------------
// Creating and removing

int FuseFs::mknod(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
                  fuse_entry_param& entry) {
  // The store keeps regular files, directories and links only. A regular
  // file made through mknod is simply created; devices, FIFOs and sockets
  // are refused rather than silently recorded as regular files.
  if (!S_ISREG(mode)) return EPERM;
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName parentItem;
  if (int rc = itemOf(parent, parentItem); rc != 0) return rc;
  ItemName item;
  if (CZnError err = container_.create(index_, parentItem, item, name, mode & 07777); err.failed())
    return errnoOf(err, "create", path);
  if (int rc = giveToCaller(path, ctx); rc != 0) return rc;
  return entryOf(path, entry);
}

int FuseFs::mkdir(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
                  fuse_entry_param& entry) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName parentItem;
  if (int rc = itemOf(parent, parentItem); rc != 0) return rc;
  ItemName item;
  if (CZnError err = container_.mkdir(index_, parentItem, item, name, mode & 07777); err.failed())
    return errnoOf(err, "mkdir", path);
  if (int rc = giveToCaller(path, ctx); rc != 0) return rc;
  return entryOf(path, entry);
}

int FuseFs::symlink(const char* target, fuse_ino_t parent, const char* name, const fuse_ctx& ctx,
                    fuse_entry_param& entry) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName parentItem;
  if (int rc = itemOf(parent, parentItem); rc != 0) return rc;
  ItemName item;
  if (CZnError err = container_.createSymbolicLink(index_, parentItem, name, item, target);
      err.failed())
    return errnoOf(err, "symlink", path);
  if (int rc = giveToCaller(path, ctx); rc != 0) return rc;
  return entryOf(path, entry);
}

int FuseFs::unlink(fuse_ino_t parent, const char* name) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName item(path);
  struct stat st {};
  if (CZnError err = container_.getattr(index_, item, st); err.failed())
    return errnoOf(err, "unlink", path);
  if (S_ISDIR(st.st_mode)) return EISDIR;
  bool hidden = false;
  if (int rc = hideIfOpen(path, item.objGuid, hidden); rc != 0 || hidden) return rc;
  ItemName again(path);
  if (CZnError err = container_.unlink(index_, again); err.failed())
    return errnoOf(err, "unlink", path);
  inodes_.removed(path);
  return 0;
}

int FuseFs::rmdir(fuse_ino_t parent, const char* name) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName item(path);
  if (CZnError err = container_.rmdir(index_, item); err.failed())
    return errnoOf(err, "rmdir", path);
  inodes_.removed(path);
  return 0;
}

int FuseFs::rename(fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
                   unsigned int flags) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  // Swapping two names is not something the store can do in one step.
  if ((flags & RENAME_EXCHANGE) != 0) return EINVAL;
  if ((flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) != 0) return EINVAL;
  std::string parentPath, from, newParentPath, to;
  if (int rc = childOf(parent, name, parentPath, from); rc != 0) return rc;
  if (int rc = childOf(newParent, newName, newParentPath, to); rc != 0) return rc;

  ItemName source(from);
  struct stat sourceSt {};
  if (CZnError err = container_.getattr(index_, source, sourceSt); err.failed())
    return errnoOf(err, "rename", from);
  ItemName dest(to);
  struct stat destSt {};
  const bool destExists = container_.getattr(index_, dest, destSt).ok() && !dest.objGuid.empty();
  if (destExists) {
    if ((flags & RENAME_NOREPLACE) != 0) return EEXIST;
    if (dest.objGuid == source.objGuid) return 0;  // the same item: nothing to do
    // rename(2) replaces; it never moves a file into a directory of that
    // name (the store's own rename would, as mv does).
    if (S_ISDIR(destSt.st_mode) && !S_ISDIR(sourceSt.st_mode)) return EISDIR;
    if (!S_ISDIR(destSt.st_mode) && S_ISDIR(sourceSt.st_mode)) return ENOTDIR;
    // A replaced file that is still open lives on for its handles.
    if (!S_ISDIR(destSt.st_mode)) {
      bool hidden = false;
      if (int rc = hideIfOpen(to, dest.objGuid, hidden); rc != 0) return rc;
    }
  }
  if (CZnError err = container_.rename(index_, from, to, false); err.failed()) {
    // The store reports a non-empty destination directory as EEXIST.
    if (err.errNo() == EEXIST && destExists && S_ISDIR(destSt.st_mode)) return ENOTEMPTY;
    return errnoOf(err, "rename", from);
  }
  if (destExists) inodes_.removed(to);
  inodes_.renamed(from, to);
  return 0;
}

// ---------------------------------------------------------------------------
// Files

int FuseFs::open(fuse_ino_t inode, fuse_file_info& fi) {
  const bool write = isWriteOpen(fi.flags);
  if (write) {
    if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  }
  auto open = std::make_shared<OpenFile>();
  open->inode = inode;
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  const std::string path = item.path;
  // A write open starts a new version, so that point-in-time views keep
  // what the file held before. While another handle writes the file no new
  // version can be started: this one then joins the version being written.
  CZnError err = container_.open(index_, open->handle, item, fi.flags, write);
  if (write && err.errNo() == EAGAIN) {
    ItemName again;
    if (int rc = itemOf(inode, again); rc != 0) return rc;
    err = container_.open(index_, open->handle, again, fi.flags, false);
  }
  if (err.failed()) return errnoOf(err, "open", path);
  if (write && (fi.flags & O_TRUNC) != 0) {
    ItemName truncated;
    if (itemOf(inode, truncated) == 0) {
      err = container_.truncate(index_, truncated, 0, false);
      if (err.failed()) {
        const int rc = errnoOf(err, "truncate", path);
        (void)container_.close(index_, open->handle);  // the open failed: nothing to report
        return rc;
      }
    }
  }
  open->guid = open->handle.name.objGuid;
  // Reading a file again straight from the kernel's cache is what makes a
  // mount's reads as fast as a local file system's; the table says when the
  // cache can still be trusted.
  bool keep = false;
  struct stat st {};
  if (getattr(inode, st) == 0)
    keep = kernelCache_.keepOnOpen(inode, open->guid, st, (fi.flags & O_TRUNC) != 0);
  else
    kernelCache_.distrust(inode);
  fi.fh = addFile(std::move(open));
  fi.keep_cache = keep ? 1 : 0;
  return 0;
}

int FuseFs::create(fuse_ino_t parent, const char* name, mode_t mode, const fuse_ctx& ctx,
                   fuse_file_info& fi, fuse_entry_param& entry) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  std::string parentPath, path;
  if (int rc = childOf(parent, name, parentPath, path); rc != 0) return rc;
  ItemName parentItem;
  if (int rc = itemOf(parent, parentItem); rc != 0) return rc;
  auto open = std::make_shared<OpenFile>();
  struct stat st {};
  st.st_mode = S_IFREG | (mode & 07777);
  if (CZnError err =
          container_.createAndOpen(index_, open->handle, parentItem, name, st, fi.flags);
      err.failed())
    return errnoOf(err, "create", path);
  int rc = giveToCaller(path, ctx);
  if (rc == 0) rc = entryOf(path, entry);
  if (rc != 0) {
    (void)container_.close(index_, open->handle);  // already failing: the first error is reported
    return rc;
  }
  open->inode = entry.ino;
  open->guid = open->handle.name.objGuid;
  // A new file: nothing is cached yet, and what the kernel caches from its
  // writes on is trusted.
  (void)kernelCache_.keepOnOpen(entry.ino, open->guid, entry.attr, true);
  fi.fh = addFile(std::move(open));
  return 0;
}

int FuseFs::read(fuse_ino_t inode, size_t size, off_t offset, uint64_t fileId,
                 std::vector<char>& out) {
  (void)inode;
  auto open = file(fileId);
  if (open == nullptr) return EBADF;
  out.resize(size);
  uint64_t got = 0;
  std::lock_guard<std::mutex> guard(open->mutex);
  if (CZnError err = container_.read(index_, open->handle, out.data(),
                                     static_cast<uint64_t>(offset), size, got);
      err.failed())
    return errnoOf(err, "read", open->handle.name.path);
  out.resize(got);
  return 0;
}

int FuseFs::write(fuse_ino_t inode, const char* buf, size_t size, off_t offset, uint64_t fileId,
                  size_t& written) {
  (void)inode;
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  auto open = file(fileId);
  if (open == nullptr) return EBADF;
  if (!open->handle.isWrite) return EBADF;
  uint64_t len = size;
  std::lock_guard<std::mutex> guard(open->mutex);
  if (CZnError err = container_.write(index_, open->handle, buf, len,
                                      static_cast<uint64_t>(offset), NO_SYNC);
      err.failed()) {
    kernelCache_.distrust(open->inode);
    return errnoOf(err, "write", open->handle.name.path);
  }
  written = len;
  return 0;
}

int FuseFs::release(fuse_ino_t inode, uint64_t fileId) {
  (void)inode;
  std::shared_ptr<OpenFile> open;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    auto it = files_.find(fileId);
    if (it == files_.end()) return EBADF;
    open = std::move(it->second);
    files_.erase(it);
  }
  dropLocksOf(fileId);
  CZnError err;
  {
    std::lock_guard<std::mutex> guard(open->mutex);
    err = container_.close(index_, open->handle);
  }
  struct stat st {};
  if (err.ok() && getattr(open->inode, st) == 0)
    kernelCache_.closed(open->inode, open->guid, st);
  else
    kernelCache_.distrust(open->inode);
  removeHiddenIfClosed(open->guid);
  if (err.failed()) return errnoOf(err, "close", open->handle.name.path);
  return 0;
}

int FuseFs::fsync(fuse_ino_t inode, bool dataOnly) {
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  CZnError err =
      dataOnly ? container_.fdatasync(index_, item) : container_.fsync(index_, item);
  if (err.failed()) return errnoOf(err, "fsync", item.path);
  return 0;
}

int FuseFs::statfs(struct statvfs& out) {
  struct statfs buf {};
  if (CZnError err = container_.statfs(index_, buf); err.failed())
    return errnoOf(err, "statfs", "/");
  out = {};
  out.f_bsize = static_cast<unsigned long>(buf.f_bsize);
  out.f_frsize = static_cast<unsigned long>(buf.f_frsize != 0 ? buf.f_frsize : buf.f_bsize);
  out.f_blocks = buf.f_blocks;
  out.f_bfree = buf.f_bfree;
  out.f_bavail = buf.f_bavail;
  out.f_files = buf.f_files;
  out.f_ffree = buf.f_ffree;
  out.f_favail = buf.f_ffree;
  out.f_namemax = buf.f_namelen != 0 ? static_cast<unsigned long>(buf.f_namelen) : NAME_MAX;
  out.f_flag = readOnly_ ? ST_RDONLY : 0;
  return 0;
}

size_t FuseFs::closeAll() {
  std::map<uint64_t, std::shared_ptr<OpenFile>> files;
  std::map<uint64_t, std::shared_ptr<OpenDir>> dirs;
  {
    std::lock_guard<std::mutex> guard(filesMutex_);
    files.swap(files_);
    dirs.swap(dirs_);
  }
  {
    std::lock_guard<std::mutex> guard(locksMutex_);
    heldLocks_.clear();
  }
  for (auto& [id, open] : files) {
    std::lock_guard<std::mutex> guard(open->mutex);
    if (CZnError err = container_.close(index_, open->handle); err.failed())
      OSLOG_ERR(err);
  }
  for (auto& [id, dir] : dirs) {
    std::lock_guard<std::mutex> guard(dir->mutex);
    if (CZnError err = container_.closedir(index_, dir->handle); err.failed()) OSLOG_ERR(err);
  }
  for (auto& [id, open] : files) removeHiddenIfClosed(open->guid);
  return files.size() + dirs.size();
}

}  // namespace ObjectStore::tool
