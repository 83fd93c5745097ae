// The live share against a model: random creates, mkdirs, writes across
// extent boundaries, reads, truncates, renames, removals and extended
// attributes run through the container and through a plain in-memory tree;
// after every step the results, errno values, listings and sizes must agree,
// and after a restart of the container (a new container on the same
// directory) the whole tree, contents and attributes included, must still
// agree.
//
// OBJSTORE_MODEL_OPS=<n> runs one long sequence of n operations instead of
// the fixed seeds; OBJSTORE_MODEL_SEED=<s> picks its seed (a failure prints
// the seed and every operation so that it can be replayed).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint64_t EXTENT = 4096;
constexpr int MAX_DEPTH = 3;
const std::vector<std::string> NAMES = {"a", "b", "c", "d", "e"};
const std::vector<std::string> XATTR_NAMES = {"user.x", "user.y", "user.z"};

// ---------------------------------------------------------------------------
// The model: what a careful user expects of a file system.

struct Node {
  bool dir = false;
  bool link = false;
  mode_t mode = 0;   // permission bits
  std::string data;  // a regular file's bytes, a link's target
  std::map<std::string, std::string> xattrs;
};

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}
std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string joinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}
bool isBelow(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}
int depthOf(const std::string& path) {
  return path == "/" ? 0 : static_cast<int>(std::count(path.begin(), path.end(), '/'));
}

class Model {
 public:
  // The root as the store makes it (ObjectStoreConfig::rootAttribs).
  Model() {
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
  Node& at(const std::string& path) { return nodes_.at(path); }
  const std::map<std::string, Node>& nodes() const { return nodes_; }

  std::set<std::string> children(const std::string& dir) const {
    std::set<std::string> names;
    for (const auto& [path, node] : nodes_)
      if (path != "/" && parentOf(path) == dir) names.insert(nameOf(path));
    return names;
  }
  std::vector<std::string> paths(bool dirs, bool files, bool links = false) const {
    std::vector<std::string> out;
    for (const auto& [path, node] : nodes_) {
      const bool file = !node.dir && !node.link;
      if (path != "/" && ((node.dir && dirs) || (file && files) || (node.link && links)))
        out.push_back(path);
    }
    return out;
  }

  Node& add(const std::string& path, bool dir, mode_t mode) {
    Node& node = nodes_[path];
    node.dir = dir;
    node.mode = mode;
    return node;
  }
  void removeTree(const std::string& path) {
    for (auto it = nodes_.begin(); it != nodes_.end();)
      it = (it->first == path || isBelow(it->first, path)) ? nodes_.erase(it) : std::next(it);
  }
  void moveTree(const std::string& from, const std::string& to) {
    std::map<std::string, Node> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == from || isBelow(it->first, from)) {
        moved[to + it->first.substr(from.size())] = std::move(it->second);
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [path, node] : moved) nodes_[path] = std::move(node);
  }

 private:
  std::map<std::string, Node> nodes_;
};

// ---------------------------------------------------------------------------
// The run

struct Options {
  uint64_t seed = 1;
  int operations = 500;
  // Also aim operations at paths whose parent is a regular file.
  bool fileParents = false;
  // Restart the container every this many operations (0: only at the end).
  int restartEvery = 0;
};

class StoreModelTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(10);
  }
  void TearDown() override {
    container_.reset();
    TestEnv::TearDown();
  }

  ObjectStoreConfig storeConfig() const {
    ObjectStoreConfig config;
    config.name = "model";
    config.subclient = 7;
    config.pitName = "0";
    config.extentSize = EXTENT;
    return config;
  }

  // A new container on the test's directory. When `restart`, the previous
  // container is destroyed without closing the share (closing would delete
  // the share's local data), and the new one finds the share again through
  // StoreInfo.txt.
  void startContainer(bool restart) {
    container_.reset();
    container_ = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = path("container");
    ASSERT_TRUE(container_->init(config).ok());
    if (restart) {
      CZnError err = container_->restoreStoreInfo();
      ASSERT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    }
    CZnError err = container_->openObjectStore(index_, storeConfig());
    ASSERT_TRUE(err.ok()) << err.text() << ": " << err.chain();
  }

  void run(const Options& options);

  // ---- One operation each: returns false when the store disagreed. --------
  bool opCreate(bool dir);
  bool opSymlink();
  bool opChmod();
  bool opWrite();
  bool opRead();
  bool opTruncate();
  bool opRename();
  bool opRemove(bool dir);
  bool opSetXattr();
  bool opRemoveXattr();
  bool opHandleOpen();
  bool opHandleWrite();
  bool opHandleClose();
  // Closes the long-lived handle of path (and of everything below it).
  bool closeHandles(const std::string& path);
  // Writes random bytes through handle at a random place, in model and store.
  bool writeThrough(FileHandle& handle, const std::string& path);

  // ---- Comparison ------------------------------------------------------------
  bool checkListingsAndSizes();
  bool checkFile(const std::string& path);
  bool checkIfFile(const std::string& path) { return !model_.isFile(path) || checkFile(path); }
  bool checkXattrs(const std::string& path);
  bool checkEverything();
  bool checkGone(const std::string& path);

  // An outcome against the expectation: ok, a specific errno, or (errno -1)
  // any failure.
  bool expectResult(const CZnError& err, int expectedErrno);
  // Counts what the run really did, so that a run that silently stopped
  // exercising an operation is noticed.
  void tally(const std::string& what) { ++tallies_[what]; }
  bool mismatch(const std::string& what);

  // ---- Random choices ----------------------------------------------------------
  uint64_t uniform(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
  }
  bool chance(int percent) { return uniform(1, 100) <= static_cast<uint64_t>(percent); }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[uniform(0, from.size() - 1)];
  }
  // A path for a new item: mostly in an existing directory, sometimes in a
  // missing one or (with fileParents) below a regular file.
  std::string newPath();
  std::string randomBytes(size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>('A' + uniform(0, 57));
    return out;
  }

  std::unique_ptr<ObjectContainer> container_;
  ObjectStoreIndex index_ = 0;
  Model model_;
  std::mt19937_64 rng_;
  Options options_;
  std::vector<std::string> log_;
  std::map<std::string, int> tallies_;
  // Write handles kept open across other operations, by the file's current
  // path (moved along by renames).
  std::map<std::string, std::unique_ptr<FileHandle>> handles_;
  bool failed_ = false;
};

bool StoreModelTest::mismatch(const std::string& what) {
  if (failed_) return false;
  failed_ = true;
  std::ostringstream out;
  out << "model mismatch: " << what << "\nseed " << options_.seed << " ("
      << "replay: OBJSTORE_MODEL_SEED=" << options_.seed
      << " OBJSTORE_MODEL_OPS=" << options_.operations << ")\noperations:\n";
  for (size_t i = 0; i < log_.size(); ++i) out << "  " << i << ": " << log_[i] << "\n";
  ADD_FAILURE() << out.str();
  return false;
}

bool StoreModelTest::expectResult(const CZnError& err, int expectedErrno) {
  if (!log_.empty()) {
    std::string op = log_.back().substr(log_.back().find_first_not_of(' '));
    op = op.substr(0, op.find(' '));
    tally(op + (err.ok() ? " ok" : " errno " + std::to_string(err.errNo())));
  }
  if (expectedErrno == 0 && !err.ok())
    return mismatch("expected success, got errno " + std::to_string(err.errNo()) + " (" +
                    err.text() + ": " + err.chain() + ")");
  if (expectedErrno == -1 && err.ok()) return mismatch("expected a failure, got success");
  if (expectedErrno > 0 && err.errNo() != expectedErrno)
    return mismatch("expected errno " + std::to_string(expectedErrno) + ", got " +
                    std::to_string(err.errNo()) + " (" + err.text() + ")");
  return true;
}

std::string StoreModelTest::newPath() {
  if (chance(5)) return joinPath("/missing", pick(NAMES));
  if (options_.fileParents && chance(15)) {
    auto files = model_.paths(false, true);
    if (!files.empty()) {
      tally("below a file");
      return joinPath(pick(files), pick(NAMES));
    }
  }
  std::vector<std::string> dirs = model_.paths(true, false);
  dirs.push_back("/");
  std::string parent = pick(dirs);
  if (depthOf(parent) >= MAX_DEPTH) parent = "/";
  return joinPath(parent, pick(NAMES));
}

// ---------------------------------------------------------------------------
// Operations

