// Many threads restoring through one RestoreInterface at once, as the store
// does: every good record comes back exactly, every damaged one fails.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "platform/restore/RestoreInterface.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 5;

class RestoreConcurrencyTest : public test::TestEnv {};

struct Record {
  uint64_t afileId;
  uint64_t offset;
  std::string data;
  bool damaged;
};

TEST_F(RestoreConcurrencyTest, ParallelRestoresAreExactOrFail) {
  const std::string backupDir = path("backup");
  ASSERT_EQ(createDir(backupDir), 0);
  ASSERT_TRUE(registerSubClient(SUBCLIENT, backupDir));
  std::mt19937_64 rng(99);
  std::vector<Record> records;
  {
    test::TestAfileBuilder builder(backupDir, SUBCLIENT);
    for (uint64_t afile = 1; afile <= 6; ++afile) {
      builder.startAfile(afile);
      for (int i = 0; i < 40; ++i) {
        std::string data = test::randomBytes(rng, 1 + rng() % 20000);
        const std::string name = "seg_" + std::to_string(afile) + "_" + std::to_string(i);
        const uint64_t offset = builder.append(name, data);
        const bool damaged = i % 13 == 5;
        if (damaged)
          test::flipByte(builder.path(),
                         offset + AFILE_RECORD_HEADER_SIZE + name.size() + data.size() / 2);
        records.push_back({afile, offset, std::move(data), damaged});
      }
    }
  }
  SubClientInfo info;
  ASSERT_TRUE(GetSubClientInfo(SUBCLIENT, info));
  RestoreInterface restore(info);
  ASSERT_TRUE(restore.IsInitSuccessFull());

  std::atomic<int> wrong{0};
  std::atomic<int> goodRestores{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 local(static_cast<uint64_t>(t) + 1);
      std::vector<char> buffer(20000);
      for (int i = 0; i < 600; ++i) {
        const Record& r = records[local() % records.size()];
        AfileInfo where;
        where.afileId = r.afileId;
        where.afileOffset = r.offset;
        uint64_t size = buffer.size();
        const bool ok = restore.Restore(where, "/f", &size, buffer.data(), "");
        if (r.damaged) {
          if (ok)
            ++wrong;
          else
            ++refused;
        } else if (!ok || std::string(buffer.data(), size) != r.data) {
          ++wrong;
        } else {
          ++goodRestores;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(goodRestores.load(), 0);
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(goodRestores.load() + refused.load(), 8 * 600);
}

}  // namespace
}  // namespace ObjectStore
