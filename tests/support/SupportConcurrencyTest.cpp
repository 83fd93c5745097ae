// The multi-threaded tests of the platform support library, gathered in one
// program so that they carry the "concurrency" label and also run under
// ThreadSanitizer (make test-tsan). The single-threaded behaviour of each
// class is tested in its own file; the thread and thread-pool tests live in
// HXThreadConcurrencyTest.cpp and HxThreadPoolConcurrencyTest.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "platform/support/CZnLogger.h"
#include "platform/support/CZnSocket.h"
#include "platform/support/EvEvent.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/HxEvent.h"
#include "platform/support/HxRW.h"
#include "platform/support/ThrdPerfCounter.h"
#include "support/SocketTestUtil.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

using std::chrono::steady_clock;
using test::closeOnExec;
using test::connectedPair;
using test::listenOnLoopback;
using test::msSince;
using test::readLines;
using test::waitFor;

// ---- HxEvent ----

class HxEventConcurrencyTest : public test::TestEnv {};

TEST_F(HxEventConcurrencyTest, InfiniteWaitIsWokenByAnotherThread) {
  HxEvent event(false);
  std::atomic<bool> returned{false};
  std::atomic<bool> result{false};
  std::thread waiter([&] {
    result = event.wait(HX_INFINITE);
    returned = true;
  });
  // Still blocked after a while: an infinite wait has no time limit.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  event.set();
  EXPECT_TRUE(waitFor([&] { return returned.load(); }));
  waiter.join();
  EXPECT_TRUE(result.load());
  // The woken wait consumed the signal.
  EXPECT_FALSE(event.isSet());
}

TEST_F(HxEventConcurrencyTest, TimedWaitIsWokenEarlyBySet) {
  HxEvent event(false);
  std::atomic<bool> result{false};
  auto start = steady_clock::now();
  std::thread waiter([&] { result = event.wait(60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  event.set();
  waiter.join();
  EXPECT_TRUE(result.load());
  EXPECT_LT(msSince(start), 30000);
}

// With two waiters and one set(), exactly one wait succeeds: the other one is
// woken at most spuriously and must go back to waiting until its deadline.
TEST_F(HxEventConcurrencyTest, OneSetReleasesExactlyOneOfTwoWaiters) {
  HxEvent event(false);
  std::atomic<int> released{0};
  std::atomic<int> timedOut{0};
  auto waitOnce = [&] {
    if (event.wait(1500))
      ++released;
    else
      ++timedOut;
  };
  std::thread a(waitOnce);
  std::thread b(waitOnce);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  event.set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(timedOut.load(), 1);
  EXPECT_FALSE(event.isSet());
}

// Two threads taking turns: every set() happens after the previous
// signal was consumed, so none may be lost.
TEST_F(HxEventConcurrencyTest, PingPongLosesNoSignal) {
  HxEvent ping(false);
  HxEvent pong(false);
  constexpr int ROUNDS = 2000;
  std::thread responder([&] {
    for (int i = 0; i < ROUNDS; ++i) {
      if (!ping.wait(10000)) return;
      pong.set();
    }
  });
  int answered = 0;
  for (int i = 0; i < ROUNDS; ++i) {
    ping.set();
    if (!pong.wait(10000)) break;
    ++answered;
  }
  responder.join();
  EXPECT_EQ(answered, ROUNDS);
}

// ---- HxRW ----

class HxRWConcurrencyTest : public test::TestEnv {};

TEST_F(HxRWConcurrencyTest, ReadersHoldTheLockTogether) {
  HxRW rw;
  std::atomic<int> inside{0};
  std::atomic<bool> sawBoth{false};
  auto reader = [&] {
    HxReadLock guard(rw);
    ++inside;
    // Each reader stays until it has seen the other one inside as well; if
    // readers excluded each other, this would time out.
    if (waitFor([&] { return inside.load() == 2; })) sawBoth = true;
  };
  std::thread a(reader);
  std::thread b(reader);
  a.join();
  b.join();
  EXPECT_TRUE(sawBoth.load());
}

TEST_F(HxRWConcurrencyTest, WriterExcludesReadersAndWriters) {
  HxRW rw;
  rw.writeLock();
  std::atomic<bool> readerIn{false};
  std::atomic<bool> writerIn{false};
  std::thread reader([&] {
    HxReadLock guard(rw);
    readerIn = true;
  });
  std::thread writer([&] {
    HxWriteLock guard(rw);
    writerIn = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(readerIn.load());
  EXPECT_FALSE(writerIn.load());
  EXPECT_FALSE(rw.try_lock_shared());
  rw.writeUnlock();
  reader.join();
  writer.join();
  EXPECT_TRUE(readerIn.load());
  EXPECT_TRUE(writerIn.load());
}

// Writers increment a pair of counters that must always be equal to readers;
// any overlap of a writer with anyone else shows up as a torn pair or a lost
// increment.
TEST_F(HxRWConcurrencyTest, WritersAreSerialisedUnderContention) {
  HxRW rw;
  long long a = 0;
  long long b = 0;
  std::atomic<bool> torn{false};
  constexpr int WRITERS = 3;
  constexpr int READERS = 3;
  constexpr int ROUNDS = 5000;
  std::latch start(WRITERS + READERS);
  std::vector<std::thread> threads;
  for (int w = 0; w < WRITERS; ++w) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < ROUNDS; ++i) {
        HxWriteLock guard(rw);
        ++a;
        ++b;
      }
    });
  }
  for (int r = 0; r < READERS; ++r) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < ROUNDS; ++i) {
        HxReadLock guard(rw);
        if (a != b) torn = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(a, static_cast<long long>(WRITERS) * ROUNDS);
  EXPECT_EQ(b, a);
}

// ---- HxCriticalSection ----

class HxCriticalSectionConcurrencyTest : public test::TestEnv {};

TEST_F(HxCriticalSectionConcurrencyTest, ExcludesOtherThreads) {
  HxCriticalSection section;
  long long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  constexpr int THREADS = 4;
  constexpr int ROUNDS = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < ROUNDS; ++i) {
        HxCriticalSectionGuard guard(section);
        if (++inside != 1) overlap = true;
        ++counter;
        --inside;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, static_cast<long long>(THREADS) * ROUNDS);
}

