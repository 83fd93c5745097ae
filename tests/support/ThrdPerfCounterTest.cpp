#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {
namespace {

using std::chrono::milliseconds;

class ThrdPerfCounterTest : public test::TestEnv {
 protected:
  void SetUp() override {
    test::TestEnv::SetUp();
    g_object_store_enable_perf = false;
    g_object_store_counter.setEnabled(true);
    g_object_store_counter.setLogOnEveryStop(false);
    g_object_store_counter.clearPerfCounters();
  }
  void TearDown() override {
    g_object_store_enable_perf = false;
    test::TestEnv::TearDown();
  }

  static uint64_t countOf(const ThrdPerfCounter& counter, const char* name, int index) {
    PerfCounterSnapshot s;
    return counter.getCounter(name, index, s) ? s.count : 0;
  }
};

TEST_F(ThrdPerfCounterTest, CountsStartStopPairs) {
  ThrdPerfCounter counter;
  for (int i = 0; i < 5; ++i) {
    counter.StartPerfCounter("write", 10);
    counter.StopPerfCounter("write", 10, 0);
  }
  counter.StartPerfCounter("write", 10);
  std::this_thread::sleep_for(milliseconds(20));
  counter.StopPerfCounter("write", 10, 0);

  PerfCounterSnapshot s;
  ASSERT_TRUE(counter.getCounter("write", 10, s));
  EXPECT_EQ(s.name, "write");
  EXPECT_EQ(s.index, 10);
  EXPECT_EQ(s.count, 6u);
  EXPECT_GE(s.totalNs, 20000000u);
  EXPECT_GE(s.maxNs, 20000000u);
  EXPECT_LE(s.minNs, s.maxNs);
  EXPECT_LE(s.maxNs, s.totalNs);
}

TEST_F(ThrdPerfCounterTest, DisabledCounterDoesNothing) {
  ThrdPerfCounter counter;
  counter.setEnabled(false);
  EXPECT_FALSE(counter.isEnabled());
  test::LogCapture capture(6);
  counter.StartPerfCounter("read", 12);
  counter.StopPerfCounter("read", 12, 0);
  PerfCounterSnapshot s;
  EXPECT_FALSE(counter.getCounter("read", 12, s));
  counter.setEnabled(true);
  counter.StartPerfCounter("read", 12);
  counter.StopPerfCounter("read", 12, 0);
  counter.setEnabled(false);
  counter.LogAllPerfCounters("PerfCnt", "For All The Files");
  EXPECT_EQ(capture.records().size(), 0u) << capture.dump();
  EXPECT_EQ(countOf(counter, "read", 12), 1u);
}

TEST_F(ThrdPerfCounterTest, StopWithoutStartIsIgnored) {
  ThrdPerfCounter counter;
  counter.StopPerfCounter("close", 8, 0);
  counter.StartPerfCounter("close", 8);
  counter.StopPerfCounter("close", 8, 0);
  counter.StopPerfCounter("close", 8, 0);  // unmatched
  EXPECT_EQ(countOf(counter, "close", 8), 1u);
}

TEST_F(ThrdPerfCounterTest, NameAndIndexTogetherNameACounter) {
  ThrdPerfCounter counter;
  counter.StartPerfCounter("create", 3);
  counter.StopPerfCounter("create", 3, 0);
  counter.StartPerfCounter("other", 3);
  counter.StopPerfCounter("other", 3, 0);
  counter.StartPerfCounter("create", 4);
  counter.StopPerfCounter("create", 4, 0);
  EXPECT_EQ(countOf(counter, "create", 3), 1u);
  EXPECT_EQ(countOf(counter, "other", 3), 1u);
  EXPECT_EQ(countOf(counter, "create", 4), 1u);
  // A stop under another name does not close the start of "create".
  counter.StartPerfCounter("create", 3);
  counter.StopPerfCounter("other", 3, 0);
  EXPECT_EQ(countOf(counter, "other", 3), 1u);
  counter.StopPerfCounter("create", 3, 0);
  EXPECT_EQ(countOf(counter, "create", 3), 2u);
}

TEST_F(ThrdPerfCounterTest, NestedTimingsOfOneCounterPairUp) {
  ThrdPerfCounter counter;
  counter.StartPerfCounter("create", 3);
  std::this_thread::sleep_for(milliseconds(20));
  counter.StartPerfCounter("create", 3);  // e.g. one form calling the other
  counter.StopPerfCounter("create", 3, 0);
  counter.StopPerfCounter("create", 3, 0);
  PerfCounterSnapshot s;
  ASSERT_TRUE(counter.getCounter("create", 3, s));
  EXPECT_EQ(s.count, 2u);
  // The inner timing is short, the outer one includes the sleep.
  EXPECT_GE(s.maxNs, 20000000u);
  EXPECT_LT(s.minNs, s.maxNs);
}

TEST_F(ThrdPerfCounterTest, ClearKeepsCountersButZeroesThem) {
  ThrdPerfCounter counter;
  counter.StartPerfCounter("unlink", 13);
  counter.StopPerfCounter("unlink", 13, 0);
  counter.clearPerfCounters();
  PerfCounterSnapshot s;
  ASSERT_TRUE(counter.getCounter("unlink", 13, s));
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(s.totalNs, 0u);
  EXPECT_EQ(s.minNs, 0u);
  EXPECT_EQ(s.maxNs, 0u);
  test::LogCapture capture(0);
  counter.LogAllPerfCounters("PerfCnt", "For All The Files");
  EXPECT_EQ(capture.records().size(), 0u) << capture.dump();
  // Counting goes on after a clear.
  counter.StartPerfCounter("unlink", 13);
  counter.StopPerfCounter("unlink", 13, 0);
  EXPECT_EQ(countOf(counter, "unlink", 13), 1u);
}

TEST_F(ThrdPerfCounterTest, InitRegistersTheTableInOrder) {
  ThrdPerfCounter counter;
  counter.InitPerfCounters({"backupinit", "backupjobstart", "backupitem", "create"});
  auto all = counter.getAllCounters();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].name, "backupinit");
  EXPECT_EQ(all[0].index, 0);
  EXPECT_EQ(all[3].name, "create");
  EXPECT_EQ(all[3].index, 3);
  for (const auto& s : all) EXPECT_EQ(s.count, 0u);
  // Registering again keeps the figures.
  counter.StartPerfCounter("create", 3);
  counter.StopPerfCounter("create", 3, 0);
  counter.InitPerfCounters({"backupinit", "backupjobstart", "backupitem", "create"});
  EXPECT_EQ(countOf(counter, "create", 3), 1u);
}

