// DiskCache: segments (numbered, independently growable sections) kept in
// local files, with a pruner that frees space between watermarks.
//
// Every operation takes the calling store's DiskCacheContext and a segment
// name and returns a CZnError. Operations are virtual so that a test can wrap
// the real cache and fail one call (the container accepts a caller's cache).
//
// Files. A segment is one file, <area>/<first two characters of the name>/<name>
// under the cache directory (areas: DiskCacheTypes.h). The file starts with a
// header (DISK_CACHE_MAGIC, DISK_CACHE_VERSION, the section table with, per
// section, its number, its 32-bit word, its length and its placement, and a
// checksum of the header) followed by the section bytes. A segment is created
// by writing a temporary file and renaming it, so a crash never leaves a
// half-created segment. A file whose header or table is damaged is reported as
// an error (EIO) by every read, never as bytes.
//
// Watermarks (percent of the capacity: the cache volume's size, or a
// configured capacity, see setCapacity):
//   high  - when usage passes it, the pruner removes prunable segments
//           (least recently used first, or at random) until usage is below
//   low;
//   third - the most that non-prunable segments may occupy: creating or
//           growing a non-prunable segment beyond it fails with ENOSPC, so
//           local-only data can never fill the cache.
// Any creation fails with ENOSPC when the cache is full (usage at 100% after
// the pruner had its chance) or when setOutOfSpace(true) is in force.
// Usage is the sum of the segment files' sizes, known from a scan at init and
// kept current by every operation; recycled copies do not count.
//
// Durability. A created (or replaced) segment's image is fdatasync'ed before
// it is renamed into place, so after a power loss the segment is either
// absent or whole. Later writes reach stable storage only through
// syncSegment. Temporary images live in <cacheDir>/.tmp (cleared by init);
// recycled segments in <cacheDir>/recycle.
//
// Logging. Failures are logged as "%s: %s" with the error's two renderings:
// at level 4 for ENOSPC and for a missing segment (ENOENT, an expected miss
// the store repairs by restoring), at level -1 for everything else.
//
// Files of an area a registered context uses are managed by the cache alone;
// a whole area may be removed (the container's cleanup of a closed share)
// once no registered context uses it any more: the cache notices and forgets
// its segments when such a context registers again, or at the pruner's next
// check.
//
// Thread safety: every method may be called from any thread. Operations on
// different segments don't wait for each other; on one segment, reads and
// overwrites run in parallel, changes of its section table one at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diskcache/DiskCacheFaults.h"
#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class DiskCachePruner;
class DiskCacheMigrator;
class SegmentFiles;
class SegmentHandle;
class DiskCacheContexts;
class DiskCacheSpace;
struct DiskCacheCounters;
struct CacheArea;
struct ContextPaths;
enum class AreaKind;

class DiskCache {
 public:
  // persistentVolumes: kept for the platform's interface; the container passes 0.
  explicit DiskCache(int persistentVolumes = 0);
  virtual ~DiskCache();
  DiskCache(const DiskCache&) = delete;
  DiskCache& operator=(const DiskCache&) = delete;

  // Prepares cacheDir (created when missing; segments already there are
  // adopted) and starts the pruner. volumes lists the cache volumes (one:
  // cacheDir). lruSize is the number of open segment files kept ready.
  // The callback argument is unused (pruning asks each context's callback).
  virtual CZnError init(const std::string& cacheDir, const std::vector<std::string>& volumes,
                        int highWatermark, int lowWatermark, int thirdWatermark,
                        uint64_t lruSize, void* callback, PruningMode mode);