// ---- CZnSocket ----

class CZnSocketConcurrencyTest : public test::TestEnv {};

TEST_F(CZnSocketConcurrencyTest, RoundTripOverLoopback) {
  CZnSocket listener;
  uint16_t port = 0;
  listenOnLoopback(listener, port);

  // The server echoes one 4-byte length-prefixed message back.
  std::atomic<bool> serverOk{false};
  std::thread server([&] {
    CZnSocket conn;
    if (listener.accept(conn).failed() || !closeOnExec(conn)) return;
    int32_t length = 0;
    if (conn.receiveAll(&length, sizeof(length)) != sizeof(length)) return;
    std::string body(static_cast<size_t>(length), '\0');
    if (conn.receiveAll(body.data(), body.size()) != length) return;
    if (conn.send(&length, sizeof(length)) != sizeof(length)) return;
    if (conn.send(body.data(), body.size()) != length) return;
    serverOk = conn.Shutdown(2).ok();
  });

  CZnSocket client;
  ASSERT_TRUE(client.connect(CZnIPAddr("127.0.0.1", port)).ok());
  const std::string message = "status";
  int32_t length = static_cast<int32_t>(message.size());
  ASSERT_EQ(client.send(&length, sizeof(length)), static_cast<ssize_t>(sizeof(length)));
  ASSERT_EQ(client.send(message.data(), message.size()), static_cast<ssize_t>(message.size()));
  int32_t replyLength = 0;
  ASSERT_EQ(client.receiveAll(&replyLength, sizeof(replyLength)),
            static_cast<ssize_t>(sizeof(replyLength)));
  ASSERT_EQ(replyLength, length);
  std::string reply(static_cast<size_t>(replyLength), '\0');
  ASSERT_EQ(client.receiveAll(reply.data(), reply.size()), replyLength);
  EXPECT_EQ(reply, message);
  // The server shut the connection down: the next receive sees the end.
  char extra;
  EXPECT_EQ(client.receive(&extra, 1), 0);
  server.join();
  EXPECT_TRUE(serverOk.load());
}

// Several megabytes do not fit in the socket buffers: send must loop until
// all is written and receiveAll until all has arrived.
TEST_F(CZnSocketConcurrencyTest, LargeTransfersArriveWhole) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  std::vector<unsigned char> data(8 * 1024 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  ssize_t sent = -1;
  std::thread sender([&] { sent = client.send(data.data(), data.size()); });
  std::vector<unsigned char> got(data.size());
  ssize_t received = server.receiveAll(got.data(), got.size());
  sender.join();
  EXPECT_EQ(sent, static_cast<ssize_t>(data.size()));
  ASSERT_EQ(received, static_cast<ssize_t>(data.size()));
  EXPECT_TRUE(got == data);
}

