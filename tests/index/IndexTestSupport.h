// Helpers shared by the index tests: a fixture with a manual clock and a
// share database in the test's directory, and builders for the records the
// store sends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "platform/index/index_iface.h"
#include "platform/support/Clock.h"

namespace ObjectStore::test {

// Second 0 of the tests' timeline.
inline constexpr int64_t kIndexTestStartSec = 1700000000;
inline constexpr int64_t kNsPerSec = 1000000000;

// A deterministic object or version GUID: 32 hex digits ending in n.
inline std::string testGuid(char tag, unsigned n) {
  char text[40];
  std::snprintf(text, sizeof(text), "%c%c%c%c%028x", tag, tag, tag, tag, n);
  return text;
}

inline std::string extentGuidOf(const std::string& guid, unsigned long number) {
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%07lu", number);
  return guid + suffix;
}

class IndexTest : public TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    clock_ = std::make_unique<ManualClock>(kIndexTestStartSec);
  }
  void TearDown() override {
    clock_.reset();
    TestEnv::TearDown();
  }

  index_iface::args argsFor(const std::string& shareKey = "share", bool caseSensitive = true) {
    index_iface::args args;
    args.subclient = 7;
    args.indexParam1 = 100;
    args.indexParam2 = 10;
    args.caseSensitive = caseSensitive;
    args.indexRoot = path("index");
    args.shareKey = shareKey;
    return args;
  }

  // A new, initialised index on the test's database (several may share it).
  std::unique_ptr<index_iface> openIndex(const std::string& shareKey = "share",
                                         bool caseSensitive = true) {
    auto index = std::make_unique<index_iface>(argsFor(shareKey, caseSensitive));
    EXPECT_EQ(index->init(), 0);
    return index;
  }

  ManualClock& clock() { return *clock_; }
  int64_t nowNs() const { return clock_->nowNs(); }
  // Whole seconds of the current time (a before_time).
  uint64_t nowSec() const { return static_cast<uint64_t>(clock_->nowNs() / kNsPerSec); }
  // Moves the clock to a fresh second and returns it.
  uint64_t tick(int64_t seconds = 10) {
    clock_->advanceSec(seconds);
    return nowSec();
  }

  static index_iface_props item(const std::string& objGuid, const std::string& verGuid,
                                const std::string& path, const std::string& parentGuid, int mode,
                                int64_t vtimeNs) {
    index_iface_props props;
    props.objGuid = objGuid;
    props.verGuid = verGuid;
    props.path = path;
    props.parentGuid = parentGuid;
    props.modeValid = true;
    props.mode = mode;
    props.uidValid = true;
    props.uid = 1000;
    props.gidValid = true;
    props.gid = 100;
    props.size = 0;
    props.atime = props.ctime = props.mtime = vtimeNs / kNsPerSec;
    props.extentSize = 1 << 20;
    props.itemFlag = (mode & 0xF000) == 0x8000 ? 1 : 0;
    props.vtime = vtimeNs;
    return props;
  }

  // The store's way: the directory's version is its directory version name.
  int addRoot(index_iface& index, const std::string& rootGuid) {
    index_iface_props root = item(rootGuid, rootGuid + "-0", "/", "", 0x41ED, nowNs());
    int rc = index.add_item(root);
    if (rc == 0) index.set_content_root_props(root);
    return rc;
  }
  int addDir(index_iface& index, const std::string& guid, const std::string& path,
             const std::string& parent) {
    index_iface_props dir = item(guid, guid + "-0", path, parent, 0x41ED, nowNs());
    return index.add_item(dir);
  }
  int addFile(index_iface& index, const std::string& guid, const std::string& verGuid,
              const std::string& path, const std::string& parent, int64_t size = 0) {
    index_iface_props file = item(guid, verGuid, path, parent, 0x81A4, nowNs());
    file.size = size;
    return index.add_item(file);
  }
  // A further version of a file, as the store's segment copy records it.
  int addVersion(index_iface& index, const std::string& guid, const std::string& verGuid,
                 int64_t size) {
    index_iface_props version;
    version.objGuid = guid;
    version.verGuid = verGuid;
    version.size = size;
    version.vtime = nowNs();
    return index.add_item(version);
  }
  // An extent record of file `file` written by version `verGuid`.
  int addExtent(index_iface& index, const std::string& file, const std::string& verGuid,
                unsigned long number, int64_t fileSize) {
    index_iface_props extent;
    extent.objGuid = extentGuidOf(file, number);
    extent.verGuid = extentGuidOf(verGuid, number);
    extent.parentGuid = file;
    extent.modeValid = extent.uidValid = extent.gidValid = true;
    extent.mode = extent.uid = extent.gid = 0;
    extent.size = fileSize;
    extent.atime = extent.ctime = extent.mtime = nowNs() / kNsPerSec;
    extent.vtime = nowNs();
    extent.extentSize = 1 << 20;
    extent.updateSelector = 1;
    extent.extentNumber = number;
    return index.add_item(extent);
  }
  int deleteAt(index_iface& index, const std::string& guid, int64_t dtimeSec = 0) {
    index_iface_props props;
    props.objGuid = guid;
    props.dtime = dtimeSec;
    return index.delete_item(props);
  }
  int renameTo(index_iface& index, const std::string& guid, const std::string& newPath,
               const std::string& newParent, const std::string& oldParent,
               const std::string& oldPath, bool isDirectory) {
    index_iface_props props;
    props.objGuid = guid;
    props.path = newPath;
    props.parentGuid = newParent;
    return index.rename_item(props, oldParent, oldPath, isDirectory);
  }

  static index_iface_browse_fields byGuid(const std::string& guid, uint64_t beforeTime = 0) {
    index_iface_browse_fields fields;
    fields.guid = guid;
    fields.before_time = beforeTime;
    return fields;
  }
  static index_iface_browse_fields byPath(const std::string& path, uint64_t beforeTime = 0) {
    index_iface_browse_fields fields;
    fields.path = path;
    fields.before_time = beforeTime;
    return fields;
  }

  // The object GUID at path as of beforeTime, "" when not found.
  static std::string guidAt(index_iface& index, const std::string& path, uint64_t beforeTime = 0) {
    index_iface_props props;
    return index.find_by_path(byPath(path, beforeTime), props) == 0 ? props.objGuid : "";
  }
  // The path of guid as of beforeTime, "" when not found.
  static std::string pathAt(index_iface& index, const std::string& guid, uint64_t beforeTime = 0) {
    index_iface_props props;
    return index.find_by_guid(byGuid(guid, beforeTime), props) == 0 ? props.path : "";
  }
  // The children's names of dir as of beforeTime ("ENOENT" etc. on failure).
  static std::vector<std::string> childNames(index_iface& index, const std::string& dir,
                                             uint64_t beforeTime = 0) {
    std::vector<index_iface_props*> list;
    int rc = index.browse_by_guid(byGuid(dir, beforeTime), list);
    std::vector<std::string> names;
    if (rc != 0) names.push_back("error " + std::to_string(rc));
    for (const index_iface_props* child : list) names.push_back(child->name);
    index.delete_browse_memory(list);
    return names;
  }

 private:
  std::unique_ptr<ManualClock> clock_;
};

}  // namespace ObjectStore::test
