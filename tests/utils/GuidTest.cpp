#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/TestEnv.h"
#include "platform/utils/Guid.h"

namespace ObjectStore {
namespace {

class GuidTest : public test::TestEnv {};

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

TEST_F(GuidTest, IsThirtyTwoLowerCaseHexDigits) {
  for (int i = 0; i < 1000; ++i) {
    std::string guid = generateGuid();
    ASSERT_EQ(guid.size(), 32u) << guid;
    for (char c : guid) ASSERT_TRUE(isLowerHex(c)) << "[" << guid << "]";
  }
}

TEST_F(GuidTest, HundredThousandGuidsAreUnique) {
  constexpr size_t kCount = 100000;
  std::unordered_set<std::string> seen;
  seen.reserve(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    std::string guid = generateGuid();
    ASSERT_EQ(guid.size(), 32u);
    ASSERT_TRUE(seen.insert(guid).second) << "duplicate " << guid << " after " << i;
  }
  EXPECT_EQ(seen.size(), kCount);
}

TEST_F(GuidTest, EveryPositionTakesEveryDigit) {
  // A stuck position or a missing digit (a formatting slip such as using only
  // the low nibble) would leave a gap in this table; 20000 random GUIDs fill
  // all 32 x 16 cells with overwhelming probability.
  bool seen[32][16] = {};
  for (int i = 0; i < 20000; ++i) {
    std::string guid = generateGuid();
    ASSERT_EQ(guid.size(), 32u);
    for (size_t pos = 0; pos < 32; ++pos) {
      char c = guid[pos];
      ASSERT_TRUE(isLowerHex(c));
      seen[pos][c <= '9' ? c - '0' : c - 'a' + 10] = true;
    }
  }
  for (size_t pos = 0; pos < 32; ++pos)
    for (int digit = 0; digit < 16; ++digit)
      EXPECT_TRUE(seen[pos][digit]) << "position " << pos << " never had digit " << digit;
}

TEST_F(GuidTest, ThreadsGetDistinctGuids) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 10000;
  std::vector<std::vector<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&results, t] {
      results[t].reserve(kPerThread);
      for (int i = 0; i < kPerThread; ++i) results[t].push_back(generateGuid());
    });
  }
  for (auto& thread : threads) thread.join();
  std::unordered_set<std::string> seen;
  for (const auto& list : results)
    for (const auto& guid : list) ASSERT_TRUE(seen.insert(guid).second) << "duplicate " << guid;
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace ObjectStore
