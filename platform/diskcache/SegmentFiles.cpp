#include "platform/diskcache/SegmentFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// Directories below the cache directory that hold no segments.
bool isReservedTopDir(const std::string& name) { return name == "recycle" || name == ".tmp"; }

// The deepest directory level the start-up scan descends to (areas are a few
// components deep; anything deeper is not ours).
constexpr int MAX_SCAN_DEPTH = 16;

AreaKind conventionalKind(const std::string& area) {
  if (area == "noprune" || area.rfind("noprune/", 0) == 0) return AreaKind::NoPrune;
  if (area.rfind("views/", 0) == 0) return AreaKind::View;
  return AreaKind::Share;
}

}  // namespace

OpenSegment::~OpenSegment() {
  if (loaded) openCount->fetch_sub(1);
}

void SegmentHandle::release() {
  if (shared_.owns_lock()) shared_.unlock();
  if (exclusive_.owns_lock()) exclusive_.unlock();
  segment_.reset();
}

SegmentFiles::SegmentFiles(std::string cacheDir, size_t openLimit)
    : cacheDir_(std::move(cacheDir)),
      shardOpenLimit_(openLimit / SHARD_COUNT > 0 ? openLimit / SHARD_COUNT : 1) {}

SegmentFiles::~SegmentFiles() = default;

std::string SegmentFiles::keyOf(const std::string& area, const std::string& name) {
  // One allocation: every segment access forms its key.
  std::string key;
  key.reserve(area.size() + name.size() + 4);
  key.append(area).append(1, '/').append(name, 0, 2).append(1, '/').append(name);
  return key;
}

std::string SegmentFiles::areaOfKey(const std::string& key) {
  size_t last = key.rfind('/');
  if (last == std::string::npos || last == 0) return std::string();
  size_t prefix = key.rfind('/', last - 1);
  return prefix == std::string::npos ? std::string() : key.substr(0, prefix);
}

size_t SegmentFiles::shardIndexOf(const std::string& key) {
  return std::hash<std::string>{}(key) % SHARD_COUNT;
}

CacheArea* SegmentFiles::area(const std::string& rel, AreaKind kind) {
  std::lock_guard<std::mutex> guard(areasMutex_);
  auto& slot = areas_[rel];
  if (!slot) slot = std::make_unique<CacheArea>(rel);
  slot->kind.store(static_cast<int>(kind));
  return slot.get();
}

CacheArea* SegmentFiles::findArea(const std::string& rel) {
  std::lock_guard<std::mutex> guard(areasMutex_);
  auto it = areas_.find(rel);
  return it == areas_.end() ? nullptr : it->second.get();
}

std::vector<CacheArea*> SegmentFiles::areas() {
  std::lock_guard<std::mutex> guard(areasMutex_);
  std::vector<CacheArea*> out;
  for (auto& [rel, area] : areas_) out.push_back(area.get());
  return out;
}

uint64_t SegmentFiles::nonPrunableBytes() {
  std::lock_guard<std::mutex> guard(areasMutex_);
  uint64_t total = 0;
  for (auto& [rel, area] : areas_)
    if (area->getKind() == AreaKind::NoPrune) total += area->bytes.load();
  return total;
}

void SegmentFiles::scan() {
  DIR* dir = opendir(cacheDir_.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> tops;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || isReservedTopDir(name)) continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      tops.push_back(name);
  }
  closedir(dir);
  for (const std::string& top : tops) scanDir(top, 1);
}

void SegmentFiles::scanDir(const std::string& rel, int depth) {
  DIR* dir = opendir((cacheDir_ + "/" + rel).c_str());
  if (dir == nullptr) {
    OSLOG(-1, "Error: Can't scan [%s/%s]: %s", cacheDir_.c_str(), rel.c_str(), strerror(errno));
    return;
  }
  std::vector<std::string> subdirs;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (depth < MAX_SCAN_DEPTH) subdirs.push_back(name);
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    // A segment file sits in the directory named after its first two
    // characters; anything else here is not ours and is left alone.
    size_t slash = rel.rfind('/');
    if (slash == std::string::npos || rel.compare(slash + 1, std::string::npos, name, 0, 2) != 0)
      continue;
    std::string areaRel = rel.substr(0, slash);
    int64_t mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    add(rel + "/" + name, area(areaRel, conventionalKind(areaRel)),
        static_cast<uint64_t>(st.st_size), mtimeNs);
  }
  closedir(dir);
  for (const std::string& sub : subdirs) scanDir(rel + "/" + sub, depth + 1);
}

