#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "common/TestEnv.h"
#include "platform/support/HXThread.h"
#include "platform/support/HxEvent.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

using test::waitFor;

class HXThreadTest : public test::TestEnv {};

void addOne(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

void waitForEvent(void* arg) { (void)static_cast<HxEvent*>(arg)->wait(HX_INFINITE); }

TEST_F(HXThreadTest, RunsTheFunctionWithItsArgument) {
  std::atomic<int> value{41};
  HXThread thread;
  EXPECT_FALSE(thread.joinable());
  ASSERT_TRUE(thread.start(&addOne, &value).ok());
  EXPECT_TRUE(thread.joinable());
  thread.join();
  EXPECT_EQ(value.load(), 42);
  EXPECT_FALSE(thread.joinable());
  EXPECT_FALSE(thread.isRunning());
}

TEST_F(HXThreadTest, RunsAStdFunction) {
  int value = 0;
  HxThread thread;  // the other spelling is the same class
  ASSERT_TRUE(thread.start([&] { value = 7; }).ok());
  thread.join();
  EXPECT_EQ(value, 7);
}

TEST_F(HXThreadTest, IsRunningUntilTheFunctionReturns) {
  HxEvent release(false);
  HXThread thread;
  ASSERT_TRUE(thread.start(&waitForEvent, &release).ok());
  EXPECT_TRUE(thread.isRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(thread.isRunning());
  release.set();
  EXPECT_TRUE(waitFor([&] { return !thread.isRunning(); }));
  // Finished but not joined yet.
  EXPECT_TRUE(thread.joinable());
  thread.join();
}

TEST_F(HXThreadTest, RejectsMissingFunctions) {
  HXThread thread;
  CZnError err = thread.start(nullptr, nullptr);
  EXPECT_EQ(err.errNo(), EINVAL);
  err = thread.start(std::function<void()>());
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_FALSE(thread.joinable());
  EXPECT_FALSE(thread.isRunning());
}

TEST_F(HXThreadTest, CanStartAgainOnlyAfterJoin) {
  std::atomic<int> value{0};
  HXThread thread;
  ASSERT_TRUE(thread.start(&addOne, &value).ok());
  CZnError err = thread.start(&addOne, &value);
  EXPECT_EQ(err.errNo(), EBUSY);
  thread.join();
  ASSERT_TRUE(thread.start(&addOne, &value).ok());
  thread.join();
  EXPECT_EQ(value.load(), 2);
}

TEST_F(HXThreadTest, JoinWithoutThreadDoesNothing) {
  HXThread thread;
  thread.join();
  thread.join();
  EXPECT_FALSE(thread.joinable());
}

TEST_F(HXThreadTest, DestructorWaitsForTheThread) {
  std::atomic<bool> finished{false};
  {
    HXThread thread;
    ASSERT_TRUE(thread
                    .start([&] {
                      std::this_thread::sleep_for(std::chrono::milliseconds(100));
                      finished = true;
                    })
                    .ok());
  }
  EXPECT_TRUE(finished.load());
}

TEST_F(HXThreadTest, JoinOnItsOwnThreadIsRefused) {
  test::LogCapture capture(-1);
  HXThread thread;
  std::atomic<bool> returned{false};
  ASSERT_TRUE(thread
                  .start([&] {
                    thread.join();  // would deadlock if it really joined
                    returned = true;
                  })
                  .ok());
  EXPECT_TRUE(waitFor([&] { return returned.load(); }));
  thread.join();
  EXPECT_EQ(capture.count("Error: a thread can't join itself", -1), 1u) << capture.dump();
}

// The shape used by the command interface and the backup controller: a class
// that derives from the thread class, starts its own static entry point with
// `this`, and stops and joins in its own destructor.
class Ticker : public HXThread {
 public:
  ~Ticker() override {
    stop_ = true;
    wake_.set();
    join();
  }
  CZnError begin() { return start(&Ticker::run, this); }
  int ticks() const { return ticks_.load(); }
  void tick() { wake_.set(); }

 private:
  static void run(void* arg) {
    auto* self = static_cast<Ticker*>(arg);
    while (self->wake_.wait(HX_INFINITE) && !self->stop_) ++self->ticks_;
  }
  std::atomic<bool> stop_{false};
  std::atomic<int> ticks_{0};
  HxEvent wake_{false};
};

TEST_F(HXThreadTest, DerivedClassRunsItsOwnThread) {
  auto ticker = std::make_unique<Ticker>();
  ASSERT_TRUE(ticker->begin().ok());
  EXPECT_TRUE(ticker->isRunning());
  for (int i = 1; i <= 3; ++i) {
    ticker->tick();
    EXPECT_TRUE(waitFor([&] { return ticker->ticks() == i; }));
  }
  // Must return: the derived destructor stops and joins the thread (a hang
  // here ends in the test's timeout).
  ticker.reset();
}

}  // namespace
}  // namespace ObjectStore
