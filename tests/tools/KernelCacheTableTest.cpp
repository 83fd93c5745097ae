// When the kernel may keep a file's page cache at an open: the same object
// with the same size and times, trusted since the cache was last dropped.
#include "tools/objstore/KernelCacheTable.h"

#include <gtest/gtest.h>

namespace ObjectStore::tool {
namespace {

struct stat attrs(off_t size, time_t mtime, long mtimeNs, time_t ctime) {
  struct stat st {};
  st.st_size = size;
  st.st_mtim.tv_sec = mtime;
  st.st_mtim.tv_nsec = mtimeNs;
  st.st_ctim.tv_sec = ctime;
  return st;
}

TEST(KernelCacheTableTest, KeepsOnlyWhatNothingElseChanged) {
  KernelCacheTable table;
  const struct stat st = attrs(10, 100, 5, 100);
  EXPECT_FALSE(table.keepOnOpen(7, "g1", st, false));  // never seen: nothing to keep
  table.closed(7, "g1", st);
  EXPECT_TRUE(table.keepOnOpen(7, "g1", st, false));

  EXPECT_FALSE(table.keepOnOpen(7, "g1", attrs(10, 100, 6, 100), false));  // mtime, by 1 ns
  EXPECT_TRUE(table.keepOnOpen(7, "g1", attrs(10, 100, 6, 100), false));
  EXPECT_FALSE(table.keepOnOpen(7, "g1", attrs(10, 100, 6, 101), false));  // ctime only
  EXPECT_FALSE(table.keepOnOpen(7, "g1", attrs(11, 100, 6, 101), false));  // size only
  EXPECT_FALSE(table.keepOnOpen(7, "g2", attrs(11, 100, 6, 101), false));  // another object
  EXPECT_FALSE(table.keepOnOpen(7, "g2", attrs(11, 100, 6, 101), true));   // truncating
}

TEST(KernelCacheTableTest, WritesThroughTheMountAreTakenAtClose) {
  KernelCacheTable table;
  (void)table.keepOnOpen(3, "g", attrs(0, 1, 0, 1), true);
  table.closed(3, "g", attrs(4096, 2, 0, 2));
  EXPECT_TRUE(table.keepOnOpen(3, "g", attrs(4096, 2, 0, 2), false));
  // A close of a different object under the same number changes nothing.
  table.closed(3, "other", attrs(1, 9, 0, 9));
  EXPECT_TRUE(table.keepOnOpen(3, "g", attrs(4096, 2, 0, 2), false));
}

TEST(KernelCacheTableTest, DistrustLastsUntilTheCacheIsDropped) {
  KernelCacheTable table;
  const struct stat st = attrs(8, 5, 0, 5);
  (void)table.keepOnOpen(4, "g", st, false);
  table.distrust(4);
  table.closed(4, "g", st);  // a close does not make failed bytes good
  EXPECT_FALSE(table.keepOnOpen(4, "g", st, false));
  EXPECT_TRUE(table.keepOnOpen(4, "g", st, false));
  table.distrust(99);  // unknown: nothing to do
  table.forget(4);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_FALSE(table.keepOnOpen(4, "g", st, false));
}

}  // namespace
}  // namespace ObjectStore::tool
