#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "platform/support/EvEvent.h"

namespace ObjectStore {
namespace {

class EvEventTest : public test::TestEnv {
 protected:
  void SetUp() override {
    test::TestEnv::SetUp();
    EvEvent::resetCounters();
  }
};

TEST_F(EvEventTest, LogsTheEventAtErrorLevel) {
  // Raised while the logger is at its lowest level: events are always written.
  test::LogCapture capture(-1);
  EvEvent::MajorEvent(0x4a000530, 0, 0, "Can't remove [%s]", "/c/cache/7");
  EXPECT_EQ(capture.count("Event 0x4a000530: Can't remove [/c/cache/7]", -1), 1u) << capture.dump();
  EXPECT_EQ(capture.records().size(), 1u);
}

TEST_F(EvEventTest, PadsTheIdToEightHexDigits) {
  test::LogCapture capture(-1);
  EvEvent::MajorEvent(0x1f, 1, 2, "short id");
  EXPECT_TRUE(capture.contains("Event 0x0000001f: short id", -1)) << capture.dump();
}

TEST_F(EvEventTest, CountsEveryEvent) {
  test::LogCapture capture(-1);
  EXPECT_EQ(EvEvent::raisedCount(), 0u);
  EXPECT_EQ(EvEvent::lastEventId(), 0u);
  EvEvent::MajorEvent(0x10, 0, 0, "one");
  EvEvent::MajorEvent(0x20, 0, 0, "two");
  EXPECT_EQ(EvEvent::raisedCount(), 2u);
  EXPECT_EQ(EvEvent::lastEventId(), 0x20u);
}

}  // namespace
}  // namespace ObjectStore
