#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "common/TestEnv.h"
#include "platform/support/CZnSocket.h"
#include "support/SocketTestUtil.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

using std::chrono::steady_clock;
using test::msSince;

class CZnSocketTest : public test::TestEnv {};

using test::closeOnExec;
using test::connectedPair;
using test::listenOnLoopback;

TEST_F(CZnSocketTest, AddressKeepsTextAndPort) {
  CZnIPAddr addr("127.0.0.1", 8080);
  EXPECT_EQ(addr.address(), "127.0.0.1");
  EXPECT_EQ(addr.port(), 8080);
  EXPECT_EQ(addr.toString(), "127.0.0.1:8080");
  EXPECT_TRUE(addr.isValid());
  EXPECT_FALSE(CZnIPAddr("localhost", 1).isValid());
  EXPECT_FALSE(CZnIPAddr("256.0.0.1", 1).isValid());
  EXPECT_EQ(CZnIPAddr().toString(), "0.0.0.0:0");

  sockaddr_in sa;
  ASSERT_TRUE(addr.toSockaddr(sa));
  CZnIPAddr back = CZnIPAddr::fromSockaddr(sa);
  EXPECT_EQ(back.address(), "127.0.0.1");
  EXPECT_EQ(back.port(), 8080);
}

TEST_F(CZnSocketTest, BindToPortZeroPicksAPort) {
  CZnSocket socket;
  EXPECT_FALSE(socket.isOpen());
  ASSERT_TRUE(socket.bind(CZnIPAddr("127.0.0.1", 0)).ok());
  EXPECT_TRUE(socket.isOpen());
  EXPECT_TRUE(closeOnExec(socket));
  CZnIPAddr local;
  ASSERT_TRUE(socket.GetLocalAddress(local).ok());
  EXPECT_EQ(local.address(), "127.0.0.1");
  EXPECT_NE(local.port(), 0);
  socket.close();
  EXPECT_FALSE(socket.isOpen());
  EXPECT_EQ(socket.GetLocalAddress(local).errNo(), EBADF);
}

TEST_F(CZnSocketTest, CreateTwiceIsRefused) {
  CZnSocket socket;
  ASSERT_TRUE(socket.create().ok());
  EXPECT_EQ(socket.create().errNo(), EBUSY);
}

TEST_F(CZnSocketTest, BadAddressIsRefused) {
  CZnSocket socket;
  EXPECT_EQ(socket.bind(CZnIPAddr("not-an-ip", 0)).errNo(), EINVAL);
  EXPECT_EQ(socket.connect(CZnIPAddr("1.2.3", 1)).errNo(), EINVAL);
  EXPECT_FALSE(socket.isOpen());
}

TEST_F(CZnSocketTest, ReceiveAllStopsAtEndOfStream) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  ASSERT_EQ(client.send("abc", 3), 3);
  client.close();
  char buf[10];
  EXPECT_EQ(server.receiveAll(buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(CZnSocketTest, ShutdownForWritingSignalsEndToThePeer) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  ASSERT_TRUE(client.Shutdown(1).ok());
  char c;
  EXPECT_EQ(server.receive(&c, 1), 0);
  // The other direction still works.
  ASSERT_EQ(server.send("x", 1), 1);
  EXPECT_EQ(client.receive(&c, 1), 1);
  EXPECT_EQ(c, 'x');
}

TEST_F(CZnSocketTest, ShutdownChecksItsArguments) {
  CZnSocket socket;
  EXPECT_EQ(socket.Shutdown(0).errNo(), EBADF);
  ASSERT_TRUE(socket.create().ok());
  EXPECT_EQ(socket.Shutdown(3).errNo(), EINVAL);
  EXPECT_EQ(socket.Shutdown(-1).errNo(), EINVAL);
}

TEST_F(CZnSocketTest, ReceiveTimesOut) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  ASSERT_TRUE(server.setReceiveTimeout(200).ok());
  char c;
  auto start = steady_clock::now();
  errno = 0;
  EXPECT_EQ(server.receive(&c, 1), -1);
  int savedErrno = errno;
  long long elapsed = msSince(start);
  EXPECT_TRUE(savedErrno == EAGAIN || savedErrno == EWOULDBLOCK) << savedErrno;
  // The kernel rounds the timeout to its tick; allow a little below.
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 5000);
  // Data that arrives within the limit is received.
  ASSERT_EQ(client.send("y", 1), 1);
  EXPECT_EQ(server.receive(&c, 1), 1);
  // 0 removes the limit again (no error; not waited on here).
  EXPECT_TRUE(server.setReceiveTimeout(0).ok());
}