bool StoreModelTest::opCreate(bool dir) {
  const std::string path = newPath();
  const std::string parent = parentOf(path);
  const bool byPath = chance(50);
  log_.push_back(std::string(dir ? "mkdir " : "create ") + path + (byPath ? " (path)" : ""));
  int expected = 0;
  if (!model_.isDir(parent))
    expected = -1;  // missing parent, or a regular file as parent
  else if (model_.exists(path))
    expected = EEXIST;

  ItemName item;
  CZnError err;
  if (byPath) {
    err = dir ? container_->mkdir(index_, item, path, 0755)
              : container_->create(index_, item, path, 0644);
  } else {
    ItemName parentItem(parent);
    err = dir ? container_->mkdir(index_, parentItem, item, nameOf(path), 0755)
              : container_->create(index_, parentItem, item, nameOf(path), 0644);
  }
  if (!expectResult(err, expected)) return false;
  if (expected == 0) {
    model_.add(path, dir, dir ? 0755 : 0644);
    if (item.objGuid.size() != 32) return mismatch("no object GUID for " + path);
  }
  return true;
}

bool StoreModelTest::opSymlink() {
  const std::string path = newPath();
  const std::string target = "../t/" + randomBytes(uniform(1, 20));
  const bool byPath = chance(50);
  log_.push_back("symlink " + path + " -> " + target + (byPath ? " (path)" : ""));
  int expected = 0;
  if (!model_.isDir(parentOf(path)))
    expected = -1;
  else if (model_.exists(path))
    expected = EEXIST;
  ItemName item;
  ItemName parent(parentOf(path));
  CZnError err = byPath
                     ? container_->createSymbolicLink(index_, item, path, target)
                     : container_->createSymbolicLink(index_, parent, nameOf(path), item, target);
  if (!expectResult(err, expected)) return false;
  if (expected == 0) {
    Node& node = model_.add(path, false, 0777);
    node.link = true;
    node.data = target;
  }
  return true;
}

bool StoreModelTest::opChmod() {
  auto items = model_.paths(true, true, true);
  if (items.empty()) return true;
  const std::string path = pick(items);
  const mode_t mode = pick(std::vector<mode_t>{0600, 0640, 0700, 0755, 0444, 01777});
  log_.push_back("chmod " + path + " " + std::to_string(mode));
  ItemName item(path);
  if (!expectResult(container_->chmod(index_, item, mode), 0)) return false;
  model_.at(path).mode = mode;
  return true;
}

bool StoreModelTest::opWrite() {
  auto files = model_.paths(false, true);
  if (files.empty()) return opCreate(false);
  const std::string path = pick(files);
  const bool newVersion = chance(30);
  FileHandle handle;
  ItemName item(path);
  log_.push_back("open " + path + " O_RDWR newVersion=" + std::to_string(newVersion));
  // A new version can't start while another handle writes the file.
  if (newVersion && handles_.count(path) != 0)
    return expectResult(container_->open(index_, handle, item, O_RDWR, newVersion), EAGAIN);
  if (!expectResult(container_->open(index_, handle, item, O_RDWR, newVersion), 0)) return false;
  const int writes = static_cast<int>(uniform(1, 3));
  bool ok = true;
  for (int i = 0; ok && i < writes; ++i) ok = writeThrough(handle, path);
  log_.push_back("close " + path);
  CZnError closeErr = container_->close(index_, handle);
  if (!ok) return false;
  return expectResult(closeErr, 0) && checkFile(path);
}

bool StoreModelTest::writeThrough(FileHandle& handle, const std::string& path) {
  std::string& data = model_.at(path).data;
  // Offsets around the end of file and extent boundaries, lengths up to
  // three extents: most writes cross at least one boundary.
  uint64_t offset = chance(30) ? uniform(0, 3) * EXTENT - uniform(0, 8) * (chance(50) ? 1 : 0)
                               : uniform(0, data.size() + EXTENT);
  if (offset > data.size() + 3 * EXTENT) offset = data.size();
  const uint64_t len = chance(20) ? uniform(EXTENT, 3 * EXTENT) : uniform(1, EXTENT + 100);
  const std::string bytes = randomBytes(len);
  uint64_t written = len;
  log_.push_back("  write " + path + " off=" + std::to_string(offset) +
                 " len=" + std::to_string(len));
  if (!expectResult(container_->write(index_, handle, bytes.data(), written, offset,
                                      chance(10) ? DO_SYNC : NO_SYNC),
                    0))
    return false;
  if (written != len) return mismatch("short write of " + std::to_string(written));
  if (data.size() < offset + len) data.resize(offset + len, '\0');
  data.replace(offset, len, bytes);
  return true;
}

