// The command port's request format, fed to a running container through a
// real loopback connection (the request parser reads from the socket): any
// bytes must give either no response (a malformed request) or one whole,
// well-formed response, and the server must keep serving afterwards.
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "ObjectStore/CommandInterface.h"
#include "ObjectStore/ObjectContainer.h"
#include "platform/support/CZnSocket.h"
#include "platform/support/HXPlatformInfo.h"

using namespace ObjectStore;

namespace {

// Reachable until the process exits: the container's threads serve every
// input, and tearing it down at exit would only slow the fuzzer's exit.
ObjectContainer* g_container = nullptr;
uint16_t g_port = 0;

// The response of one request, or false when the server closed without one.
bool exchange(const uint8_t* bytes, size_t size, std::string& response) {
  CZnSocket sock;
  const CZnError connected = sock.connect(CZnIPAddr("127.0.0.1", g_port));
  FUZZ_CHECK(connected.ok());
  // Far above the server's own 5 s limit: a request that gets no answer
  // within it is a hang of the server.
  FUZZ_CHECK(sock.setReceiveTimeout(30000).ok());
  if (size > 0 && sock.send(bytes, size) != static_cast<ssize_t>(size)) {
    // The server may close as soon as it has refused the length; then the
    // rest of the request can't be sent.
    FUZZ_CHECK(errno == EPIPE || errno == ECONNRESET);
    return false;
  }
  (void)sock.Shutdown(1);  // the server sees the end of the request either way

  int32_t length = -1;
  const ssize_t got = sock.receiveAll(&length, sizeof(length));
  if (got == 0 || (got < 0 && errno == ECONNRESET)) return false;
  FUZZ_CHECK(got == static_cast<ssize_t>(sizeof(length)));
  FUZZ_CHECK(length >= 0 && length < (1 << 20));
  response.assign(static_cast<size_t>(length), '\0');
  if (length > 0) FUZZ_CHECK(sock.receiveAll(response.data(), response.size()) == length);
  // One command per connection: nothing follows the response.
  char extra;
  const ssize_t more = sock.receive(&extra, 1);
  FUZZ_CHECK(more == 0 || (more < 0 && errno == ECONNRESET));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string dir = fuzz::scratchDir();
  setenv("OBJSTORE_REGISTRY", (dir + "/registry").c_str(), 1);
  fuzz::quietLog();
  g_container = new ObjectContainer();
  ObjectContainerConfig config;
  config.containerDir = dir + "/container";
  const CZnError err = g_container->init(config);
  FUZZ_CHECK(err.ok());
  int64_t port = 0;
  FUZZ_CHECK(HXPlatformInfo::getLongLong(REGISTRY_SECTION_PUBLIC, CMD_PORT_KEY, port));
  FUZZ_CHECK(port > 0 && port < 65536);
  g_port = static_cast<uint16_t>(port);
  return 0;
}

// Input: the request's bytes as they arrive (length word, then text).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::string response;
  const bool answered = exchange(bytes, size, response);
  if (size >= sizeof(int32_t)) {
    int32_t length = 0;
    std::memcpy(&length, bytes, sizeof(length));
    // A length the server must refuse gets no answer.
    if (length < 0 || length > MAX_COMMAND_LENGTH) FUZZ_CHECK(!answered);
  }
  // The port still answers a good request afterwards.
  static const char status[] = "\x06\x00\x00\x00status";
  std::string statusResponse;
  FUZZ_CHECK(
      exchange(reinterpret_cast<const uint8_t*>(status), sizeof(status) - 1, statusResponse));
  FUZZ_CHECK(!statusResponse.empty() && statusResponse.rfind("Error", 0) != 0);
  return 0;
}
