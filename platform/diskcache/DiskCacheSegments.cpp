// DiskCache: the segment operations (create, read, write, truncate, replace,
// delete, sync, move) on top of SegmentFiles and SegmentFile.
//
// Each operation copies the context's areas, finds and locks the segment
// (shared for reads, in-place writes and sync; exclusive when the section
// table or the file changes), does its I/O on the open descriptor and keeps
// the usage accounting current. No operation holds a lock while it waits for
// another thread, except the bounded wait for the pruner in a full cache,
// which holds no disk-cache lock at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/diskcache/DiskCache.h"
#include "platform/diskcache/DiskCacheContexts.h"
#include "platform/diskcache/DiskCacheCounters.h"
#include "platform/diskcache/DiskCachePruner.h"
#include "platform/diskcache/DiskCacheSpace.h"
#include "platform/diskcache/SegmentFiles.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace {

std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// rename() that fails with EEXIST instead of replacing an existing file.
int renameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // The file system can't do it atomically in one call: link() refuses an
  // existing name just as well.
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

// Renames into a segment directory, creating the directory when missing.
int renameInto(const std::string& from, const std::string& to, bool replace) {
  for (int attempt = 0;; ++attempt) {
    int rc = replace ? (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno)
                     : renameNoReplace(from, to);
    if (rc != ENOENT || attempt > 0) return rc;
    if (int made = createDir(parentOf(to)); made != 0) return made;
  }
}

// Syncs each directory from the one holding `key` up to the cache directory,
// so that a segment's name, and the directories made for it, survive a power
// loss.
CZnError syncDirectories(const std::string& cacheDir, const std::string& key) {
  std::string dir = cacheDir + "/" + key;
  do {
    dir = parentOf(dir);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int rc = fd < 0 ? errno : (fsync(fd) == 0 ? 0 : errno);
    if (fd >= 0) ::close(fd);
    if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't sync [%s]", dir.c_str());
  } while (dir.size() > cacheDir.size());
  return CZnError::Success;
}

uint64_t sumSizes(const std::vector<Section>& sections) {
  uint64_t total = 0;
  for (const Section& s : sections) total += s.size;
  return total;
}

uint64_t realTimeNs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000 + static_cast<uint64_t>(ts.tv_nsec);
}

CZnError injected(int errNo, const char* op, const std::string& name) {
  return FXErrorUtil::ErrorErrNo(FX_LOC, errNo, "Injected %s failure for [%s]", op, name.c_str());
}

}  // namespace

CZnError DiskCache::installImage(const std::string& key, const std::string& name,
                                 CacheArea* area, const std::vector<Section>& sections,
                                 SegmentHandle* replacing,
                                 const std::vector<std::string>& lookupAreas) {
  std::string tmp = cacheDir_ + "/.tmp/" + std::to_string(getpid()) + "." +
                    std::to_string(tempSequence_.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT && createDir(parentOf(tmp)) == 0)
    fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, err, "Can't create [%s]", tmp.c_str());
  }
  std::shared_ptr<OpenSegment> segment = files_->newSegment(key);
  CZnError err = segment->file.createImage(fd, tmp, sections);
  if (err.failed()) {
    ::close(fd);
    unlink(tmp.c_str());
    return err;
  }
  // A replacing image reaches stable storage before it takes the name, so a
  // power loss leaves the old content or the new, never a mix. A new segment
  // is not synced here: like a new file, it is durable once the caller syncs
  // it (syncSegment then syncs its name too). Its data sections are written
  // after it is created and unsynced anyway, so syncing the bare image would
  // buy nothing; a segment cut short by a power loss fails validation and is
  // treated like a missing one.
  if (replacing != nullptr) err = segment->file.sync();
  if (err.ok()) {
    if (int fault = faults_.check(replacing ? DiskCacheOp::Replace : DiskCacheOp::Create))
      err = injected(fault, replacing ? "replace" : "create", name);
  }
  std::string path = files_->absPath(key);
  std::unique_lock<std::mutex> createLock;
  if (err.ok() && replacing == nullptr) {
    createLock = std::unique_lock<std::mutex>(
        createLocks_[std::hash<std::string>{}(name) % createLocks_.size()]);
    for (const std::string& rel : lookupAreas)
      if (files_->exists(SegmentFiles::keyOf(rel, name)))
        err = FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Segment exists in [%s]", rel.c_str());
  }
  if (err.ok()) {
    if (int rc = renameInto(tmp, path, replacing != nullptr); rc != 0)
      err = FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't rename [%s] to [%s]", tmp.c_str(),
                                    path.c_str());
  }
  if (err.failed()) {
    unlink(tmp.c_str());
    return err;
  }
  segment->file.setPath(path);
  if (replacing != nullptr) files_->retire(*replacing);
  uint64_t bytes = segment->file.fileSize();
  std::shared_ptr<OpenSegment> added = segment;
  files_->add(key, area, bytes, clockNowNs(), std::move(segment));
  if (added->record) added->record->nameSynced.store(false);
  return CZnError::Success;
}