bool StoreModelTest::opHandleOpen() {
  std::vector<std::string> files;
  for (const std::string& path : model_.paths(false, true))
    if (handles_.count(path) == 0) files.push_back(path);
  if (files.empty() || handles_.size() >= 3) return true;
  const std::string path = pick(files);
  auto handle = std::make_unique<FileHandle>();
  ItemName item(path);
  log_.push_back("open " + path + " O_RDWR (kept)");
  if (!expectResult(container_->open(index_, *handle, item, O_RDWR, false), 0)) return false;
  handles_[path] = std::move(handle);
  return true;
}

bool StoreModelTest::opHandleWrite() {
  if (handles_.empty()) return opHandleOpen();
  auto it = handles_.begin();
  std::advance(it, uniform(0, handles_.size() - 1));
  const std::string path = it->first;
  log_.push_back("write through the kept handle of " + path);
  return writeThrough(*it->second, path) && checkFile(path);
}

bool StoreModelTest::opHandleClose() {
  if (handles_.empty()) return true;
  auto it = handles_.begin();
  std::advance(it, uniform(0, handles_.size() - 1));
  const std::string path = it->first;  // a copy: closing erases the key
  return closeHandles(path);
}

bool StoreModelTest::closeHandles(const std::string& path) {
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (path != "/" && it->first != path && !isBelow(it->first, path)) {
      ++it;
      continue;
    }
    log_.push_back("close kept handle of " + it->first);
    if (!expectResult(container_->close(index_, *it->second), 0)) return false;
    it = handles_.erase(it);
  }
  return true;
}

bool StoreModelTest::opRead() {
  auto files = model_.paths(false, true);
  if (files.empty()) return true;
  const std::string path = pick(files);
  const std::string& data = model_.at(path).data;
  const uint64_t offset = uniform(0, data.size() + EXTENT);
  const uint64_t len = uniform(0, 2 * EXTENT + 10);
  log_.push_back("read " + path + " off=" + std::to_string(offset) + " len=" + std::to_string(len));
  FileHandle handle;
  ItemName item(path);
  if (!expectResult(container_->open(index_, handle, item, O_RDONLY, false), 0)) return false;
  std::string buf(len, '#');
  uint64_t got = 0;
  CZnError err = container_->read(index_, handle, buf.data(), offset, len, got);
  CZnError closeErr = container_->close(index_, handle);
  if (!expectResult(err, 0) || !expectResult(closeErr, 0)) return false;
  const uint64_t want = offset >= data.size() ? 0 : std::min<uint64_t>(len, data.size() - offset);
  if (got != want)
    return mismatch("read delivered " + std::to_string(got) + " bytes, expected " +
                    std::to_string(want));
  if (want > 0 && buf.compare(0, want, data, offset, want) != 0)
    return mismatch("read returned other bytes");
  return true;
}

bool StoreModelTest::opTruncate() {
  auto files = model_.paths(false, true);
  if (files.empty()) return true;
  const std::string path = pick(files);
  std::string& data = model_.at(path).data;
  uint64_t size = chance(20) ? 0 : uniform(0, data.size() + 2 * EXTENT);
  if (chance(20)) size = uniform(0, 3) * EXTENT;  // exactly on a boundary
  const bool newVersion = chance(30);
  log_.push_back("truncate " + path + " size=" + std::to_string(size) +
                 " newVersion=" + std::to_string(newVersion));
  ItemName item(path);
  if (!expectResult(container_->truncate(index_, item, size, newVersion), 0)) return false;
  data.resize(size, '\0');
  return checkFile(path);
}

