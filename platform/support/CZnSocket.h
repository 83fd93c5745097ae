// CZnIPAddr and CZnSocket: IPv4 TCP sockets for the command port and its
// clients.
//
//   CZnSocket listener;
//   CZnError err = listener.bind(CZnIPAddr("127.0.0.1", 0));   // port 0: any free port
//   CZnIPAddr local;
//   err = listener.GetLocalAddress(local);                      // the port chosen
//   err = listener.listen(128);
//   CZnSocket client;
//   err = listener.accept(client);                              // blocks
//
// Byte-count calls (send, receive, receiveAll) return -1 on failure and leave
// errno set; everything else returns a CZnError carrying errno. Interrupted
// system calls are restarted. Sockets are created close-on-exec, and a
// send to a peer that has gone away fails with EPIPE instead of raising
// SIGPIPE.
//
// Threading: one thread uses a socket at a time, with one exception that the
// command interface relies on: Shutdown() may be called from another thread
// while a thread is blocked in accept() or receive() on the same socket, and
// makes that call return (accept fails, receive returns 0). close() must not
// race with a call in progress (the descriptor could be reused).
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/support/CZnError.h"

namespace ObjectStore {

// An IPv4 address in dotted form and a port.
class CZnIPAddr {
 public:
  // 0.0.0.0, port 0.
  CZnIPAddr();
  CZnIPAddr(const std::string& address, uint16_t port);

  const std::string& address() const { return address_; }
  uint16_t port() const { return port_; }
  void setPort(uint16_t port) { port_ = port; }
  // True when the address text is a dotted IPv4 address.
  bool isValid() const;
  // "127.0.0.1:40123".
  std::string toString() const;

  // Conversions to and from the system's form; toSockaddr fails (false) for
  // an invalid address.
  bool toSockaddr(sockaddr_in& out) const;
  static CZnIPAddr fromSockaddr(const sockaddr_in& in);

 private:
  std::string address_;
  uint16_t port_ = 0;
};

class CZnSocket {
 public:
  CZnSocket() = default;
  // Closes the socket if it is open.
  ~CZnSocket();
  CZnSocket(const CZnSocket&) = delete;
  CZnSocket& operator=(const CZnSocket&) = delete;
  CZnSocket(CZnSocket&& other) noexcept;
  CZnSocket& operator=(CZnSocket&& other) noexcept;

  // Creates the TCP socket. EBUSY when this object already holds one.
  CZnError create();
  // Binds to the address, creating the socket first when needed. Sets
  // SO_REUSEADDR, so that a restarted server can listen again on its port
  // while old connections are still in TIME_WAIT.
  CZnError bind(const CZnIPAddr& address);
  CZnError listen(int backlog);
  // Waits for a connection and hands it to `client` (closing whatever
  // `client` held before).
  CZnError accept(CZnSocket& client);
  // Connects to the address, creating the socket first when needed.
  CZnError connect(const CZnIPAddr& address);

  // Sends all `length` bytes; returns `length`, or -1 (errno set) when the
  // connection fails before everything is sent.
  ssize_t send(const void* buffer, size_t length);
  // One receive: the bytes received (1..length), 0 when the peer has closed
  // (or the socket was shut down for reading), -1 on error (errno set;
  // EAGAIN when the receive timeout expired).
  ssize_t receive(void* buffer, size_t length);
  // Receives until `length` bytes have arrived: returns `length`, fewer bytes
  // when the peer closed first, or -1 on error (errno set; whatever arrived
  // before the error is in the buffer but not counted).
  ssize_t receiveAll(void* buffer, size_t length);

  // Limits how long receive (and accept) wait; 0 removes the limit.
  CZnError setReceiveTimeout(uint32_t milliseconds);
  // Shuts the connection down: 0 for reading, 1 for writing, 2 for both.
  CZnError Shutdown(int how);
  // The address and port the socket is bound to.
  CZnError GetLocalAddress(CZnIPAddr& address) const;

  // Closes the socket; does nothing when it is not open.
  void close();
  bool isOpen() const { return fd_.load(std::memory_order_acquire) >= 0; }
  // The descriptor (-1 when closed), for poll() and the like; still owned by
  // this object.
  int fd() const { return fd_.load(std::memory_order_acquire); }

 private:
  // Atomic because Shutdown() may read it while another thread is blocked in
  // accept() or receive().
  std::atomic<int> fd_{-1};
};

}  // namespace ObjectStore