CZnError DiskCache::createSegment(DiskCacheContext& ctx, const std::string& name,
                                  const std::vector<Section>& sections, bool /*reserved1*/,
                                  bool isNonPrunable, bool /*reserved2*/) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok()) err = validateNewSections(sections);
  if (err.failed()) return report(err, "Error: Can't create segment", name);
  std::string rel = paths.placement(isNonPrunable);
  if (rel.empty())
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Context [%s] has no non-prunable area",
                                          paths.name.c_str()),
                  "Error: Can't create segment", name);
  std::vector<std::string> lookupAreas = paths.lookupAreas();
  // Checked again at the rename; this early check spares a full image.
  for (const std::string& area : lookupAreas) {
    if (files_->exists(SegmentFiles::keyOf(area, name)))
      return report(FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Segment exists in [%s]", area.c_str()),
                    "Error: Can't create segment", name);
  }
  AreaKind kind = rel == paths.noprune ? AreaKind::NoPrune
                                       : (paths.view.empty() ? AreaKind::Share : AreaKind::View);
  err = checkCreateSpace(SegmentFile::imageSize(sections), kind == AreaKind::NoPrune, name);
  if (err.ok())
    err = installImage(SegmentFiles::keyOf(rel, name), name, areaFor(rel, kind), sections, nullptr,
                       lookupAreas);
  if (err.failed()) return report(err, "Error: Can't create segment", name);
  counters_->creates.fetch_add(1);
  counters_->bytesWritten.fetch_add(sumSizes(sections));
  OSLOG(5, "Created segment [%s] in [%s]", name.c_str(), rel.c_str());
  afterGrowth();
  return CZnError::Success;
}

bool DiskCache::doesSegmentExist(DiskCacheContext& ctx, const std::string& name) {
  ContextPaths paths;
  if (prepare(ctx, name, paths).failed()) return false;
  for (const std::string& area : paths.lookupAreas())
    if (files_->exists(SegmentFiles::keyOf(area, name))) return true;
  return false;
}

CZnError DiskCache::readSections(DiskCacheContext& ctx, const std::string& name,
                                 std::vector<Section>& sections, bool touch) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Read)) err = injected(fault, "read", name);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Shared, true, handle);
  if (err.ok()) err = handle.file().read(sections);
  if (err.failed()) {
    if (err.errNo() != ENOENT) counters_->readErrors.fetch_add(1);
    return report(err, "Error: Can't read sections of", name);
  }
  if (touch) SegmentFiles::touch(handle.record(), clockNowNs());
  uint64_t bytes = 0;
  for (const Section& s : sections) bytes += s.size;
  counters_->reads.fetch_add(1);
  counters_->bytesRead.fetch_add(bytes);
  return CZnError::Success;
}

CZnError DiskCache::readAllSections(DiskCacheContext& ctx, const std::string& name,
                                    std::vector<SectionV>& sections) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Read)) err = injected(fault, "read", name);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Shared, true, handle);
  if (err.ok()) err = handle.file().readAll(sections);
  if (err.failed()) {
    if (err.errNo() != ENOENT) counters_->readErrors.fetch_add(1);
    return report(err, "Error: Can't read all sections of", name);
  }
  SegmentFiles::touch(handle.record(), clockNowNs());
  uint64_t bytes = 0;
  for (const SectionV& s : sections) bytes += s.data.size();
  counters_->reads.fetch_add(1);
  counters_->bytesRead.fetch_add(bytes);
  return CZnError::Success;
}

CZnError DiskCache::checkGrowth(SegmentHandle& handle, uint64_t newFileSize,
                                const std::string& name) {
  uint64_t size = handle.file().fileSize();
  if (newFileSize <= size || handle.record().area->getKind() != AreaKind::NoPrune)
    return CZnError::Success;
  if (space_->nonPrunableFits(files_->nonPrunableBytes() + (newFileSize - size)))
    return CZnError::Success;
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC,
                                 "Non-prunable segments would pass the third watermark [%s]",
                                 name.c_str());
}