bool StoreModelTest::opRename() {
  auto items = model_.paths(true, true, true);
  if (items.empty()) return true;
  const std::string from = pick(items);
  std::string to = chance(30) ? pick(items) : newPath();
  if (chance(3)) to = from;
  const bool fromDir = model_.isDir(from);

  // The expected outcome; `moveTo` is where the source ends up.
  int expected = 0;
  std::string moveTo = to;
  bool replace = false;
  bool unchangedEitherWay = false;
  bool replaceIfAccepted = false;
  if (to == from) {
    unchangedEitherWay = true;
  } else if (fromDir && isBelow(to, from)) {
    expected = -1;  // a directory can't move into itself
  } else if (model_.exists(to) && model_.isDir(to)) {
    if (fromDir) {
      if (!model_.children(to).empty())
        expected = EEXIST;
      else
        replace = true;
    } else {
      // A file renamed onto a directory moves into it under its own name.
      moveTo = joinPath(to, nameOf(from));
      if (moveTo == from) {
        unchangedEitherWay = true;  // already there
      } else if (model_.isDir(moveTo)) {
        expected = -1;  // a file can't take a directory's place
      } else if (model_.exists(moveTo)) {
        // Either the file there is replaced, as by a rename onto it, or the
        // rename is refused; never is the name listed twice.
        replaceIfAccepted = true;
      }
    }
  } else if (model_.exists(to)) {
    if (fromDir)
      expected = ENOENT;  // a directory can't replace a file
    else
      replace = true;
  } else if (!model_.isDir(parentOf(to))) {
    expected = -1;
  }
  if (depthOf(moveTo) > MAX_DEPTH + 2) return true;  // keep paths short

  // A new version of a file that is open for writing is the subject of a
  // test of its own (ContainerOpsTest.RenameWithNewVersionKeepsWritesOfAnOpenHandle).
  const bool newVersion = chance(30) && handles_.count(from) == 0;
  // A file that a rename may replace is closed first: writes through a
  // handle of a removed file have no model.
  if ((replace || replaceIfAccepted) && !closeHandles(moveTo)) return false;
  log_.push_back("rename " + from + " -> " + to + " newVersion=" + std::to_string(newVersion));
  CZnError err = container_->rename(index_, from, to, newVersion);
  if (unchangedEitherWay) {
    log_.back() += err.ok() ? " (ok)" : " (errno " + std::to_string(err.errNo()) + ")";
    return checkListingsAndSizes() && checkIfFile(from);
  }
  if (replaceIfAccepted) {
    log_.back() +=
        err.ok() ? " (replaced)" : " (refused, errno " + std::to_string(err.errNo()) + ")";
    tally(err.ok() ? "rename into a taken name: replaced" : "rename into a taken name: refused");
    if (!err.ok()) return checkListingsAndSizes() && checkIfFile(from) && checkIfFile(moveTo);
    replace = true;
  } else if (!expectResult(err, expected)) {
    return false;
  }
  if (expected != 0) return true;
  if (replace) model_.removeTree(moveTo);
  model_.moveTree(from, moveTo);
  std::map<std::string, std::unique_ptr<FileHandle>> moved;
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (it->first == from || isBelow(it->first, from)) {
      moved[moveTo + it->first.substr(from.size())] = std::move(it->second);
      it = handles_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, handle] : moved) handles_[path] = std::move(handle);
  if (!checkGone(from)) return false;
  return checkIfFile(moveTo);
}

bool StoreModelTest::opRemove(bool dir) {
  auto candidates = model_.paths(dir, !dir, !dir);
  std::string path = candidates.empty() || chance(5) ? newPath() : pick(candidates);
  if (model_.exists(path) && model_.isDir(path) != dir) return true;  // not generated
  log_.push_back(std::string(dir ? "rmdir " : "unlink ") + path);
  int expected = 0;
  if (!model_.exists(path))
    expected = -1;
  else if (dir && !model_.children(path).empty())
    expected = ENOTEMPTY;
  if (expected == 0 && !closeHandles(path)) return false;
  ItemName item(path);
  CZnError err = dir ? container_->rmdir(index_, item) : container_->unlink(index_, item);
  if (!expectResult(err, expected)) return false;
  if (expected != 0) return true;
  model_.removeTree(path);
  return checkGone(path);
}

bool StoreModelTest::opSetXattr() {
  auto items = model_.paths(true, true, true);
  if (items.empty()) return true;
  const std::string path = pick(items);
  const std::string& name = pick(XATTR_NAMES);
  const std::string value = randomBytes(uniform(0, 40));
  log_.push_back("setxattr " + path + " " + name + " len=" + std::to_string(value.size()));
  ItemName item(path);
  if (!expectResult(container_->setxattr(index_, item, name, Bytes(value.begin(), value.end())), 0))
    return false;
  model_.at(path).xattrs[name] = value;
  return checkXattrs(path);
}

