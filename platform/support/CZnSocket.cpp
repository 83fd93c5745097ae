#include "platform/support/CZnSocket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ObjectStore {

// ---- CZnIPAddr ----

CZnIPAddr::CZnIPAddr() : address_("0.0.0.0") {}

CZnIPAddr::CZnIPAddr(const std::string& address, uint16_t port) : address_(address), port_(port) {}

bool CZnIPAddr::isValid() const {
  sockaddr_in unused;
  return toSockaddr(unused);
}

std::string CZnIPAddr::toString() const { return address_ + ":" + std::to_string(port_); }

bool CZnIPAddr::toSockaddr(sockaddr_in& out) const {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port_);
  return inet_pton(AF_INET, address_.c_str(), &out.sin_addr) == 1;
}

CZnIPAddr CZnIPAddr::fromSockaddr(const sockaddr_in& in) {
  char text[INET_ADDRSTRLEN] = {0};
  // Cannot fail for AF_INET with a buffer of INET_ADDRSTRLEN.
  (void)inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
  return CZnIPAddr(text, ntohs(in.sin_port));
}

// ---- CZnSocket ----

CZnSocket::~CZnSocket() { close(); }

CZnSocket::CZnSocket(CZnSocket&& other) noexcept : fd_(other.fd_.exchange(-1)) {}

CZnSocket& CZnSocket::operator=(CZnSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_.store(other.fd_.exchange(-1));
  }
  return *this;
}

CZnError CZnSocket::create() {
  if (isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Socket already created");
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't create socket");
  fd_.store(fd, std::memory_order_release);
  return CZnError::Success;
}

CZnError CZnSocket::bind(const CZnIPAddr& address) {
  sockaddr_in sa;
  if (!address.toSockaddr(sa))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad address [%s]", address.toString().c_str());
  if (!isOpen()) {
    CZnError err = create();
    if (err.failed()) return err;
  }
  int one = 1;
  if (::setsockopt(fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't set SO_REUSEADDR");
  if (::bind(fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't bind to [%s]", address.toString().c_str());
  return CZnError::Success;
}

CZnError CZnSocket::listen(int backlog) {
  if (!isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Socket not open");
  if (::listen(fd(), backlog) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't listen (backlog %d)", backlog);
  return CZnError::Success;
}

CZnError CZnSocket::accept(CZnSocket& client) {
  if (!isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Socket not open");
  int fd;
  do {
    fd = ::accept4(this->fd(), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "accept failed");
  client.close();
  client.fd_.store(fd, std::memory_order_release);
  return CZnError::Success;
}

CZnError CZnSocket::connect(const CZnIPAddr& address) {
  sockaddr_in sa;
  if (!address.toSockaddr(sa))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad address [%s]", address.toString().c_str());
  if (!isOpen()) {
    CZnError err = create();
    if (err.failed()) return err;
  }
  if (::connect(fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0)
    return CZnError::Success;
  if (errno != EINTR)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't connect to [%s]",
                                   address.toString().c_str());
  // An interrupted connect goes on in the background; calling connect again
  // would fail with EALREADY, so wait for it to finish and read its result.
  pollfd p{fd(), POLLOUT, 0};
  int n;
  do {
    n = ::poll(&p, 1, -1);
  } while (n < 0 && errno == EINTR);
  int result = 0;
  socklen_t len = sizeof(result);
  if (n < 0)
    result = errno;
  else if (::getsockopt(fd(), SOL_SOCKET, SO_ERROR, &result, &len) != 0)
    result = errno;
  if (result != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, result, "Can't connect to [%s]",
                                   address.toString().c_str());
  return CZnError::Success;
}

ssize_t CZnSocket::send(const void* buffer, size_t length) {
  if (!isOpen()) {
    errno = EBADF;
    return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = ::send(fd(), p + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    sent += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(sent);
}

ssize_t CZnSocket::receive(void* buffer, size_t length) {
  if (!isOpen()) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(fd(), buffer, length, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t CZnSocket::receiveAll(void* buffer, size_t length) {
  char* p = static_cast<char*>(buffer);
  size_t received = 0;
  while (received < length) {
    ssize_t n = receive(p + received, length - received);
    if (n < 0) return -1;
    if (n == 0) break;
    received += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(received);
}

CZnError CZnSocket::setReceiveTimeout(uint32_t milliseconds) {
  if (!isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Socket not open");
  timeval tv;
  tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  if (::setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't set receive timeout %u ms", milliseconds);
  return CZnError::Success;
}

CZnError CZnSocket::Shutdown(int how) {
  int mode;
  switch (how) {
    case 0:
      mode = SHUT_RD;
      break;
    case 1:
      mode = SHUT_WR;
      break;
    case 2:
      mode = SHUT_RDWR;
      break;
    default:
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad shutdown mode %d", how);
  }
  if (!isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Socket not open");
  if (::shutdown(fd(), mode) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "shutdown(%d) failed", how);
  return CZnError::Success;
}

CZnError CZnSocket::GetLocalAddress(CZnIPAddr& address) const {
  if (!isOpen()) return FXErrorUtil::ErrorErrNo(FX_LOC, EBADF, "Socket not open");
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(fd(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "getsockname failed");
  if (sa.sin_family != AF_INET)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EAFNOSUPPORT, "Not an IPv4 socket");
  address = CZnIPAddr::fromSockaddr(sa);
  return CZnError::Success;
}

void CZnSocket::close() {
  int fd = fd_.exchange(-1, std::memory_order_acq_rel);
  // On Linux the descriptor is released even when close reports an error
  // (EINTR included), so there is nothing to retry or report.
  if (fd >= 0) (void)::close(fd);
}

}  // namespace ObjectStore
