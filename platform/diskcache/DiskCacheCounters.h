// DiskCacheCounters: the disk cache's operation counters, lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace ObjectStore {

struct DiskCacheCounters {
  std::atomic<uint64_t> creates{0};
  std::atomic<uint64_t> replaces{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> truncates{0};
  std::atomic<uint64_t> deletes{0};
  std::atomic<uint64_t> recycled{0};
  std::atomic<uint64_t> syncs{0};
  std::atomic<uint64_t> nameSyncs{0};  // syncs that also synced a new segment's directories
  std::atomic<uint64_t> moves{0};
  std::atomic<uint64_t> readErrors{0};
  std::atomic<uint64_t> writeErrors{0};
  std::atomic<uint64_t> enospc{0};
  std::atomic<uint64_t> pruned{0};
  std::atomic<uint64_t> pruneRefused{0};
  std::atomic<uint64_t> prunePasses{0};
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<uint64_t> bytesWritten{0};

  // Calls f(key, counter) for every counter.
  template <typename F>
  void forEach(F&& f) {
    f("diskCache.creates", creates);
    f("diskCache.replaces", replaces);
    f("diskCache.reads", reads);
    f("diskCache.writes", writes);
    f("diskCache.truncates", truncates);
    f("diskCache.deletes", deletes);
    f("diskCache.recycled", recycled);
    f("diskCache.syncs", syncs);
    f("diskCache.nameSyncs", nameSyncs);
    f("diskCache.moves", moves);
    f("diskCache.readErrors", readErrors);
    f("diskCache.writeErrors", writeErrors);
    f("diskCache.enospc", enospc);
    f("diskCache.pruned", pruned);
    f("diskCache.pruneRefused", pruneRefused);
    f("diskCache.prunePasses", prunePasses);
    f("diskCache.bytesRead", bytesRead);
    f("diskCache.bytesWritten", bytesWritten);
  }

  void toMap(std::map<std::string, std::string>& out) {
    forEach([&out](const char* key, std::atomic<uint64_t>& value) {
      out[key] = std::to_string(value.load(std::memory_order_relaxed));
    });
  }

  void clear() {
    forEach([](const char*, std::atomic<uint64_t>& value) { value.store(0); });
  }
};

}  // namespace ObjectStore
