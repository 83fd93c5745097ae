// Several threads using one index, and two index objects (two connections)
// writing one database file at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

class IndexConcurrencyTest : public IndexTest {
 protected:
  const std::string root_ = testGuid('a', 1);
};

constexpr unsigned kWriters = 4;
constexpr unsigned kFilesPerWriter = 120;

TEST_F(IndexConcurrencyTest, ThreadsAddFindAndBrowseTogether) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  for (unsigned w = 0; w < kWriters; ++w) {
    ASSERT_EQ(addDir(*index, testGuid('d', w), "/w" + std::to_string(w), root_), 0);
  }
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      const std::string dir = testGuid('d', w);
      const std::string dirPath = "/w" + std::to_string(w);
      for (unsigned i = 0; i < kFilesPerWriter; ++i) {
        unsigned n = w * 1000 + i;
        const std::string path = dirPath + "/f" + std::to_string(i);
        if (addFile(*index, testGuid('f', n), testGuid('v', n), path, dir, i) != 0) ++failures;
        if (guidAt(*index, path) != testGuid('f', n)) ++failures;
        if (pathAt(*index, testGuid('f', n)) != path) ++failures;
        index_iface_props update;
        update.objGuid = testGuid('f', n);
        update.verGuid = testGuid('v', n);
        update.size = i + 1;
        if (index->update_item(update) != 0) ++failures;
      }
    });
  }
  for (unsigned r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writing.load()) {
        std::vector<index_iface_props*> list;
        if (index->browse_by_guid(byGuid(root_), list) != 0 || list.size() != kWriters) {
          ++failures;
        }
        for (const index_iface_props* child : list) {
          std::vector<index_iface_props*> files;
          if (index->browse_by_guid(byGuid(child->objGuid), files) != 0) ++failures;
          for (const index_iface_props* file : files) {
            if (file->path != child->path + "/" + file->name) ++failures;
          }
          index->delete_browse_memory(files);
        }
        index->delete_browse_memory(list);
      }
    });
  }
  for (unsigned w = 0; w < kWriters; ++w) threads[w].join();
  writing = false;
  for (unsigned t = kWriters; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(failures.load(), 0);

  for (unsigned w = 0; w < kWriters; ++w) {
    EXPECT_EQ(childNames(*index, testGuid('d', w)).size(), kFilesPerWriter);
    index_iface_props props;
    ASSERT_EQ(index->find_by_path(byPath("/w" + std::to_string(w) + "/f7"), props), 0);
    EXPECT_EQ(props.size, 8);
  }
  std::map<std::string, std::string> counters;
  index->get_counters(counters);
  EXPECT_EQ(counters["index.adds"], std::to_string(1 + kWriters + kWriters * kFilesPerWriter));
  EXPECT_EQ(counters["index.updates"], std::to_string(kWriters * kFilesPerWriter));
  EXPECT_EQ(counters["index.errors"], "0");
}

TEST_F(IndexConcurrencyTest, TwoIndexObjectsWriteOneDatabase) {
  auto first = openIndex();
  ASSERT_EQ(addRoot(*first, root_), 0);
  auto second = openIndex();
  std::atomic<int> failures{0};
  auto writer = [&](index_iface& index, unsigned base) {
    for (unsigned i = 0; i < 150; ++i) {
      unsigned n = base + i;
      if (addFile(index, testGuid('f', n), testGuid('v', n), "/f" + std::to_string(n), root_) !=
          0) {
        ++failures;
      }
      if (i % 10 == 0) index.flush();  // checkpoints compete with the other writer
    }
  };
  std::thread a(writer, std::ref(*first), 0);
  std::thread b(writer, std::ref(*second), 1000);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  // Each connection sees what the other wrote.
  EXPECT_EQ(childNames(*first, root_).size(), 300u);
  EXPECT_EQ(childNames(*second, root_).size(), 300u);
  EXPECT_EQ(guidAt(*first, "/f1149"), testGuid('f', 1149));
  EXPECT_EQ(guidAt(*second, "/f149"), testGuid('f', 149));
}

}  // namespace
}  // namespace ObjectStore::test
