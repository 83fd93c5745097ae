// The demonstration's view of one open share: the file-system calls a file
// server makes through the container, a model of what the tree should hold,
// and the comparison of a share's tree with a model.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "platform/support/CZnError.h"

namespace ObjectStore::demo {

// What one path of the demonstration tree must hold.
struct Node {
  enum Kind { DIR, FILE, LINK };
  Kind kind = FILE;
  std::string data;  // a file's bytes or a link's target
  std::map<std::string, std::string> xattrs;
};

// Paths relative to the run's top directory ("docs/report.txt").
using Tree = std::map<std::string, Node>;

const char* kindName(Node::Kind kind);

// One open view of the share, addressed by its slot in the container. Paths
// given to it are relative to `base`, an absolute directory of the share.
class Share {
 public:
  Share(ObjectContainer& container, ObjectStoreIndex index, std::string base)
      : container_(container), index_(index), base_(std::move(base)) {}

  ObjectStoreIndex index() const { return index_; }
  const std::string& base() const { return base_; }
  std::string full(const std::string& rel) const { return rel.empty() ? base_ : base_ + "/" + rel; }

  [[nodiscard]] CZnError mkdir(const std::string& rel);
  // Creates the file and writes all of `bytes` from offset 0.
  [[nodiscard]] CZnError createFile(const std::string& rel, const std::string& bytes);
  // version, when given, receives the version GUID the bytes went to.
  [[nodiscard]] CZnError writeAt(const std::string& rel, const std::string& bytes, uint64_t offset,
                                 guid_t* version = nullptr);
  // The whole file, read in extent-sized pieces.
  [[nodiscard]] CZnError readAll(const std::string& rel, std::string& bytes);
  [[nodiscard]] CZnError symlink(const std::string& rel, const std::string& target);
  [[nodiscard]] CZnError readLink(const std::string& rel, std::string& target);
  [[nodiscard]] CZnError setXattr(const std::string& rel, const std::string& name,
                                  const std::string& value);
  [[nodiscard]] CZnError getXattr(const std::string& rel, const std::string& name,
                                  std::string& value);
  [[nodiscard]] CZnError rename(const std::string& from, const std::string& to);
  [[nodiscard]] CZnError unlink(const std::string& rel);
  [[nodiscard]] CZnError stat(const std::string& rel, struct stat& st);
  // Names in the directory, without "." and "..", sorted.
  [[nodiscard]] CZnError list(const std::string& rel, std::vector<std::string>& names);

 private:
  ObjectContainer& container_;
  ObjectStoreIndex index_;
  std::string base_;
};

// Applies each change to the share and, once the share accepted it, to the
// model, so that the model is exactly what was written.
class Writer {
 public:
  // extentSize: the share's extent size, for counting the extents written.
  Writer(Share& share, Tree& model, uint64_t extentSize = 0)
      : share_(share), model_(model), extentSize_(extentSize) {}

  [[nodiscard]] CZnError mkdir(const std::string& rel);
  [[nodiscard]] CZnError createFile(const std::string& rel, const std::string& bytes);
  [[nodiscard]] CZnError writeAt(const std::string& rel, const std::string& bytes, uint64_t offset);
  [[nodiscard]] CZnError symlink(const std::string& rel, const std::string& target);
  [[nodiscard]] CZnError setXattr(const std::string& rel, const std::string& name,
                                  const std::string& value);
  // Files and links only.
  [[nodiscard]] CZnError rename(const std::string& from, const std::string& to);
  [[nodiscard]] CZnError unlink(const std::string& rel);

  // The extent segments that writes through this writer touched: each is one
  // segment the backup has to commit.
  size_t extentsWritten() const { return segments_.size(); }
  const std::set<guid_t>& segmentsWritten() const { return segments_; }

 private:
  void noteExtents(const guid_t& version, uint64_t offset, uint64_t length);

  Share& share_;
  Tree& model_;
  uint64_t extentSize_;
  std::set<guid_t> segments_;
};

// The outcome for one path of a comparison.
struct PathCheck {
  std::string path;
  std::string kind;  // what the share shows ("-" when missing)
  uint64_t size = 0;
  bool ok = false;
  std::string problem;        // empty when ok
  int restoredSegments = -1;  // segments that appeared in the cache area while reading; -1 unknown
  std::string shown;          // what was verified besides the bytes: link target, xattrs
};

// Walks the share's tree below its base and compares every path with the
// model: kinds, every file byte for byte, link targets, extended attributes,
// and no path that the model lacks. `cacheArea` is the directory of the disk
// cache where the reading view keeps its segments ("" when not to count).
std::vector<PathCheck> compareTree(Share& share, const Tree& model, const std::string& cacheArea);

// Number of segment files below a cache directory (0 when it does not exist).
size_t countSegments(const std::string& dir);
// Their paths, sorted.
std::vector<std::string> segmentFiles(const std::string& dir);

// Total size of the regular files below a directory.
uint64_t treeBytes(const std::string& dir);

}  // namespace ObjectStore::demo
