// Loopback socket helpers shared by the socket tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/support/CZnSocket.h"

namespace ObjectStore::test {

// Makes `listener` listen on a free loopback port and stores the port.
inline void listenOnLoopback(CZnSocket& listener, uint16_t& port) {
  ASSERT_TRUE(listener.bind(CZnIPAddr("127.0.0.1", 0)).ok());
  CZnIPAddr local;
  ASSERT_TRUE(listener.GetLocalAddress(local).ok());
  port = local.port();
  ASSERT_TRUE(listener.listen(16).ok());
}

// Connects `client` and `server` to each other over loopback.
inline void connectedPair(CZnSocket& client, CZnSocket& server) {
  CZnSocket listener;
  uint16_t port = 0;
  listenOnLoopback(listener, port);
  if (::testing::Test::HasFatalFailure()) return;
  ASSERT_TRUE(client.connect(CZnIPAddr("127.0.0.1", port)).ok());
  ASSERT_TRUE(listener.accept(server).ok());
}

inline bool closeOnExec(const CZnSocket& socket) {
  int flags = fcntl(socket.fd(), F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

}  // namespace ObjectStore::test