TEST_F(ThrdPerfCounterTest, LogsOneLinePerActiveCounter) {
  ThrdPerfCounter counter;
  counter.InitPerfCounters({"backupinit", "backupjobstart", "backupitem", "create"});
  for (int i = 0; i < 2; ++i) {
    counter.StartPerfCounter("create", 3);
    counter.StopPerfCounter("create", 3, 0);
  }
  counter.StartPerfCounter("backupinit", 0);
  counter.StopPerfCounter("backupinit", 0, 0);
  test::LogCapture capture(0);
  counter.LogAllPerfCounters("PerfCnt", "For All The Files");
  auto records = capture.records();
  ASSERT_EQ(records.size(), 2u) << capture.dump();
  EXPECT_EQ(records[0].level, 0);
  EXPECT_EQ(
      records[0].message.rfind("PerfCnt For All The Files: [0] backupinit count=1 total_us=", 0),
      0u)
      << records[0].message;
  EXPECT_EQ(records[1].message.rfind("PerfCnt For All The Files: [3] create count=2 total_us=", 0),
            0u)
      << records[1].message;
  EXPECT_NE(records[1].message.find(" avg_us="), std::string::npos);
  EXPECT_NE(records[1].message.find(" min_us="), std::string::npos);
  EXPECT_NE(records[1].message.find(" max_us="), std::string::npos);
}