CZnError DiskCache::writeSections(DiskCacheContext& ctx, const std::string& name,
                                  const std::vector<Section>& sections, bool /*reserved*/,
                                  int /*forceDiskLoc*/) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Write)) err = injected(fault, "write", name);
  std::vector<std::string> areas = paths.lookupAreas();
  SegmentHandle handle;
  if (err.ok()) err = files_->open(areas, name, SegmentFiles::Access::Shared, true, handle);
  bool grew = false;
  if (err.ok() && handle.file().fitsInPlace(sections)) {
    // Overwrites inside the sections' lengths leave the table alone, so they
    // run side by side with readers and other such writers.
    err = handle.file().writeInPlace(sections);
  } else if (err.ok()) {
    handle.release();
    err = files_->open(areas, name, SegmentFiles::Access::Exclusive, true, handle);
    if (err.ok()) {
      uint64_t before = handle.file().fileSize();
      err = handle.file().write(sections, [&](uint64_t newFileSize) {
        return checkGrowth(handle, newFileSize, name);
      });
      files_->setBytes(handle.record(), handle.file().fileSize());
      grew = handle.file().fileSize() > before;
    }
  }
  if (err.failed()) {
    if (err.errNo() != ENOENT && err.errNo() != ENOSPC) counters_->writeErrors.fetch_add(1);
    return report(err, "Error: Can't write sections of", name);
  }
  SegmentFiles::touch(handle.record(), clockNowNs());
  handle.release();
  counters_->writes.fetch_add(1);
  counters_->bytesWritten.fetch_add(sumSizes(sections));
  if (grew) afterGrowth();
  return CZnError::Success;
}

CZnError DiskCache::replaceSegment(DiskCacheContext& ctx, const std::string& name,
                                   const std::vector<Section>& sections) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok()) err = validateNewSections(sections);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Exclusive, false, handle);
  if (err.ok()) {
    std::string key = handle.key();
    err = installImage(key, name, handle.record().area, sections, &handle, {});
  }
  if (err.failed()) return report(err, "Error: Can't replace segment", name);
  counters_->replaces.fetch_add(1);
  counters_->bytesWritten.fetch_add(sumSizes(sections));
  afterGrowth();
  return CZnError::Success;
}

CZnError DiskCache::truncateSection(DiskCacheContext& ctx, const std::string& name,
                                    int32_t section, int /*reserved*/, uint64_t newLength) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Truncate)) err = injected(fault, "truncate", name);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Exclusive, true, handle);
  if (err.ok()) err = checkGrowth(handle, handle.file().planTruncate(section, newLength), name);
  if (err.ok()) {
    err = handle.file().truncate(section, newLength);
    files_->setBytes(handle.record(), handle.file().fileSize());
  }
  if (err.failed()) return report(err, "Error: Can't truncate section of", name);
  SegmentFiles::touch(handle.record(), clockNowNs());
  counters_->truncates.fetch_add(1);
  return CZnError::Success;
}

CZnError DiskCache::getSectionSize(uint64_t& size, DiskCacheContext& ctx, const std::string& name,
                                   int32_t section, int /*reserved*/) {
  size = 0;
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Shared, true, handle);
  if (err.failed()) return report(err, "Error: Can't get section size of", name);
  size = handle.file().sectionLength(section);
  return CZnError::Success;
}

CZnError DiskCache::deleteSegment(DiskCacheContext& ctx, const std::string& name, bool /*flagA*/,
                                  bool /*flagB*/, int recycle) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Delete)) err = injected(fault, "delete", name);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Exclusive, false, handle);
  if (err.failed()) return report(err, "Error: Can't delete segment", name);
  std::string path = files_->absPath(handle.key());
  int rc = 0;
  std::string kept;
  if (recycle != 0) {
    // Keep the file aside under a name that can't collide with an earlier copy.
    std::string base = cacheDir_ + "/recycle/" + name.substr(0, 200) + ".";
    for (uint64_t ns = realTimeNs();; ++ns) {
      kept = base + std::to_string(ns);
      rc = renameInto(path, kept, false);
      if (rc != EEXIST) break;
    }
  } else if (unlink(path.c_str()) != 0) {
    rc = errno;
  }
  if (rc == 0 || rc == ENOENT) files_->forget(handle);  // gone either way
  if (rc != 0)
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't remove [%s]", path.c_str()),
                  "Error: Can't delete segment", name);
  counters_->deletes.fetch_add(1);
  if (recycle != 0) {
    counters_->recycled.fetch_add(1);
    OSLOG(5, "Recycled segment [%s] to [%s]", name.c_str(), kept.c_str());
  } else {
    OSLOG(5, "Deleted segment [%s]", path.c_str());
  }
  return CZnError::Success;
}

