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
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class DiskCachePruner;
class DiskCacheMigrator;
class SegmentFiles;

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
  // size, buffer). EEXIST when the segment exists; ENOSPC when full.
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
  // Replaces the segment's content by exactly these sections.
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
  // Moves a non-prunable segment into the share's prunable area.
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

 private:
  friend class DiskCachePruner;
  std::string cacheDir_;
  std::unique_ptr<SegmentFiles> files_;
  std::unique_ptr<DiskCachePruner> pruner_;
};

}  // namespace ObjectStore
