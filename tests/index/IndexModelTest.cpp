// Random adds, new versions, attribute updates, deletions and renames (of
// files and of directories with their subtrees) over a timeline, checked at
// every second against a plain in-memory model of the namespace: lookups by
// GUID and by path and directory listings must match the model's snapshot
// of that second.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

struct ModelNode {
  bool isDir = false;
  std::string parent;
  std::string name;
  std::string version;
  int64_t size = 0;
  int mode = 0;
  bool deleted = false;
};

// The namespace at one moment: object GUID -> node.
using ModelState = std::map<std::string, ModelNode>;

class IndexModelTest : public IndexTest {
 protected:
  const std::string root_ = testGuid('a', 1);

  // The path of guid in state, "" when it is not reachable.
  std::string modelPath(const ModelState& state, const std::string& guid) {
    if (guid == root_) return "/";
    std::string path;
    std::string current = guid;
    while (current != root_) {
      auto node = state.find(current);
      if (node == state.end() || node->second.deleted) return "";
      path = "/" + node->second.name + path;
      current = node->second.parent;
    }
    return path;
  }
  std::vector<std::string> reachable(const ModelState& state, bool dirsOnly) {
    std::vector<std::string> out;
    for (const auto& [guid, node] : state) {
      if ((!dirsOnly || node.isDir) && !modelPath(state, guid).empty()) out.push_back(guid);
    }
    return out;
  }
  bool nameTaken(const ModelState& state, const std::string& parent, const std::string& name) {
    for (const auto& [guid, node] : state) {
      if (!node.deleted && node.parent == parent && node.name == name) return true;
    }
    return false;
  }
  bool isBelow(const ModelState& state, const std::string& guid, const std::string& ancestor) {
    std::string current = guid;
    while (current != root_ && !current.empty()) {
      if (current == ancestor) return true;
      current = state.at(current).parent;
    }
    return false;
  }

  void runModel(unsigned seed);
};