bool StoreModelTest::opRemoveXattr() {
  auto items = model_.paths(true, true);
  if (items.empty()) return true;
  const std::string path = pick(items);
  const std::string& name = pick(XATTR_NAMES);
  log_.push_back("removexattr " + path + " " + name);
  ItemName item(path);
  // Removing an absent attribute succeeds too.
  if (!expectResult(container_->removexattr(index_, item, name), 0)) return false;
  model_.at(path).xattrs.erase(name);
  return checkXattrs(path);
}

// ---------------------------------------------------------------------------
// Comparison

bool StoreModelTest::checkListingsAndSizes() {
  for (const auto& [path, node] : model_.nodes()) {
    ItemName item(path);
    struct stat st {};
    CZnError err = container_->getattr(index_, item, st);
    if (!err.ok()) return mismatch("getattr " + path + " failed: " + err.text());
    if (S_ISDIR(st.st_mode) != node.dir || S_ISLNK(st.st_mode) != node.link)
      return mismatch("wrong type of " + path);
    if ((st.st_mode & 07777) != node.mode)
      return mismatch("mode of " + path + " is " + std::to_string(st.st_mode & 07777));
    if (model_.isFile(path) && static_cast<uint64_t>(st.st_size) != node.data.size())
      return mismatch("size of " + path + " is " + std::to_string(st.st_size) + ", expected " +
                      std::to_string(node.data.size()));
    if (!node.dir) continue;

    ItemName dir(path);
    GuidPathList list;
    bool done = false;
    err = container_->readdir(index_, dir, list, 0, 1000, done);
    if (!err.ok()) return mismatch("readdir " + path + " failed: " + err.text());
    std::multiset<std::string> listed;
    for (const auto& entry : list)
      if (entry.second != "." && entry.second != "..") listed.insert(entry.second);
    const std::set<std::string> expected = model_.children(path);
    if (listed != std::multiset<std::string>(expected.begin(), expected.end())) {
      std::string text;
      for (const auto& name : listed) text += name + " ";
      return mismatch("listing of " + path + " is [" + text + "]");
    }
  }
  return true;
}

bool StoreModelTest::checkFile(const std::string& path) {
  const std::string& data = model_.at(path).data;
  FileHandle handle;
  ItemName item(path);
  CZnError err = container_->open(index_, handle, item, O_RDONLY, false);
  if (!err.ok()) return mismatch("open " + path + " failed: " + err.text());
  std::string buf(data.size() + 100, '#');
  uint64_t got = 0;
  err = container_->read(index_, handle, buf.data(), 0, buf.size(), got);
  CZnError closeErr = container_->close(index_, handle);
  if (!err.ok()) return mismatch("read " + path + " failed: " + err.text());
  if (!closeErr.ok()) return mismatch("close " + path + " failed: " + closeErr.text());
  if (got != data.size())
    return mismatch("reading " + path + " delivered " + std::to_string(got) + " bytes, expected " +
                    std::to_string(data.size()));
  if (buf.compare(0, data.size(), data) != 0) {
    size_t first = 0;
    while (first < data.size() && buf[first] == data[first]) ++first;
    return mismatch("contents of " + path + " differ from byte " + std::to_string(first));
  }
  return true;
}

bool StoreModelTest::checkXattrs(const std::string& path) {
  const auto& expected = model_.at(path).xattrs;
  ItemName item(path);
  std::vector<std::string> names;
  CZnError err = container_->listxattr(index_, item, names);
  if (!err.ok()) return mismatch("listxattr " + path + " failed: " + err.text());
  std::vector<std::string> want;
  for (const auto& [name, value] : expected) want.push_back(name);
  if (names != want) return mismatch("attribute names of " + path + " differ");
  for (const std::string& name : XATTR_NAMES) {
    Bytes value;
    ItemName again(path);
    err = container_->getxattr(index_, again, name, value);
    auto it = expected.find(name);
    if (it == expected.end()) {
      if (err.errNo() != ENOENT) return mismatch("getxattr of absent " + name + " on " + path);
    } else if (!err.ok() || std::string(value.begin(), value.end()) != it->second) {
      return mismatch("getxattr " + name + " on " + path);
    }
  }
  return true;
}

bool StoreModelTest::checkGone(const std::string& path) {
  ItemName item(path);
  struct stat st {};
  CZnError err = container_->getattr(index_, item, st);
  if (err.errNo() != ENOENT)
    return mismatch("getattr of removed " + path + " gave errno " + std::to_string(err.errNo()));
  return true;
}

