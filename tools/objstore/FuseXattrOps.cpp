// Extended attributes for the mount. The store answers ENOENT for a name the
// item does not have; the kernel's callers expect ENODATA for that.
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/objstore/FuseOps.h"

namespace ObjectStore::tool {

namespace {

// Largest value the kernel lets through one request.
constexpr size_t XATTR_VALUE_MAX = 65536;

// "system." attributes (POSIX ACLs above all) mean something to the kernel;
// kept as plain bytes they would be shown ("+" in ls) but never enforced,
// and a copy tool that could set them would not set the mode bits instead.
// Refusing them makes such tools fall back to chmod.
bool isSystemName(const char* name) { return strncmp(name, "system.", 7) == 0; }

}  // namespace

int FuseFs::setxattr(fuse_ino_t inode, const char* name, const char* value, size_t size,
                     int flags) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  if ((flags & ~(XATTR_CREATE | XATTR_REPLACE)) != 0) return EINVAL;
  if (isSystemName(name)) return EOPNOTSUPP;
  if (size > XATTR_VALUE_MAX) return E2BIG;
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  const std::vector<unsigned char> bytes(value, value + size);
  // The check and the change go together, so that two XATTR_CREATE calls
  // can't both succeed.
  std::lock_guard<std::mutex> guard(xattrMutex_);
  if ((flags & (XATTR_CREATE | XATTR_REPLACE)) != 0) {
    std::vector<std::string> names;
    if (CZnError err = container_.listxattr(index_, item, names); err.failed())
      return errnoOf(err, "listxattr", item.path);
    const bool present = std::find(names.begin(), names.end(), name) != names.end();
    if ((flags & XATTR_CREATE) != 0 && present) return EEXIST;
    if ((flags & XATTR_REPLACE) != 0 && !present) return ENODATA;
  }
  if (CZnError err = container_.setxattr(index_, item, name, bytes); err.failed())
    return errnoOf(err, "setxattr", item.path);
  return 0;
}

int FuseFs::getxattr(fuse_ino_t inode, const char* name, std::vector<unsigned char>& value) {
  if (isSystemName(name)) return EOPNOTSUPP;
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  if (CZnError err = container_.getxattr(index_, item, name, value); err.failed()) {
    if (err.errNo() == ENOENT) return ENODATA;
    return errnoOf(err, "getxattr", item.path);
  }
  return 0;
}

int FuseFs::listxattr(fuse_ino_t inode, std::string& names) {
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  std::vector<std::string> list;
  if (CZnError err = container_.listxattr(index_, item, list); err.failed())
    return errnoOf(err, "listxattr", item.path);
  names.clear();
  for (const std::string& n : list) {
    if (isSystemName(n.c_str())) continue;  // none are set through the mount
    names += n;
    names.push_back('\0');
  }
  return 0;
}

int FuseFs::removexattr(fuse_ino_t inode, const char* name) {
  if (int rc = refuseWhenReadOnly(); rc != 0) return rc;
  if (isSystemName(name)) return EOPNOTSUPP;
  ItemName item;
  if (int rc = itemOf(inode, item); rc != 0) return rc;
  std::lock_guard<std::mutex> guard(xattrMutex_);
  // The store removes a missing name without complaint; removexattr(2)
  // answers ENODATA.
  std::vector<std::string> names;
  if (CZnError err = container_.listxattr(index_, item, names); err.failed())
    return errnoOf(err, "listxattr", item.path);
  if (std::find(names.begin(), names.end(), name) == names.end()) return ENODATA;
  if (CZnError err = container_.removexattr(index_, item, name); err.failed()) {
    if (err.errNo() == ENOENT) return ENODATA;
    return errnoOf(err, "removexattr", item.path);
  }
  return 0;
}

}  // namespace ObjectStore::tool