void IndexModelTest::runModel(unsigned seed) {
  std::mt19937 random(seed);
  auto index = openIndex("model" + std::to_string(seed));
  ASSERT_EQ(addRoot(*index, root_), 0);
  ModelState state;
  ModelNode rootNode;
  rootNode.isDir = true;
  rootNode.version = root_ + "-0";
  rootNode.mode = 0x41ED;
  state[root_] = rootNode;
  const uint64_t firstSecond = nowSec();
  std::vector<std::pair<uint64_t, ModelState>> snapshots{{firstSecond, state}};
  std::set<std::string> pathsSeen{"/"};
  unsigned nextId = 1;
  const char* names[] = {"a", "b", "c", "d", "e"};

  for (int step = 0; step < 160; ++step) {
    clock().advanceSec(random() % 3);  // several operations may share a second
    std::vector<std::string> dirs = reachable(state, true);
    std::vector<std::string> items = reachable(state, false);
    items.erase(std::remove(items.begin(), items.end(), root_), items.end());
    const std::string parent = dirs[random() % dirs.size()];
    const std::string name = names[random() % 5];
    unsigned action = random() % 10;
    if (action < 4 || items.empty()) {  // create
      if (nameTaken(state, parent, name)) continue;
      bool isDir = random() % 3 == 0;
      std::string guid = testGuid(isDir ? 'd' : 'f', nextId);
      std::string version = isDir ? guid + "-0" : testGuid('v', nextId);
      ++nextId;
      std::string path =
          modelPath(state, parent) == "/" ? "/" + name : modelPath(state, parent) + "/" + name;
      int rc = isDir ? addDir(*index, guid, path, parent)
                     : addFile(*index, guid, version, path, parent, 1);
      ASSERT_EQ(rc, 0);
      ModelNode node;
      node.isDir = isDir;
      node.parent = parent;
      node.name = name;
      node.version = version;
      node.size = isDir ? 0 : 1;
      node.mode = isDir ? 0x41ED : 0x81A4;
      state[guid] = node;
    } else {
      const std::string guid = items[random() % items.size()];
      ModelNode& node = state[guid];
      if (action == 4 && !node.isDir) {  // new version
        std::string version = testGuid('v', nextId++);
        ASSERT_EQ(addVersion(*index, guid, version, node.size + 10), 0);
        node.version = version;
        node.size += 10;
      } else if (action == 5) {  // attribute update
        index_iface_props update;
        update.objGuid = guid;
        update.verGuid = node.version;
        update.modeValid = true;
        update.mode = (node.mode & 0xF000) | static_cast<int>(random() % 0777);
        ASSERT_EQ(index->update_item(update), 0);
        node.mode = update.mode;
      } else if (action == 6) {  // delete
        ASSERT_EQ(deleteAt(*index, guid), 0);
        node.deleted = true;
      } else {  // rename
        const std::string oldPath = modelPath(state, guid);
        const std::string newPath =
            modelPath(state, parent) == "/" ? "/" + name : modelPath(state, parent) + "/" + name;
        const bool intoItself = node.isDir && isBelow(state, parent, guid);
        std::string holder;
        for (const auto& [other, otherNode] : state) {
          if (other != guid && !otherNode.deleted && otherNode.parent == parent &&
              otherNode.name == name) {
            holder = other;
          }
        }
        if (!holder.empty() && isBelow(state, guid, holder)) continue;  // onto an ancestor
        if (!holder.empty() && !intoItself) {
          // What the store does: the destination goes first.
          ASSERT_EQ(deleteAt(*index, holder), 0);
          state[holder].deleted = true;
        }
        int rc = renameTo(*index, guid, newPath, parent, node.parent, oldPath, node.isDir);
        if (intoItself) {
          ASSERT_EQ(rc, EINVAL) << oldPath << " -> " << newPath;
          continue;
        }
        ASSERT_EQ(rc, 0) << oldPath << " -> " << newPath;
        node.parent = parent;
        node.name = name;
      }
    }
    for (const std::string& guid : reachable(state, false))
      pathsSeen.insert(modelPath(state, guid));
    if (snapshots.back().first == nowSec()) {
      snapshots.back().second = state;
    } else {
      snapshots.emplace_back(nowSec(), state);
    }
  }

  // Every second of the timeline, and the latest state.
  std::vector<uint64_t> times{0};
  for (uint64_t t = firstSecond; t <= nowSec(); ++t) times.push_back(t);
  size_t checks = 0;
  for (uint64_t t : times) {
    const ModelState* at = &snapshots.back().second;
    if (t != 0) {
      for (const auto& [second, snapshot] : snapshots) {
        if (second <= t) at = &snapshot;
      }
    }
    for (const auto& [guid, unused] : state) {
      index_iface_props props;
      int rc = index->find_by_guid(byGuid(guid, t), props);
      std::string expected = at->count(guid) != 0 ? modelPath(*at, guid) : "";
      if (expected.empty()) {
        EXPECT_EQ(rc, ENOENT) << guid << " at " << t;
        continue;
      }
      ASSERT_EQ(rc, 0) << guid << " at " << t;
      const ModelNode& node = at->at(guid);
      EXPECT_EQ(props.path, expected) << guid << " at " << t;
      EXPECT_EQ(props.verGuid, node.version) << guid << " at " << t;
      EXPECT_EQ(props.size, node.size) << guid << " at " << t;
      EXPECT_EQ(props.mode, node.mode) << guid << " at " << t;
      ++checks;
    }
    for (const std::string& path : pathsSeen) {
      std::string expected;
      for (const auto& [guid, node] : *at) {
        if (modelPath(*at, guid) == path) expected = guid;
      }
      EXPECT_EQ(guidAt(*index, path, t), expected) << path << " at " << t;
      ++checks;
    }
    for (const std::string& dir : reachable(*at, true)) {
      std::vector<std::string> expected;
      for (const auto& [guid, node] : *at) {
        if (!node.deleted && node.parent == dir && guid != root_) expected.push_back(node.name);
      }
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(childNames(*index, dir, t), expected) << dir << " at " << t;
      ++checks;
    }
  }
  EXPECT_GT(checks, 1000u);
}

TEST_F(IndexModelTest, RandomHistoriesMatchTheModel) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    runModel(seed);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace ObjectStore::test