TEST_F(ThrdPerfCounterTest, LogOnEveryStop) {
  ThrdPerfCounter counter("Store");
  counter.setLogOnEveryStop(true);
  test::LogCapture capture(0);
  counter.StartPerfCounter("open", 7);
  counter.StopPerfCounter("open", 7, 0);
  counter.StartPerfCounter("open", 7);
  counter.StopPerfCounter("open", 7, 0);
  EXPECT_EQ(capture.countContaining("Store For All The Files: [7] open count=1 ", 0), 1u)
      << capture.dump();
  EXPECT_EQ(capture.countContaining("Store For All The Files: [7] open count=2 ", 0), 1u)
      << capture.dump();
  counter.setLogOnEveryStop(false);
  capture.clear();
  counter.StartPerfCounter("open", 7);
  counter.StopPerfCounter("open", 7, 0);
  EXPECT_EQ(capture.records().size(), 0u);
}

TEST_F(ThrdPerfCounterTest, MacrosDoNothingWhileTheSwitchIsOff) {
  OBJECT_STORE_START_PERF_COUNTER("mkdir", 6);
  OBJECT_STORE_STOP_PERF_COUNTER("mkdir", 6);
  EXPECT_EQ(countOf(g_object_store_counter, "mkdir", 6), 0u);
  g_object_store_enable_perf = true;
  OBJECT_STORE_START_PERF_COUNTER("mkdir", 6);
  OBJECT_STORE_STOP_PERF_COUNTER("mkdir", 6);
  EXPECT_EQ(countOf(g_object_store_counter, "mkdir", 6), 1u);
}

TEST_F(ThrdPerfCounterTest, LogAllMacroFollowsTheSwitch) {
  g_object_store_enable_perf = true;
  OBJECT_STORE_START_PERF_COUNTER("rmdir", 14);
  OBJECT_STORE_STOP_PERF_COUNTER("rmdir", 14);
  test::LogCapture capture(0);
  g_object_store_enable_perf = false;
  OBJECT_STORE_LOG_ALL_PERF_COUNTERS("ObjectStore");
  EXPECT_EQ(capture.records().size(), 0u);
  g_object_store_enable_perf = true;
  OBJECT_STORE_LOG_ALL_PERF_COUNTERS("ObjectStore");
  EXPECT_EQ(capture.countContaining("ObjectStore For All The Files: [14] rmdir count=1 ", 0), 1u)
      << capture.dump();
}

TEST_F(ThrdPerfCounterTest, TimeFunctionTimesItsScope) {
  g_object_store_enable_perf = true;
  {
    TimeFunction timer("getattr", 16);
    std::this_thread::sleep_for(milliseconds(5));
  }
  PerfCounterSnapshot s;
  ASSERT_TRUE(g_object_store_counter.getCounter("getattr", 16, s));
  EXPECT_EQ(s.count, 1u);
  EXPECT_GE(s.totalNs, 5000000u);
}

TEST_F(ThrdPerfCounterTest, TimeFunctionDecidesAtConstruction) {
  {
    TimeFunction timer("chmod", 23);  // switch off: not started
    g_object_store_enable_perf = true;
  }
  EXPECT_EQ(countOf(g_object_store_counter, "chmod", 23), 0u);
  {
    TimeFunction timer("chmod", 23);  // switch on: started ...
    g_object_store_enable_perf = false;
  }  // ... and stopped although the switch is off now
  EXPECT_EQ(countOf(g_object_store_counter, "chmod", 23), 1u);
  // No start was left behind by the first scope: another pair counts once.
  g_object_store_enable_perf = true;
  { TimeFunction timer("chmod", 23); }
  EXPECT_EQ(countOf(g_object_store_counter, "chmod", 23), 2u);
}

}  // namespace
}  // namespace ObjectStore
