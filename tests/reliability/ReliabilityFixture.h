// Shared support of the reliability tests: a live share started the way a
// file-server process starts it (its own disk cache, a container, the share
// records read back), a plain in-memory tree that says what the share should
// hold, and a walk of the whole tree through the container that records what
// the share really holds.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/ObjectContainer.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"

namespace ObjectStore::test {

inline constexpr uint64_t RELIABILITY_SUBCLIENT = 42;
inline constexpr uint64_t SMALL_EXTENT = 4096;

// Deterministic bytes for a seed (never all equal, so a shifted or stale
// range is noticed).
inline std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 99u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>('A' + (x >> 24) % 58);
  }
  return bytes;
}

// Backup waits short enough for a test; the defaults are minutes.
inline void useFastBackupTimings() {
  BackupTimings timings;
  timings.outerWaitMs = 50;
  timings.firstStartRetryMs = 100;
  timings.restartPauseMs = 100;
  timings.restartRetryMs = 100;
  timings.pollMs = 100;
  timings.workerWaitMs = 20;
  BackupTimings::setForTesting(timings);
}

// The live share's settings: small extents, so that a few kilobytes cross
// extent boundaries. quietPeriodSec 0 backs every change up at once.
inline ObjectStoreConfig reliabilityConfig(uint64_t quietPeriodSec) {
  ObjectStoreConfig config;
  config.name = "share";
  config.subclient = RELIABILITY_SUBCLIENT;
  config.pitName = "0";
  config.extentSize = SMALL_EXTENT;
  config.backupTimeout = quietPeriodSec;
  config.jobIdleTimeoutMs = 300000;
  return config;
}

// One process's view of the share: a disk cache of its own (so that tests can
// arm its faults), a container, and the live share open in it.
struct LiveShare {
  std::shared_ptr<DiskCache> cache;
  std::unique_ptr<ObjectContainer> container;
  ObjectStoreIndex index = 0;

  // Starts on containerDir; a share that an earlier process left is found
  // again through its records.
  CZnError start(const std::string& containerDir, const ObjectStoreConfig& config) {
    cache = std::make_shared<DiskCache>(0);
    const std::string cacheDir = containerDir + "/cache";
    CZnError err = cache->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Lru);
    if (!err.ok()) return err;
    container = std::make_unique<ObjectContainer>();
    ObjectContainerConfig containerConfig;
    containerConfig.containerDir = containerDir;
    containerConfig.diskCache = cache;
    if (err = container->init(containerConfig); !err.ok()) return err;
    (void)container->restoreStoreInfo();  // the first start has no share records yet
    return container->openObjectStore(index, config);
  }

  // A clean shutdown: the share is closed (its backup queue drained, its
  // local data removed) before the container goes.
  CZnError closeCleanly() {
    CZnError err;
    if (container) err = container->closeObjectStore(index);
    dropAll();
    return err;
  }

  // The container goes without closing the share, as when the process dies
  // after an error: whatever the share left on disk stays.
  void dropAll() {
    container.reset();
    if (cache) cache->shutdownPruner();
    cache.reset();
  }

  // The share's index service (null when the share is not open).
  std::shared_ptr<index_iface> shareIndex() const {
    StoreInfo info;
    if (!container ||
        !container->getStoreInfo(ObjectContainer::shareKeyOf("share", RELIABILITY_SUBCLIENT), info))
      return nullptr;
    return info.index;
  }
};

// ---------------------------------------------------------------------------
// The tree a share should hold.

struct TreeNode {
  bool dir = false;
  bool link = false;
  mode_t mode = 0;   // permission bits
  std::string data;  // a regular file's bytes, a link's target
  std::map<std::string, std::string> xattrs;
};

