// Directory entry lists under concurrent writers, readers and lookups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::fakeGuid;

constexpr int kWriters = 4;
constexpr int kReaders = 3;
constexpr int kChildrenPerWriter = 60;

// A distinct 32-digit GUID per (writer, child).
guid_t childGuid(int writer, int child) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "%08x%08x%016x", writer + 1, child + 1, 0xabcdu);
  return guid_t(buf);
}

std::string childName(int writer, int child) {
  return "w" + std::to_string(writer) + "-c" + std::to_string(child);
}

class DirEntConcurrencyTest : public test::StoreOpsFixture {
 protected:
  GuidPathList list(ObjectStore& store, const guid_t& dir) {
    GuidPathList out;
    guid_t parent;
    bool done = false;
    ItemName item(dir, false);
    EXPECT_OK(store.readDirEnt(out, parent, done, item, 0, DIRENT_READ_ALL));
    EXPECT_TRUE(done);
    return out;
  }

  // Every expected child exactly once, nothing else.
  void expectExactly(const GuidPathList& listed, const std::map<std::string, guid_t>& expected) {
    std::map<std::string, int> seen;
    for (const auto& [guid, name] : listed) {
      ++seen[name];
      auto it = expected.find(name);
      if (it == expected.end()) {
        ADD_FAILURE() << "unexpected child " << name;
      } else {
        EXPECT_EQ(guid, it->second) << name;
      }
    }
    for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
    EXPECT_EQ(listed.size(), expected.size());
  }

  // Runs body on its own thread; a body that does not finish in time is a
  // deadlock, reported and ended here rather than by the test runner's
  // time-out.
  template <class Body>
  void runWithWatchdog(Body&& body) {
    auto done = std::async(std::launch::async, std::forward<Body>(body));
    if (done.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
      std::fprintf(stderr, "deadlock: the threads did not finish within 120 s\n");
      std::abort();
    }
    done.get();
  }
};

TEST_F(DirEntConcurrencyTest, WritersReadersAndLookupsAgreeAtTheEnd) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  const guid_t shared = mkdir(*store, "/shared");
  std::vector<guid_t> own;
  for (int w = 0; w < kWriters; ++w) own.push_back(mkdir(*store, "/own" + std::to_string(w)));

  std::atomic<int> writersLeft{kWriters};
  std::atomic<int> failures{0};
  runWithWatchdog([&] {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        for (int c = 0; c < kChildrenPerWriter; ++c) {
          if (!store->addToDirEnt(shared, childGuid(w, c), childName(w, c), false).ok()) ++failures;
          if (!store->addToDirEnt(own[w], childGuid(w, c), childName(w, c), false).ok()) ++failures;
          // Every third child goes again from the shared directory.
          if (c % 3 == 2 && !store->removeFromDirEnt(shared, childGuid(w, c), childName(w, c)).ok())
            ++failures;
        }
        --writersLeft;
      });
    }
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        int round = 0;
        while (writersLeft.load() > 0) {
          // Dropping the cached lists makes the next readers load them from
          // disk while the writers change them.
          if (r == 0 && round % 4 == 0) store->dirEntCache().clear();
          GuidPathList out;
          guid_t parent;
          bool done = false;
          ItemName dir(r == 1 ? own[round % kWriters] : shared, false);
          if (!store->readDirEnt(out, parent, done, dir, 0, DIRENT_READ_ALL).ok()) ++failures;
          guid_t found;
          ItemName parentName(shared, false);
          if (!store->lookupPathInDirEnt(found, parentName, childName(round % kWriters, 0)).ok())
            ++failures;
          ++round;
        }
      });
    }
    for (auto& t : threads) t.join();
  });
  EXPECT_EQ(failures.load(), 0);

  std::map<std::string, guid_t> expectedShared;
  std::vector<std::map<std::string, guid_t>> expectedOwn(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    for (int c = 0; c < kChildrenPerWriter; ++c) {
      expectedOwn[w][childName(w, c)] = childGuid(w, c);
      if (c % 3 != 2) expectedShared[childName(w, c)] = childGuid(w, c);
    }
  }
  // What the cache says and what the disk says must both be right.
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "as cached" : "from disk");
    if (pass == 1) store->dirEntCache().clear();
    expectExactly(list(*store, shared), expectedShared);
    for (int w = 0; w < kWriters; ++w) expectExactly(list(*store, own[w]), expectedOwn[w]);
    for (int w = 0; w < kWriters; ++w) {
      for (int c = 0; c < kChildrenPerWriter; ++c) {
        guid_t found;
        ItemName parentName(shared, false);
        ASSERT_OK(store->lookupPathInDirEnt(found, parentName, childName(w, c)));
        EXPECT_EQ(found, c % 3 != 2 ? childGuid(w, c) : guid_t()) << childName(w, c);
      }
    }
  }
  // No directory-entry user is left behind.
  EXPECT_EQ(store->findOpenFile(shared), nullptr);
  for (const auto& dir : own) EXPECT_EQ(store->findOpenFile(dir), nullptr);
}

TEST_F(DirEntConcurrencyTest, ConcurrentFirstLoadsOfOneDirectory) {
  ObjectStore* store = openStore(liveConfig());
  ASSERT_NE(store, nullptr);
  const guid_t dir = mkdir(*store, "/d");
  std::map<std::string, guid_t> expected;
  for (int c = 0; c < 50; ++c) {
    ASSERT_OK(store->addToDirEnt(dir, childGuid(0, c), childName(0, c), false));
    expected[childName(0, c)] = childGuid(0, c);
  }
  std::atomic<int> failures{0};
  runWithWatchdog([&] {
    for (int round = 0; round < 20; ++round) {
      store->dirEntCache().clear();
      std::vector<std::thread> threads;
      for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
          GuidPathList out;
          guid_t parent;
          bool done = false;
          ItemName item(dir, false);
          if (!store->readDirEnt(out, parent, done, item, 0, DIRENT_READ_ALL).ok() ||
              out.size() != expected.size() || parent != store->getRootGuid())
            ++failures;
        });
      }
      for (auto& t : threads) t.join();
    }
  });
  EXPECT_EQ(failures.load(), 0);
  expectExactly(list(*store, dir), expected);
}

}  // namespace
}  // namespace ObjectStore