TEST_F(CZnSocketConcurrencyTest, ShutdownForReadingUnblocksAccept) {
  CZnSocket listener;
  uint16_t port = 0;
  listenOnLoopback(listener, port);
  std::atomic<bool> returned{false};
  std::atomic<bool> failed{false};
  std::thread acceptor([&] {
    CZnSocket conn;
    failed = listener.accept(conn).failed();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());  // really blocked
  ASSERT_TRUE(listener.Shutdown(0).ok());
  bool unblocked = waitFor([&] { return returned.load(); });
  if (!unblocked) {
    // Don't hang the test: let the accept return through a connection.
    CZnSocket rescue;
    (void)rescue.connect(CZnIPAddr("127.0.0.1", port));
  }
  acceptor.join();
  EXPECT_TRUE(unblocked);
  EXPECT_TRUE(failed.load());
}

TEST_F(CZnSocketConcurrencyTest, ShutdownForReadingUnblocksReceive) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  std::atomic<bool> returned{false};
  std::atomic<ssize_t> result{-2};
  std::thread reader([&] {
    char c;
    result = server.receive(&c, 1);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  ASSERT_TRUE(server.Shutdown(0).ok());
  bool unblocked = waitFor([&] { return returned.load(); });
  if (!unblocked) (void)client.send("x", 1);
  reader.join();
  EXPECT_TRUE(unblocked);
  EXPECT_EQ(result.load(), 0);
}

// ---- EvEvent ----

class EvEventConcurrencyTest : public test::TestEnv {
 protected:
  void SetUp() override {
    test::TestEnv::SetUp();
    EvEvent::resetCounters();
  }
};

TEST_F(EvEventConcurrencyTest, CountsEventsFromManyThreads) {
  test::LogCapture capture(-1);
  constexpr int THREADS = 4;
  constexpr int EACH = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < EACH; ++i) EvEvent::MajorEvent(0x100, t, i, "thread %d item %d", t, i);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(EvEvent::raisedCount(), static_cast<uint64_t>(THREADS * EACH));
  EXPECT_EQ(capture.countContaining("Event 0x00000100: thread ", -1),
            static_cast<size_t>(THREADS * EACH));
  EXPECT_EQ(capture.count("Event 0x00000100: thread 3 item 499", -1), 1u);
}

// ---- CZnLogger ----

class CZnLoggerConcurrencyTest : public test::TestEnv {};

TEST_F(CZnLoggerConcurrencyTest, LinesFromManyThreadsStayWhole) {
  CZnLogger logger;
  ASSERT_TRUE(logger.init("events", dir(), 1, false, false).ok());
  constexpr int THREADS = 4;
  constexpr int EACH = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < EACH; ++i) logger.write(0, "thread %d line %d end", t, i);
    });
  for (auto& thread : threads) thread.join();
  auto got = readLines(path("events.log"));
  ASSERT_EQ(got.size(), static_cast<size_t>(THREADS * EACH));
  std::regex shape(R"(^.* 0 thread (\d) line (\d+) end$)");
  std::vector<int> next(THREADS, 0);
  for (const auto& line : got) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    int t = std::stoi(m[1]);
    int i = std::stoi(m[2]);
    // Each thread's own lines keep their order.
    EXPECT_EQ(i, next[t]);
    next[t] = i + 1;
  }
}

// ---- HXPlatformInfo ----

class HXPlatformInfoConcurrencyTest : public test::TestEnv {};

TEST_F(HXPlatformInfoConcurrencyTest, ConcurrentWritersLoseNoKey) {
  constexpr int THREADS = 4;
  constexpr int EACH = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < EACH; ++i)
        if (HXPlatformInfo::setNumber("~Rora", "k" + std::to_string(t) + "_" + std::to_string(i),
                                      t * 100 + i)
                .failed())
          ++failures;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < THREADS; ++t)
    for (int i = 0; i < EACH; ++i)
      EXPECT_EQ(getRegistryValue("k" + std::to_string(t) + "_" + std::to_string(i), -1, 0, 1000),
                t * 100 + i);
  EXPECT_EQ(test::filesIn(dir()), std::vector<std::string>{"registry"});
}

// ---- ThrdPerfCounter ----

class ThrdPerfCounterConcurrencyTest : public test::TestEnv {
 protected:
  static uint64_t countOf(const ThrdPerfCounter& counter, const char* name, int index) {
    PerfCounterSnapshot s;
    return counter.getCounter(name, index, s) ? s.count : 0;
  }
};

TEST_F(ThrdPerfCounterConcurrencyTest, StartStampsBelongToTheirThread) {
  ThrdPerfCounter counter;
  counter.StartPerfCounter("fsync", 20);
  std::thread other([&] { counter.StopPerfCounter("fsync", 20, 0); });
  other.join();
  EXPECT_EQ(countOf(counter, "fsync", 20), 0u);
  counter.StopPerfCounter("fsync", 20, 0);
  EXPECT_EQ(countOf(counter, "fsync", 20), 1u);
}

TEST_F(ThrdPerfCounterConcurrencyTest, ManyThreadsCountEveryPair) {
  ThrdPerfCounter counter;
  constexpr int THREADS = 4;
  constexpr int EACH = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t)
    threads.emplace_back([&counter] {
      for (int i = 0; i < EACH; ++i) {
        counter.StartPerfCounter("getattr", 16);
        counter.StartPerfCounter("read", 12);
        counter.StopPerfCounter("read", 12, 0);
        counter.StopPerfCounter("getattr", 16, 0);
      }
    });
  for (auto& thread : threads) thread.join();
  PerfCounterSnapshot getattr;
  PerfCounterSnapshot read;
  ASSERT_TRUE(counter.getCounter("getattr", 16, getattr));
  ASSERT_TRUE(counter.getCounter("read", 12, read));
  EXPECT_EQ(getattr.count, static_cast<uint64_t>(THREADS * EACH));
  EXPECT_EQ(read.count, static_cast<uint64_t>(THREADS * EACH));
  EXPECT_LE(getattr.minNs, getattr.maxNs);
}

}  // namespace
}  // namespace ObjectStore