bool SegmentFiles::exists(const std::string& key) {
  Shard& shard = shardOf(key);
  std::lock_guard<std::mutex> guard(shard.mutex);
  return shard.records.count(key) != 0;
}

std::shared_ptr<OpenSegment> SegmentFiles::newSegment(const std::string& key) {
  return std::make_shared<OpenSegment>(key, &openFiles_);
}

std::shared_ptr<OpenSegment> SegmentFiles::acquire(const std::string& key) {
  // Declared before the guard: evicted entries close their files after the
  // shard mutex is released.
  std::vector<std::shared_ptr<OpenSegment>> evicted;
  Shard& shard = shardOf(key);
  std::lock_guard<std::mutex> guard(shard.mutex);
  auto record = shard.records.find(key);
  if (record == shard.records.end()) return nullptr;
  auto found = shard.open.find(key);
  if (found != shard.open.end()) {
    shard.lru.splice(shard.lru.begin(), shard.lru, found->second);
    return *found->second;
  }
  auto segment = newSegment(key);
  segment->record = record->second;
  shard.lru.push_front(segment);
  shard.open[key] = shard.lru.begin();
  evictIdle(shard, evicted);
  return segment;
}

void SegmentFiles::evictIdle(Shard& shard, std::vector<std::shared_ptr<OpenSegment>>& evicted) {
  // An entry is idle when the list holds its only reference: references are
  // handed out only under the shard mutex, so nobody can be about to use it.
  for (auto it = shard.lru.end(); shard.open.size() > shardOpenLimit_ && it != shard.lru.begin();) {
    --it;
    if (it->use_count() != 1) continue;
    shard.open.erase((*it)->key);
    evicted.push_back(std::move(*it));
    it = shard.lru.erase(it);
  }
}

void SegmentFiles::eraseOpen(Shard& shard, const OpenSegment* segment) {
  auto it = shard.open.find(segment->key);
  if (it == shard.open.end() || it->second->get() != segment) return;
  shard.lru.erase(it->second);
  shard.open.erase(it);
}

void SegmentFiles::removeRecord(Shard& shard, const std::string& key, const SegmentRecord* record) {
  auto it = shard.records.find(key);
  if (it == shard.records.end() || (record != nullptr && it->second.get() != record)) return;
  SegmentRecord& r = *it->second;
  r.removed = true;
  usedBytes_.fetch_sub(r.bytes);
  r.area->bytes.fetch_sub(r.bytes);
  r.area->files.fetch_sub(1);
  fileCount_.fetch_sub(1);
  shard.records.erase(it);
}

CZnError SegmentFiles::open(const std::vector<std::string>& areas, const std::string& name,
                            Access access, bool load, SegmentHandle& out) {
  out.release();
  for (const std::string& areaRel : areas) {
    if (areaRel.empty()) continue;
    std::string key = keyOf(areaRel, name);
    while (true) {
      std::shared_ptr<OpenSegment> segment = acquire(key);
      if (!segment) break;  // not in this area
      if (access == Access::Shared) {
        std::shared_lock<std::shared_mutex> lock(segment->mutex);
        if (segment->retired) continue;
        if (segment->loaded || !load) {
          out.segment_ = std::move(segment);
          out.shared_ = std::move(lock);
          return CZnError::Success;
        }
      }
      std::unique_lock<std::shared_mutex> lock(segment->mutex);
      if (segment->retired) continue;
      if (load && !segment->loaded) {
        CZnError err = segment->file.load(absPath(key));
        Shard& shard = shardOf(key);
        if (err.failed()) {
          {
            std::lock_guard<std::mutex> guard(shard.mutex);
            eraseOpen(shard, segment.get());
            // The file went away behind our back: forget it, try the next area.
            if (err.errNo() == ENOENT) removeRecord(shard, key, segment->record.get());
          }
          segment->retired = true;
          if (err.errNo() == ENOENT) break;
          return err;
        }
        segment->loaded = true;
        openFiles_.fetch_add(1);
        setBytes(*segment->record, segment->file.fileSize());
      }
      if (access == Access::Shared) continue;  // now loaded: take it shared
      out.segment_ = std::move(segment);
      out.exclusive_ = std::move(lock);
      return CZnError::Success;
    }
  }
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Segment [%s] not found", name.c_str());
}