bool DiskCache::removeKey(const std::string& key) {
  SegmentHandle handle;
  std::string area = SegmentFiles::areaOfKey(key);
  std::string name = SegmentFiles::nameOfKey(key);
  if (files_->open({area}, name, SegmentFiles::Access::Exclusive, false, handle).failed())
    return false;
  std::string path = files_->absPath(key);
  int rc = unlink(path.c_str()) == 0 ? 0 : errno;
  if (rc == 0 || rc == ENOENT) files_->forget(handle);
  if (rc != 0 && rc != ENOENT)
    OSLOG(-1, "Error: Can't remove [%s]: %s", path.c_str(), strerror(rc));
  return rc == 0;
}

CZnError DiskCache::syncSegment(DiskCacheContext& ctx, const std::string& name) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  SegmentHandle handle;
  if (err.ok())
    err = files_->open(paths.lookupAreas(), name, SegmentFiles::Access::Shared, true, handle);
  if (err.ok()) {
    if (int fault = faults_.check(DiskCacheOp::Sync))
      err = injected(fault, "sync", name);
    else
      err = handle.file().sync();
  }
  if (err.ok() && !handle.record().nameSynced.load()) {
    err = syncDirectories(cacheDir_, handle.key());
    if (err.ok()) {
      handle.record().nameSynced.store(true);
      counters_->nameSyncs.fetch_add(1);
    }
  }
  if (err.failed()) return report(err, "Error: Can't sync segment", name);
  counters_->syncs.fetch_add(1);
  return CZnError::Success;
}

CZnError DiskCache::moveToPrunable(DiskCacheContext& ctx, const std::string& name) {
  ContextPaths paths;
  CZnError err = prepare(ctx, name, paths);
  if (err.ok())
    if (int fault = faults_.check(DiskCacheOp::Move)) err = injected(fault, "move", name);
  if (err.failed()) return report(err, "Error: Can't make prunable", name);
  std::string target = paths.prunableArea();
  std::string targetKey = SegmentFiles::keyOf(target, name);
  SegmentHandle source;
  err = paths.noprune.empty() ? FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "No non-prunable area")
                              : files_->open({paths.noprune}, name,
                                             SegmentFiles::Access::Exclusive, false, source);
  if (err.failed()) {
    if (err.errNo() == ENOENT && files_->exists(targetKey)) return CZnError::Success;
    return report(err, "Error: Can't make prunable", name);
  }
  // Lock order: the non-prunable source before the prunable destination.
  SegmentHandle destination;
  CZnError found =
      files_->open({target}, name, SegmentFiles::Access::Exclusive, false, destination);
  std::string from = files_->absPath(source.key());
  std::string to = files_->absPath(targetKey);
  // No creation of the name may slip in while it is in neither area.
  std::lock_guard<std::mutex> createLock(
      createLocks_[std::hash<std::string>{}(name) % createLocks_.size()]);
  if (int rc = renameInto(from, to, true); rc != 0)
    return report(FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't rename [%s] to [%s]", from.c_str(),
                                          to.c_str()),
                  "Error: Can't make prunable", name);
  uint64_t bytes = files_->bytesOf(source.record());
  int64_t lastUse = source.record().lastUseNs.load();
  if (found.ok()) files_->forget(destination);
  files_->forget(source);
  AreaKind kind = paths.view.empty() ? AreaKind::Share : AreaKind::View;
  files_->add(targetKey, areaFor(target, kind), bytes, lastUse);
  counters_->moves.fetch_add(1);
  OSLOG(5, "Moved [%s] to [%s]", from.c_str(), to.c_str());
  afterGrowth();
  return CZnError::Success;
}

std::string DiskCache::guid2path(const std::string& name, uint16_t /*volumeIndex*/,
                                 const std::string& contextName) {
  return cacheDir_ + "/" + SegmentFiles::keyOf(contextName, name);
}

std::string DiskCache::segmentPath(DiskCacheContext& ctx, const std::string& name) {
  ContextPaths paths;
  if (contexts_->snapshot(ctx, paths).failed()) return std::string();
  if (ready()) {
    for (const std::string& area : paths.lookupAreas()) {
      std::string key = SegmentFiles::keyOf(area, name);
      if (files_->exists(key)) return files_->absPath(key);
    }
  }
  return cacheDir_ + "/" + SegmentFiles::keyOf(paths.placement(false), name);
}

}  // namespace ObjectStore