  // Creates the segment holding exactly these sections (each: number, word,
  // size, buffer). EEXIST when the segment exists; ENOSPC when full. The name
  // is a file name: EINVAL when it is empty, ".", "..", contains '/' or is
  // longer than 255 bytes. Section numbers 0..15 (at most 16 sections).
  // Placement: non-prunable (or ctx.keepAll) -> the noprune area, else the
  // view area when the context has one, else the share area.
  virtual CZnError createSegment(DiskCacheContext& ctx, const std::string& name,
                                 const std::vector<Section>& sections, bool reserved1,
                                 bool isNonPrunable, bool reserved2);
  virtual bool doesSegmentExist(DiskCacheContext& ctx, const std::string& name);
  // Fills each requested section's buffer from its offset (at most
  // bufferLength bytes) and sets its size to the bytes placed; a section that
  // does not exist gets size 0. `touch` is false only for the pruner's own
  // reads (they don't count as use). ENOENT when the segment is missing, EIO
  // when it is damaged.
  virtual CZnError readSections(DiskCacheContext& ctx, const std::string& name,
                                std::vector<Section>& sections, bool touch);
  // Every section, in the order they were first created.
  virtual CZnError readAllSections(DiskCacheContext& ctx, const std::string& name,
                                   std::vector<SectionV>& sections);
  // Writes each section's size bytes at its offset, creating or growing the
  // section as needed (a gap reads as zeros). ENOENT when the segment is
  // missing. forceDiskLoc: 0 normal, 1 extent of a backup-filtered file,
  // 2 restored segment (placement hints; the effects are the same).
  virtual CZnError writeSections(DiskCacheContext& ctx, const std::string& name,
                                 const std::vector<Section>& sections, bool reserved,
                                 int forceDiskLoc);
  // Replaces the segment's content by exactly these sections (a new image
  // renamed over the old one, in the area where it was). ENOENT when missing.
  virtual CZnError replaceSegment(DiskCacheContext& ctx, const std::string& name,
                                  const std::vector<Section>& sections);
  // Cuts (or zero-extends) a section to newLength. ENOENT when the segment is
  // missing; a missing section is created with that length.
  virtual CZnError truncateSection(DiskCacheContext& ctx, const std::string& name,
                                   int32_t section, int reserved, uint64_t newLength);
  // The stored length of a section (0 for a section that does not exist).
  virtual CZnError getSectionSize(uint64_t& size, DiskCacheContext& ctx, const std::string& name,
                                  int32_t section, int reserved);
  // Removes the segment. flagA: called by the store's own delete; flagB: the
  // discard-writes path (both informational). recycle != 0 moves the file to
  // <cacheDir>/recycle/ instead of removing it. ENOENT when missing.
  virtual CZnError deleteSegment(DiskCacheContext& ctx, const std::string& name, bool flagA,
                                 bool flagB, int recycle);
  // fdatasync of the segment's file.
  virtual CZnError syncSegment(DiskCacheContext& ctx, const std::string& name);
  // Moves a non-prunable segment into the share's prunable area (a view's
  // own area for a view). Success when it is already there; ENOENT when the
  // context has it in neither.
  virtual CZnError moveToPrunable(DiskCacheContext& ctx, const std::string& name);
  // Path of the segment's file (where it is, or where it would be created).
  virtual std::string guid2path(const std::string& name, uint16_t volumeIndex,
                                const std::string& contextName);
  // Path of the segment's file as seen by this context (its own areas first).
  virtual std::string segmentPath(DiskCacheContext& ctx, const std::string& name);

  // Registration: fills ctx.volumeIndex; the context must stay alive until
  // unregisterContext. The pruner asks registered contexts' callbacks.
  virtual CZnError registerContext(DiskCacheContext& ctx);
  virtual CZnError unregisterContext(DiskCacheContext& ctx);
  // Changes a registered context's non-prunable area and keepAll flag safely
  // while other threads use it.
  virtual CZnError updateContext(DiskCacheContext& ctx, const std::string& noprunePath,
                                 bool keepAll);

  virtual CZnError updateWatermarks(int highWatermark, int lowWatermark, int thirdWatermark);
  virtual CZnError getCurrentWatermarks(int& highWatermark, int& lowWatermark,
                                        int& thirdWatermark);
  // Forces (or lifts) the out-of-space state: every creation fails ENOSPC.
  virtual void setOutOfSpace(bool outOfSpace);
  virtual void getCounters(std::map<std::string, std::string>& counters);
  virtual void getStatus(std::map<std::string, std::string>& status);
  virtual void clearCounters();