TEST_F(CZnSocketTest, ConnectToAPortWithoutListenerIsRefused) {
  // A bound socket that does not listen keeps the port ours and refuses
  // connections.
  CZnSocket bound;
  ASSERT_TRUE(bound.bind(CZnIPAddr("127.0.0.1", 0)).ok());
  CZnIPAddr local;
  ASSERT_TRUE(bound.GetLocalAddress(local).ok());
  CZnSocket client;
  CZnError err = client.connect(local);
  EXPECT_EQ(err.errNo(), ECONNREFUSED) << err.text();
}

TEST_F(CZnSocketTest, SendToAClosedPeerFailsWithoutSignal) {
  CZnSocket client;
  CZnSocket server;
  connectedPair(client, server);
  server.close();
  // The first send may still be accepted locally; once the peer's reset has
  // come back, sends fail with EPIPE (and SIGPIPE, which would kill this
  // process, is not raised).
  ssize_t result = 0;
  int savedErrno = 0;
  auto start = steady_clock::now();
  while (msSince(start) < 10000) {
    result = client.send("z", 1);
    if (result < 0) {
      savedErrno = errno;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(savedErrno == EPIPE || savedErrno == ECONNRESET) << savedErrno;
}

TEST_F(CZnSocketTest, CallsOnAClosedSocketFail) {
  CZnSocket socket;
  char c = 0;
  errno = 0;
  EXPECT_EQ(socket.send(&c, 1), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(socket.receive(&c, 1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(socket.listen(1).errNo(), EBADF);
  CZnSocket other;
  EXPECT_EQ(socket.accept(other).errNo(), EBADF);
  EXPECT_EQ(socket.setReceiveTimeout(10).errNo(), EBADF);
  socket.close();  // harmless
}

// A server restarted on its old port must be able to listen again while the
// previous connection is still in TIME_WAIT; SO_REUSEADDR allows it.
TEST_F(CZnSocketTest, ListenerCanRebindItsPortAfterARestart) {
  uint16_t port = 0;
  {
    CZnSocket listener;
    listenOnLoopback(listener, port);
    CZnSocket client;
    ASSERT_TRUE(client.connect(CZnIPAddr("127.0.0.1", port)).ok());
    CZnSocket conn;
    ASSERT_TRUE(listener.accept(conn).ok());
    // The server side closes first, so its end goes to TIME_WAIT.
    ASSERT_TRUE(conn.Shutdown(2).ok());
    char c;
    EXPECT_EQ(client.receive(&c, 1), 0);
    conn.close();
    client.close();
  }
  CZnSocket again;
  CZnError err = again.bind(CZnIPAddr("127.0.0.1", port));
  EXPECT_TRUE(err.ok()) << err.text();
  EXPECT_TRUE(again.listen(16).ok());
}

TEST_F(CZnSocketTest, MoveTransfersTheDescriptor) {
  CZnSocket a;
  ASSERT_TRUE(a.bind(CZnIPAddr("127.0.0.1", 0)).ok());
  int fd = a.fd();
  CZnSocket b(std::move(a));
  EXPECT_FALSE(a.isOpen());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(b.fd(), fd);
  CZnSocket c;
  c = std::move(b);
  EXPECT_EQ(c.fd(), fd);
  EXPECT_FALSE(b.isOpen());  // NOLINT(bugprone-use-after-move)
}

TEST_F(CZnSocketTest, AcceptReplacesWhatTheClientHeld) {
  CZnSocket listener;
  uint16_t port = 0;
  listenOnLoopback(listener, port);
  CZnSocket conn;
  ASSERT_TRUE(conn.create().ok());
  CZnSocket client;
  ASSERT_TRUE(client.connect(CZnIPAddr("127.0.0.1", port)).ok());
  ASSERT_TRUE(listener.accept(conn).ok());
  ASSERT_EQ(client.send("q", 1), 1);
  char c = 0;
  EXPECT_EQ(conn.receive(&c, 1), 1);
  EXPECT_EQ(c, 'q');
}

}  // namespace
}  // namespace ObjectStore