bool StoreModelTest::checkEverything() {
  if (!checkListingsAndSizes()) return false;
  for (const auto& [path, node] : model_.nodes()) {
    if (!checkIfFile(path)) return false;
    if (path != "/" && !checkXattrs(path)) return false;
    if (!node.link) continue;
    std::string target;
    CZnError err = container_->readLink(index_, ItemName(path), target);
    if (!err.ok() || target != node.data)
      return mismatch("link " + path + " reads [" + target + "]: " + err.text());
  }
  return true;
}

void StoreModelTest::run(const Options& options) {
  options_ = options;
  rng_.seed(options.seed);
  ASSERT_NO_FATAL_FAILURE(startContainer(false));
  for (int step = 0; step < options.operations && !failed_; ++step) {
    const uint64_t dice = uniform(1, 100);
    bool ok = true;
    if (dice <= 11)
      ok = opCreate(false);
    else if (dice <= 18)
      ok = opCreate(true);
    else if (dice <= 21)
      ok = opSymlink();
    else if (dice <= 42)
      ok = opWrite();
    else if (dice <= 52)
      ok = opRead();
    else if (dice <= 62)
      ok = opTruncate();
    else if (dice <= 74)
      ok = opRename();
    else if (dice <= 82)
      ok = opRemove(false);
    else if (dice <= 87)
      ok = opRemove(true);
    else if (dice <= 90)
      ok = opSetXattr();
    else if (dice <= 92)
      ok = opRemoveXattr();
    else if (dice <= 93)
      ok = opChmod();
    else if (dice <= 95)
      ok = opHandleOpen();
    else if (dice <= 98)
      ok = opHandleWrite();
    else
      ok = opHandleClose();
    if (!ok || !checkListingsAndSizes()) return;
    if (step % 50 == 49 && !checkEverything()) return;
    if (options.restartEvery > 0 && step % options.restartEvery == options.restartEvery - 1) {
      if (!closeHandles("/")) return;
      log_.push_back("restart container");
      ASSERT_NO_FATAL_FAILURE(startContainer(true));
      if (!checkEverything()) return;
    }
  }
  if (!checkEverything() || !closeHandles("/")) return;
  log_.push_back("restart container");
  ASSERT_NO_FATAL_FAILURE(startContainer(true));
  if (!checkEverything()) return;

  std::string summary = "seed " + std::to_string(options.seed) + ":";
  for (const auto& [what, count] : tallies_) summary += " [" + what + "] " + std::to_string(count);
  std::printf("%s\n", summary.c_str());
  for (const char* op : {"create ok", "mkdir ok", "write ok", "read ok", "truncate ok", "rename ok",
                         "unlink ok", "rmdir ok", "setxattr ok", "removexattr ok",
                         "create errno 17", "rmdir errno 39", "symlink ok", "chmod ok"})
    EXPECT_GT(tallies_[op], 0) << "the run never did: " << op << "\n" << summary;
  if (options.fileParents) {
    EXPECT_GT(tallies_["below a file"], 0) << summary;
  }
}

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST_F(StoreModelTest, RandomOperationsMatchTheModel) {
  if (std::getenv("OBJSTORE_MODEL_OPS") != nullptr) {
    Options options;
    options.seed = envNumber("OBJSTORE_MODEL_SEED", 1);
    options.operations = static_cast<int>(envNumber("OBJSTORE_MODEL_OPS", 1000));
    options.restartEvery = 500;
    run(options);
    return;
  }
  for (uint64_t seed : {11u, 23u, 37u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Options options;
    options.seed = seed;
    options.operations = 1000;
    options.restartEvery = 250;
    run(options);
    if (failed_ || HasFatalFailure()) return;
    // The next seed starts on a fresh share.
    container_.reset();
    test::removeTree(path("container"));
    model_ = Model();
    handles_.clear();
    log_.clear();
    tallies_.clear();
  }
}

TEST_F(StoreModelTest, ItemsBelowRegularFilesAreRefused) {
  Options options;
  options.seed = envNumber("OBJSTORE_MODEL_SEED", 5);
  options.operations = 300;
  options.fileParents = true;
  run(options);
}

}  // namespace
}  // namespace ObjectStore