void SegmentFiles::add(const std::string& key, CacheArea* area, uint64_t bytes, int64_t lastUseNs,
                       std::shared_ptr<OpenSegment> segment) {
  std::vector<std::shared_ptr<OpenSegment>> stale, evicted;
  {
    const size_t index = shardIndexOf(key);
    Shard& shard = shards_[index];
    std::lock_guard<std::mutex> guard(shard.mutex);
    removeRecord(shard, key, nullptr);
    auto record = std::make_shared<SegmentRecord>();
    record->area = area;
    record->shard = static_cast<uint8_t>(index);
    record->bytes = bytes;
    record->lastUseNs.store(lastUseNs);
    record->sequence = sequence_.fetch_add(1);
    shard.records[key] = record;
    usedBytes_.fetch_add(bytes);
    area->bytes.fetch_add(bytes);
    area->files.fetch_add(1);
    fileCount_.fetch_add(1);
    // An open entry left for this key describes a file that is gone.
    if (auto it = shard.open.find(key); it != shard.open.end()) {
      stale.push_back(*it->second);
      shard.lru.erase(it->second);
      shard.open.erase(it);
    }
    if (segment) {
      segment->record = record;
      segment->loaded = true;
      openFiles_.fetch_add(1);
      shard.lru.push_front(std::move(segment));
      shard.open[key] = shard.lru.begin();
      evictIdle(shard, evicted);
    }
  }
  for (auto& old : stale) {
    std::unique_lock<std::shared_mutex> lock(old->mutex);
    old->retired = true;
  }
}

void SegmentFiles::forget(SegmentHandle& handle) {
  OpenSegment& segment = handle.segment();
  Shard& shard = shardOf(segment.key);
  {
    std::lock_guard<std::mutex> guard(shard.mutex);
    removeRecord(shard, segment.key, segment.record.get());
    eraseOpen(shard, &segment);
  }
  segment.retired = true;
}

void SegmentFiles::retire(SegmentHandle& handle) {
  OpenSegment& segment = handle.segment();
  Shard& shard = shardOf(segment.key);
  {
    std::lock_guard<std::mutex> guard(shard.mutex);
    eraseOpen(shard, &segment);
  }
  segment.retired = true;
}

void SegmentFiles::setBytes(SegmentRecord& record, uint64_t bytes) {
  Shard& shard = shards_[record.shard];
  std::lock_guard<std::mutex> guard(shard.mutex);
  if (record.removed || record.bytes == bytes) return;
  // Unsigned wrap-around makes the delta right in both directions.
  uint64_t delta = bytes - record.bytes;
  record.bytes = bytes;
  usedBytes_.fetch_add(delta);
  record.area->bytes.fetch_add(delta);
}

uint64_t SegmentFiles::bytesOf(const SegmentRecord& record) {
  Shard& shard = shards_[record.shard];
  std::lock_guard<std::mutex> guard(shard.mutex);
  return record.bytes;
}

void SegmentFiles::dropArea(CacheArea* area, uint64_t before) {
  std::vector<std::shared_ptr<OpenSegment>> stale;
  for (Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.mutex);
    for (auto it = shard.lru.begin(); it != shard.lru.end();) {
      if ((*it)->record->area != area || (*it)->record->sequence >= before) {
        ++it;
        continue;
      }
      shard.open.erase((*it)->key);
      stale.push_back(std::move(*it));
      it = shard.lru.erase(it);
    }
    std::vector<std::string> keys;
    for (auto& [key, record] : shard.records)
      if (record->area == area && record->sequence < before) keys.push_back(key);
    for (const std::string& key : keys) removeRecord(shard, key, nullptr);
  }
  for (auto& segment : stale) {
    std::unique_lock<std::shared_mutex> lock(segment->mutex);
    segment->retired = true;
  }
}

void SegmentFiles::closeIdle(CacheArea* area) {
  std::vector<std::shared_ptr<OpenSegment>> idle;
  for (Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.mutex);
    for (auto it = shard.lru.begin(); it != shard.lru.end();) {
      if ((*it)->record->area != area || it->use_count() != 1) {
        ++it;
        continue;
      }
      shard.open.erase((*it)->key);
      idle.push_back(std::move(*it));
      it = shard.lru.erase(it);
    }
  }
}

std::vector<SegmentCandidate> SegmentFiles::candidates(bool (*wanted)(AreaKind)) {
  std::vector<SegmentCandidate> out;
  for (Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.mutex);
    for (auto& [key, record] : shard.records)
      if (wanted(record->area->getKind()))
        out.push_back(
            SegmentCandidate{key, nameOfKey(key), record->area, record->lastUseNs.load()});
  }
  return out;
}

}  // namespace ObjectStore