inline std::string parentPathOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}
inline std::string leafNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
inline std::string childPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}
inline bool isStrictlyBelow(const std::string& path, const std::string& dir) {
  if (dir == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

class TreeModel {
 public:
  // The root as the store makes it (ObjectStoreConfig::rootAttribs).
  TreeModel() {
    nodes_["/"].dir = true;
    nodes_["/"].mode = 0744;
  }

  bool exists(const std::string& path) const { return nodes_.count(path) != 0; }
  bool isDir(const std::string& path) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && it->second.dir;
  }
  bool isFile(const std::string& path) const {
    auto it = nodes_.find(path);
    return it != nodes_.end() && !it->second.dir && !it->second.link;
  }
  TreeNode& at(const std::string& path) { return nodes_.at(path); }
  const TreeNode& at(const std::string& path) const { return nodes_.at(path); }
  const std::map<std::string, TreeNode>& nodes() const { return nodes_; }

  std::set<std::string> children(const std::string& dir) const {
    std::set<std::string> names;
    for (const auto& [path, node] : nodes_)
      if (path != "/" && parentPathOf(path) == dir) names.insert(leafNameOf(path));
    return names;
  }
  // Paths of the kinds asked for, the root left out.
  std::vector<std::string> paths(bool dirs, bool files, bool links) const {
    std::vector<std::string> out;
    for (const auto& [path, node] : nodes_) {
      const bool file = !node.dir && !node.link;
      if (path != "/" && ((node.dir && dirs) || (file && files) || (node.link && links)))
        out.push_back(path);
    }
    return out;
  }

  TreeNode& add(const std::string& path, bool dir, mode_t mode) {
    TreeNode& node = nodes_[path];
    node = TreeNode();
    node.dir = dir;
    node.mode = mode;
    return node;
  }
  void removeTree(const std::string& path) {
    for (auto it = nodes_.begin(); it != nodes_.end();)
      it = (it->first == path || isStrictlyBelow(it->first, path)) ? nodes_.erase(it)
                                                                    : std::next(it);
  }
  void moveTree(const std::string& from, const std::string& to) {
    std::map<std::string, TreeNode> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == from || isStrictlyBelow(it->first, from)) {
        moved[to + it->first.substr(from.size())] = std::move(it->second);
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [path, node] : moved) nodes_[path] = std::move(node);
  }
  // Writes bytes at offset into a regular file, growing it with zeros.
  void writeAt(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::string& data = nodes_.at(path).data;
    if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size(), '\0');
    data.replace(offset, bytes.size(), bytes);
  }

 private:
  std::map<std::string, TreeNode> nodes_;
};

// ---------------------------------------------------------------------------
// What a share really holds, read through the container.

struct SeenNode {
  bool dir = false;
  bool link = false;
  mode_t mode = 0;
  std::string data;  // a regular file's bytes (whole file), a link's target
  std::set<std::string> children;  // a directory's listed names
};

// Reads a whole regular file through a read-only handle. False (with the
// reason in error) when any step fails.
inline bool readWholeFile(ObjectContainer& container, ObjectStoreIndex index,
                          const std::string& path, uint64_t size, std::string& out,
                          std::string& error) {
  ItemName item(path);
  FileHandle handle;
  CZnError err = container.open(index, handle, item, O_RDONLY, false);
  if (!err.ok()) {
    error = "open " + path + ": " + err.text() + " " + err.chain();
    return false;
  }
  out.assign(size + 64, '#');
  uint64_t got = 0;
  err = container.read(index, handle, out.data(), 0, out.size(), got);
  CZnError closeErr = container.close(index, handle);
  if (!err.ok()) {
    error = "read " + path + ": " + err.text() + " " + err.chain();
    return false;
  }
  if (!closeErr.ok()) {
    error = "close " + path + ": " + closeErr.text();
    return false;
  }
  out.resize(got);
  return true;
}

