#include "tools/objstore/KernelCacheTable.h"

namespace ObjectStore::tool {

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void KernelCacheTable::take(Known& known, const std::string& guid, const struct stat& st) {
  known.guid = guid;
  known.size = st.st_size;
  known.mtime = st.st_mtim;
  known.ctime = st.st_ctim;
}

bool KernelCacheTable::same(const Known& known, const std::string& guid, const struct stat& st) {
  return known.guid == guid && known.size == st.st_size && sameTime(known.mtime, st.st_mtim) &&
         sameTime(known.ctime, st.st_ctim);
}

bool KernelCacheTable::keepOnOpen(uint64_t inode, const std::string& guid,
                                  const struct stat& st, bool truncating) {
  std::lock_guard<std::mutex> guard(mutex_);
  Known& known = known_[inode];
  if (!truncating && known.trusted && same(known, guid, st)) return true;
  take(known, guid, st);
  known.trusted = true;
  return false;
}

void KernelCacheTable::closed(uint64_t inode, const std::string& guid, const struct stat& st) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = known_.find(inode);
  // An entry whose object changed under the same number stays as it is: its
  // next open compares against the old object and drops the cache.
  if (it == known_.end() || !it->second.trusted || it->second.guid != guid) return;
  take(it->second, guid, st);
}

void KernelCacheTable::distrust(uint64_t inode) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = known_.find(inode);
  if (it != known_.end()) it->second.trusted = false;
}

void KernelCacheTable::forget(uint64_t inode) {
  std::lock_guard<std::mutex> guard(mutex_);
  known_.erase(inode);
}

size_t KernelCacheTable::size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return known_.size();
}

}  // namespace ObjectStore::tool