  // Stops the pruner thread (idempotent); called by the container's destructor.
  virtual void shutdownPruner();
  // Copies the cache tree `from` into `to` (another container's cache). 0 or errno.
  virtual int startMigration(uint16_t volume, const std::string& from, const std::string& to);

  // Measure usage against this many bytes instead of the volume's size
  // (0 = the volume). Lets tests and small deployments exercise pruning.
  virtual void setCapacity(uint64_t bytes);
  // Bytes currently held by all segment files of the cache.
  virtual uint64_t usedBytes();
  // Runs one pruning pass now, on the caller's thread (tests, ops).
  virtual void pruneNow();

  const std::string& cacheDir() const { return cacheDir_; }

  // The capacity usage is measured against (setCapacity, else the volume).
  uint64_t capacityBytes();
  // How often the pruner thread checks usage when nobody wakes it (default
  // 1000 ms, or the configuration value "nDiskCachePruneIntervalMs" read by
  // init). Takes effect from the pruner's next wait.
  void setPruneInterval(uint32_t milliseconds);
  // How long a creation that finds the cache full waits for a pruning pass
  // before failing with ENOSPC (default 2000 ms). The pass runs on the pruner
  // thread, never on the caller's, because prune callbacks take store locks
  // the caller may hold; the bound keeps such a caller from waiting forever.
  void setPruneWait(uint32_t milliseconds);

  // Test facility: arms a fault that makes the nth call of an operation fail
  // (DiskCacheFaults.h says where each strikes). clearFaults disarms all.
  void setFaults(const DiskCacheFaults& fault);
  void clearFaults();

 private:
  friend class DiskCachePruner;

  // Checks that the cache is ready and the name usable as a file name, and
  // copies the context's areas.
  CZnError prepare(const DiskCacheContext& ctx, const std::string& name, ContextPaths& paths);
  // Pushes `what`, logs (level 4 for ENOSPC and a missing segment, else -1),
  // counts ENOSPC, and returns the error.
  CZnError report(CZnError err, const char* what, const std::string& name);
  CZnError checkCreateSpace(uint64_t bytes, bool nonPrunable, const std::string& name);
  CZnError checkGrowth(SegmentHandle& handle, uint64_t newFileSize, const std::string& name);
  // Writes a new image for `key` to a temporary file, syncs it and renames it
  // into place: over `replacing` when given, else only if none of
  // `lookupAreas` holds the name (EEXIST).
  CZnError installImage(const std::string& key, const std::string& name, CacheArea* area,
                        const std::vector<Section>& sections, SegmentHandle* replacing,
                        const std::vector<std::string>& lookupAreas);
  CacheArea* areaFor(const std::string& rel, AreaKind kind);
  // Removes a recorded file (the pruner's direct removal). False when the
  // file was no longer there.
  bool removeKey(const std::string& key);
  // Forgets the files of areas whose directory was removed behind the
  // cache's back (a share's cleanup); all areas, or only those given.
  void reconcileAreas(const std::vector<std::string>* only = nullptr);
  // Wakes the pruner when usage passed the high watermark.
  void afterGrowth();
  bool ready() const { return initialized_.load(std::memory_order_acquire); }

  std::string cacheDir_;
  std::unique_ptr<SegmentFiles> files_;  // set once by init, before initialized_
  std::unique_ptr<DiskCachePruner> pruner_;
  std::unique_ptr<DiskCacheContexts> contexts_;
  std::unique_ptr<DiskCacheSpace> space_;
  std::unique_ptr<DiskCacheCounters> counters_;
  DiskCacheFaultInjector faults_;
  std::atomic<bool> initialized_{false};
  std::atomic<uint64_t> tempSequence_{0};
  std::atomic<uint32_t> pruneWaitMs_{2000};
  std::atomic<uint32_t> pruneIntervalMs_{0};  // 0 = the configured default
  // Creation of a name checks every area the context looks in and then
  // renames into one of them; a stripe (by name hash) makes the two steps
  // atomic against another creation of the same name. Held only around the
  // check and the rename, never across I/O of the image; innermost.
  std::array<std::mutex, 64> createLocks_;
};

}  // namespace ObjectStore