// Walks the whole tree from the root: readdir of every directory (the
// listing must parse and name every child once), getattr of every listed
// item, the bytes of every regular file, the target of every link. False
// (with the first problem in error) when any of it fails.
inline bool walkTree(ObjectContainer& container, ObjectStoreIndex index,
                     std::map<std::string, SeenNode>& seen, std::string& error) {
  seen.clear();
  std::vector<std::string> pending = {"/"};
  while (!pending.empty()) {
    const std::string path = pending.back();
    pending.pop_back();
    ItemName item(path);
    struct stat st {};
    CZnError err = container.getattr(index, item, st);
    if (!err.ok()) {
      error = "getattr " + path + ": " + err.text() + " " + err.chain();
      return false;
    }
    SeenNode& node = seen[path];
    node.dir = S_ISDIR(st.st_mode);
    node.link = S_ISLNK(st.st_mode);
    node.mode = st.st_mode & 07777;
    if (node.link) {
      err = container.readLink(index, ItemName(path), node.data);
      if (!err.ok()) {
        error = "readlink " + path + ": " + err.text();
        return false;
      }
    } else if (!node.dir) {
      if (!readWholeFile(container, index, path, static_cast<uint64_t>(st.st_size), node.data,
                         error))
        return false;
      if (node.data.size() != static_cast<uint64_t>(st.st_size)) {
        error = path + " reads " + std::to_string(node.data.size()) + " bytes, getattr says " +
                std::to_string(st.st_size);
        return false;
      }
    } else {
      ItemName dir(path);
      GuidPathList list;
      bool done = false;
      err = container.readdir(index, dir, list, 0, 100000, done);
      if (!err.ok()) {
        error = "readdir " + path + ": " + err.text() + " " + err.chain();
        return false;
      }
      for (const auto& entry : list) {
        if (entry.second == "." || entry.second == "..") continue;
        if (!node.children.insert(entry.second).second) {
          error = "[" + entry.second + "] listed twice in " + path;
          return false;
        }
        pending.push_back(childPath(path, entry.second));
      }
    }
  }
  return true;
}

// One observed item against one model item: same kind, and the same bytes for
// files and links.
inline bool sameItem(const SeenNode& seen, const TreeNode& want) {
  if (seen.dir != want.dir || seen.link != want.link) return false;
  return seen.dir || seen.data == want.data;
}

// A write that failed (or was cut off by a kill) may have landed some of its
// bytes, as a failed write on any file system may, but nothing else: every
// byte inside the written range [offset, offset + bytes) is the old or the
// new one, every byte outside it the old one (zero past the old end), and the
// size is the old one or the new one.
inline bool plausibleAfterFailedWrite(uint64_t offset, const std::string& bytes,
                                      const std::string& before, const std::string& after,
                                      const std::string& seen) {
  if (seen.size() != before.size() && seen.size() != after.size()) return false;
  for (size_t i = 0; i < seen.size(); ++i) {
    const char old = i < before.size() ? before[i] : '\0';
    const bool inRange = i >= offset && i < offset + bytes.size();
    if (seen[i] != old && !(inRange && seen[i] == bytes[i - offset])) return false;
  }
  return true;
}

// The walked tree is exactly the model: the same paths, kinds, modes (links
// aside), bytes, targets and listings. False with the first difference in why.
inline bool treeMatches(const std::map<std::string, SeenNode>& seen, const TreeModel& model,
                        std::string& why) {
  for (const auto& [path, node] : seen) {
    if (!model.exists(path)) {
      why = path + " should not be there";
      return false;
    }
    const TreeNode& want = model.at(path);
    if (!sameItem(node, want)) {
      size_t first = 0;
      while (first < node.data.size() && first < want.data.size() &&
             node.data[first] == want.data[first])
        ++first;
      why = path + " differs (" + std::to_string(node.data.size()) + " bytes, expected " +
            std::to_string(want.data.size()) + ", first difference at byte " +
            std::to_string(first) + ")";
      return false;
    }
    if (!node.link && node.mode != want.mode) {
      why = path + " has mode " + std::to_string(node.mode);
      return false;
    }
    if (node.dir && node.children != model.children(path)) {
      why = "listing of " + path + " differs";
      return false;
    }
  }
  for (const auto& [path, node] : model.nodes()) {
    if (seen.count(path) == 0) {
      why = path + " is missing";
      return false;
    }
  }
  return true;
}

}  // namespace ObjectStore::test
