// The kernel's requests: one handler per low-level operation, each calling
// the FuseFs member of the same name and sending exactly one reply.
#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "platform/support/LogWriter.h"
#include "tools/objstore/FuseOps.h"

namespace ObjectStore::tool {

namespace {

FuseFs& fsOf(fuse_req_t req) { return *static_cast<FuseFs*>(fuse_req_userdata(req)); }

// Runs the member; an exception (out of memory, a bug) becomes an errno
// instead of unwinding into libfuse.
template <class Fn>
int guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (const std::exception& e) {
    OSLOG(-1, "objstore mount: unexpected exception: %s", e.what());
    return EIO;
  } catch (...) {
    OSLOG(-1, "objstore mount: unexpected exception");
    return EIO;
  }
}

void replyEntryOrError(fuse_req_t req, int rc, const fuse_entry_param& entry) {
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_entry(req, &entry);
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_entry_param entry{};
  const int rc = guarded([&] { return fsOf(req).lookup(parent, name, entry); });
  replyEntryOrError(req, rc, entry);
}

void opForget(fuse_req_t req, fuse_ino_t inode, uint64_t count) {
  (void)guarded([&] {
    fsOf(req).forget(inode, count);
    return 0;
  });
  fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  (void)guarded([&] {
    for (size_t i = 0; i < count; ++i) fsOf(req).forget(forgets[i].ino, forgets[i].nlookup);
    return 0;
  });
  fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  (void)fi;
  struct stat st {};
  const int rc = guarded([&] { return fsOf(req).getattr(inode, st); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_attr(req, &st, fsOf(req).attrTimeout());
}

void opSetattr(fuse_req_t req, fuse_ino_t inode, struct stat* attr, int toSet,
               fuse_file_info* fi) {
  struct stat st {};
  const int rc = guarded(
      [&] { return fsOf(req).setattr(inode, *attr, toSet, fi, fuse_req_ctx(req)->uid, st); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_attr(req, &st, fsOf(req).attrTimeout());
}

void opReadlink(fuse_req_t req, fuse_ino_t inode) {
  std::string target;
  const int rc = guarded([&] { return fsOf(req).readlink(inode, target); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_readlink(req, target.c_str());
}

void opMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
  (void)rdev;
  fuse_entry_param entry{};
  const int rc =
      guarded([&] { return fsOf(req).mknod(parent, name, mode, *fuse_req_ctx(req), entry); });
  replyEntryOrError(req, rc, entry);
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  fuse_entry_param entry{};
  const int rc =
      guarded([&] { return fsOf(req).mkdir(parent, name, mode, *fuse_req_ctx(req), entry); });
  replyEntryOrError(req, rc, entry);
}

void opSymlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
  fuse_entry_param entry{};
  const int rc =
      guarded([&] { return fsOf(req).symlink(target, parent, name, *fuse_req_ctx(req), entry); });
  replyEntryOrError(req, rc, entry);
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_reply_err(req, guarded([&] { return fsOf(req).unlink(parent, name); }));
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_reply_err(req, guarded([&] { return fsOf(req).rmdir(parent, name); }));
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
              const char* newName, unsigned int flags) {
  fuse_reply_err(
      req, guarded([&] { return fsOf(req).rename(parent, name, newParent, newName, flags); }));
}

// Hard links would give one object two paths; the store has one name per
// object.
void opLink(fuse_req_t req, fuse_ino_t inode, fuse_ino_t newParent, const char* newName) {
  (void)inode;
  (void)newParent;
  (void)newName;
  fuse_reply_err(req, EPERM);
}

void opOpen(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  const int rc = guarded([&] { return fsOf(req).open(inode, *fi); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else if (fuse_reply_open(req, fi) == -ENOENT)
    (void)fsOf(req).release(inode, fi->fh);  // the opener was interrupted: nobody owns it
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
              fuse_file_info* fi) {
  fuse_entry_param entry{};
  const int rc = guarded(
      [&] { return fsOf(req).create(parent, name, mode, *fuse_req_ctx(req), *fi, entry); });
  if (rc != 0) {
    fuse_reply_err(req, rc);
  } else if (fuse_reply_create(req, &entry, fi) == -ENOENT) {
    (void)fsOf(req).release(entry.ino, fi->fh);
    fsOf(req).forget(entry.ino, 1);
  }
}

void opRead(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* fi) {
  std::vector<char> data;
  const int rc = guarded([&] { return fsOf(req).read(inode, size, offset, fi->fh, data); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_buf(req, data.data(), data.size());
}

void opWrite(fuse_req_t req, fuse_ino_t inode, const char* buf, size_t size, off_t offset,
             fuse_file_info* fi) {
  size_t written = 0;
  const int rc =
      guarded([&] { return fsOf(req).write(inode, buf, size, offset, fi->fh, written); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_write(req, written);
}

// The store keeps an open file's size in its open record and writes it back
// at close; a flush (one close(2) of many) has nothing to push out.
void opFlush(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  (void)inode;
  (void)fi;
  fuse_reply_err(req, 0);
}

void opRelease(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  fuse_reply_err(req, guarded([&] { return fsOf(req).release(inode, fi->fh); }));
}

void opFsync(fuse_req_t req, fuse_ino_t inode, int dataOnly, fuse_file_info* fi) {
  (void)fi;
  fuse_reply_err(req, guarded([&] { return fsOf(req).fsync(inode, dataOnly != 0); }));
}

void opStatfs(fuse_req_t req, fuse_ino_t inode) {
  (void)inode;
  struct statvfs out {};
  const int rc = guarded([&] { return fsOf(req).statfs(out); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_statfs(req, &out);
}

void opOpendir(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  uint64_t id = 0;
  const int rc = guarded([&] { return fsOf(req).opendir(inode, id); });
  if (rc != 0) {
    fuse_reply_err(req, rc);
    return;
  }
  fi->fh = id;
  if (fuse_reply_open(req, fi) == -ENOENT) (void)fsOf(req).releasedir(id);
}

void replyDir(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* fi,
              bool plus) {
  std::vector<char> buf;
  const int rc =
      guarded([&] { return fsOf(req).readdir(req, inode, fi->fh, size, offset, plus, buf); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_buf(req, buf.data(), buf.size());
}

void opReaddir(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info* fi) {
  replyDir(req, inode, size, offset, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t inode, size_t size, off_t offset,
                   fuse_file_info* fi) {
  replyDir(req, inode, size, offset, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi) {
  (void)inode;
  fuse_reply_err(req, guarded([&] { return fsOf(req).releasedir(fi->fh); }));
}

void opFsyncdir(fuse_req_t req, fuse_ino_t inode, int dataOnly, fuse_file_info* fi) {
  (void)fi;
  fuse_reply_err(req, guarded([&] { return fsOf(req).fsync(inode, dataOnly != 0); }));
}

void opSetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, const char* value,
                size_t size, int flags) {
  fuse_reply_err(req,
                 guarded([&] { return fsOf(req).setxattr(inode, name, value, size, flags); }));
}

void opGetxattr(fuse_req_t req, fuse_ino_t inode, const char* name, size_t size) {
  std::vector<unsigned char> value;
  const int rc = guarded([&] { return fsOf(req).getxattr(inode, name, value); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else if (size == 0)
    fuse_reply_xattr(req, value.size());
  else if (value.size() > size)
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, reinterpret_cast<const char*>(value.data()), value.size());
}

void opListxattr(fuse_req_t req, fuse_ino_t inode, size_t size) {
  std::string names;
  const int rc = guarded([&] { return fsOf(req).listxattr(inode, names); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else if (size == 0)
    fuse_reply_xattr(req, names.size());
  else if (names.size() > size)
    fuse_reply_err(req, ERANGE);
  else
    fuse_reply_buf(req, names.data(), names.size());
}

void opRemovexattr(fuse_req_t req, fuse_ino_t inode, const char* name) {
  fuse_reply_err(req, guarded([&] { return fsOf(req).removexattr(inode, name); }));
}

void opGetlk(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi, struct flock* lock) {
  const int rc = guarded([&] { return fsOf(req).getlk(inode, fi->fh, fi->lock_owner, *lock); });
  if (rc != 0)
    fuse_reply_err(req, rc);
  else
    fuse_reply_lock(req, lock);
}

void opSetlk(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi, struct flock* lock,
             int sleep) {
  fuse_reply_err(req, guarded([&] {
                   return fsOf(req).setlk(req, inode, fi->fh, fi->lock_owner, *lock, sleep != 0);
                 }));
}

void opFlock(fuse_req_t req, fuse_ino_t inode, fuse_file_info* fi, int op) {
  fuse_reply_err(req,
                 guarded([&] { return fsOf(req).flock(req, inode, fi->fh, fi->lock_owner, op); }));
}

// Larger requests than the kernel's default of 128 KiB: a 1 MiB write then
// reaches the store as one write of one whole extent, not eight pieces, and
// sequential reads are read ahead as far. libfuse lowers both to what the
// kernel and its buffer allow.
constexpr unsigned LARGE_REQUEST_BYTES = 1024 * 1024;

void opInit(void* /*userdata*/, fuse_conn_info* conn) {
  conn->max_write = LARGE_REQUEST_BYTES;
  conn->max_read = 0;  // no limit beyond max_write's
  conn->max_readahead = LARGE_REQUEST_BYTES;
  // A write through the mount moves the file's mtime in the store; with
  // automatic invalidation the kernel takes the new mtime, at its next
  // attribute refresh, for a change made elsewhere and drops the pages the
  // write has just cached. Opens decide instead, from the store's
  // attributes (KernelCacheTable).
  conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
}

fuse_lowlevel_ops makeOperations() {
  fuse_lowlevel_ops ops{};
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.forget_multi = opForgetMulti;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.readlink = opReadlink;
  ops.mknod = opMknod;
  ops.mkdir = opMkdir;
  ops.symlink = opSymlink;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.rename = opRename;
  ops.link = opLink;
  ops.open = opOpen;
  ops.create = opCreate;
  ops.read = opRead;
  ops.write = opWrite;
  ops.flush = opFlush;
  ops.release = opRelease;
  ops.fsync = opFsync;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.readdirplus = opReaddirplus;
  ops.releasedir = opReleasedir;
  ops.fsyncdir = opFsyncdir;
  ops.statfs = opStatfs;
  ops.setxattr = opSetxattr;
  ops.getxattr = opGetxattr;
  ops.listxattr = opListxattr;
  ops.removexattr = opRemovexattr;
  ops.getlk = opGetlk;
  ops.setlk = opSetlk;
  ops.flock = opFlock;
  // Not set, so that the kernel answers them itself: access (the kernel's
  // default_permissions checks), fallocate, copy_file_range, lseek, bmap,
  // ioctl and poll (ENOSYS, which callers fall back from).
  return ops;
}

}  // namespace

const fuse_lowlevel_ops& FuseFs::operations() {
  static const fuse_lowlevel_ops ops = makeOperations();
  return ops;
}

}  // namespace ObjectStore::tool
