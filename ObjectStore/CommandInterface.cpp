#include "ObjectStore/CommandInterface.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "platform/index/index_iface.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

constexpr const char* LOOPBACK_ADDRESS = "127.0.0.1";
constexpr int LISTEN_BACKLOG = 128;
// A client that does not read its response must not hold the thread either.
constexpr uint32_t SEND_TIMEOUT_MS = 5000;
// While waiting for request bytes the thread looks at `stop` this often, so
// that the destructor is not held up by a slow client.
constexpr int64_t STOP_POLL_MS = 100;

// Pause before accepting again after a transient accept error.
constexpr int64_t ACCEPT_RETRY_MS = 50;

std::atomic<uint32_t> g_receiveTimeoutMs{5000};

// Request bytes as they may go into the log: a control byte (a newline that
// would start a forged log line, an escape sequence for a terminal) shows as
// \xNN.
std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool isTransientAcceptError(int errNo) {
  switch (errNo) {
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:  // a firewall rule refused this one connection
      return true;
    default:
      return false;
  }
}

int64_t steadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A store index: decimal digits only (no sign, blanks or trailing text), so
// that "-1" or "3x" is refused instead of read as some other store.
ObjectStoreIndex parseStoreIndex(const std::string& text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw std::invalid_argument("invalid store index [" + text + "]");
  try {
    return std::stoull(text);
  } catch (const std::out_of_range&) {
    throw std::out_of_range("store index out of range [" + text + "]");
  }
}

// The answer to a report that failed (an index naming no open store): its
// code and the message of the place that raised it.
std::string errorResponse(const CZnError& err) {
  std::string text = "Error: " + err.text();
  if (!err.frames().empty()) text += ": " + err.frames().front().message;
  return text;
}

void setSendTimeout(CZnSocket& sock, uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  // Best effort: without it a send to a client that never reads could block,
  // which the socket buffer makes unlikely for responses of this size.
  (void)setsockopt(sock.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

}  // namespace

CZnError createListenSock(CZnSocket& sock) {
  CZnIPAddr address(LOOPBACK_ADDRESS, 0);
  CZnError err = sock.bind(address);
  if (err.failed()) {
    err.Push(FX_LOC, "Error: Failed to bind to localhost for [OBS_CMD]");
    OSLOG_ERR(err);
    sock.close();
    return err;
  }
  CZnIPAddr local;
  err = sock.GetLocalAddress(local);
  if (err.failed()) {
    OSLOG(-1, "Error: Failed to get port assigned. Error [%s]", err.text().c_str());
    sock.close();
    return err;
  }
  OSLOG(1, "INFO: Bind Successful on port [%d]", static_cast<int>(local.port()));

  err = HXPlatformInfo::setNumber(REGISTRY_SECTION_PUBLIC, CMD_PORT_KEY, local.port());
  if (err.failed()) {
    OSLOG(-1, "Error: Failed to set [%s\\%s]", REGISTRY_SECTION_PUBLIC, CMD_PORT_KEY);
    sock.close();
    return err.Push(FX_LOC, "Can't publish the command port");
  }

  err = sock.listen(LISTEN_BACKLOG);
  if (err.failed()) {
    OSLOG(-1, "Error: Failed to listen on command socket. Error [%s]", err.text().c_str());
    sock.close();
    return err;
  }
  return CZnError::Success;
}

void statsToStr(std::string& out, const std::map<std::string, std::string>& stats) {
  // A comma inside a key or value (a status message such as "ok, 3
  // queries") would shift every later pair: readers split on commas alone.
  auto append = [&out](const std::string& text) {
    for (char c : text) out += c == ',' ? ';' : c;
    out += ',';
  };
  out.clear();
  for (const auto& [key, value] : stats) {
    append(key);
    append(value);
  }
  if (!out.empty()) out.pop_back();
}

void CommandInterface::setReceiveTimeoutMsForTesting(uint32_t milliseconds) {
  g_receiveTimeoutMs.store(milliseconds);
}

CommandInterface::CommandInterface(ObjectContainer& container) : container_(container) {
  CZnError err = createListenSock(listenSock_);
  if (err.failed()) {
    OSLOG(-1, "Error: Can't create command socket");
    return;
  }
  CZnIPAddr local;
  if (listenSock_.GetLocalAddress(local).ok()) port_ = local.port();
  err = start(&CommandInterface::threadFunctionStatic, this);
  if (err.failed()) {
    OSLOG(-1, "Error: Can't create command thread");
    listenSock_.close();
    return;
  }
  OSLOG(1, "Command interface started");
}

CommandInterface::~CommandInterface() {
  OSLOG(3, "CommandInterface destructor");
  stop_.store(true);
  if (!joinable()) return;  // set-up failed: no thread to stop
  bool wakeByConnect = false;
  {
    std::lock_guard<std::mutex> guard(listenSockLock_);
    // A closed socket means the thread gave up after an accept error and has
    // ended or is ending: there is nothing to wake.
    if (listenSock_.isOpen()) {
      CZnError err = listenSock_.Shutdown(0);
      if (err.failed()) {
        OSLOG(-1, "Error: shutdown write error (%d)", err.errNo());
        wakeByConnect = true;
      }
    }
  }
  if (wakeByConnect) {
    // The blocked accept must still return before the members it uses go:
    // a connection of our own wakes it, and it then sees `stop`.
    CZnSocket waker;
    (void)waker.connect(CZnIPAddr(LOOPBACK_ADDRESS, port_));  // best effort
  }
  join();
  OSLOG(3, "CommandInterface destructor finished");
}

void CommandInterface::threadFunctionStatic(void* self) {
  static_cast<CommandInterface*>(self)->threadFunction();
}

void CommandInterface::threadFunction() {
  OSLOG(4, "Starting commandInterface thread");
  int lastAcceptErrNo = 0;  // a run of the same transient error is logged once
  while (!stop_.load()) {
    CZnSocket client;
    CZnError err = listenSock_.accept(client);
    if (stop_.load()) {
      OSLOG(4, "shutdown ctrl received");
      break;
    }
    if (err.failed()) {
      if (err.errNo() != lastAcceptErrNo)
        OSLOG(1, "accept on cmd interface socket returned error [%s]", err.text().c_str());
      lastAcceptErrNo = err.errNo();
      if (isTransientAcceptError(err.errNo())) {
        // Running out of descriptors or memory for a moment, or a client
        // that reset before it was accepted, must not take the port down
        // until the container is rebuilt.
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_RETRY_MS));
        continue;
      }
      std::lock_guard<std::mutex> guard(listenSockLock_);
      listenSock_.close();
      return;
    }
    lastAcceptErrNo = 0;
    OSLOG(6, "waiting for command");
    std::string command;
    if (getCommand(client, command)) {
      client.close();
      continue;
    }
    std::string response;
    try {
      processCommand(response, command);
    } catch (const std::exception& e) {
      response = std::string("Error: ") + e.what();
    }
    OSLOG(6, "received cmd: [%s]", printable(command).c_str());
    setSendTimeout(client, SEND_TIMEOUT_MS);
    (void)sendResponse(client, response);  // nothing more to do for a failed send
    (void)client.Shutdown(2);              // the peer may already be gone
    client.close();
  }
  OSLOG(6, "eol");
}

ssize_t CommandInterface::receiveWithin(CZnSocket& client, char* buffer, size_t length,
                                        int64_t deadlineMs) {
  size_t received = 0;
  while (received < length) {
    if (stop_.load()) return static_cast<ssize_t>(received);
    const int64_t remaining = deadlineMs - steadyNowMs();
    if (remaining <= 0) {
      errno = EAGAIN;
      return -1;
    }
    // Never 0: that would remove the limit.
    const int64_t slice = std::max<int64_t>(1, std::min(remaining, STOP_POLL_MS));
    CZnError err = client.setReceiveTimeout(static_cast<uint32_t>(slice));
    if (err.failed()) {
      errno = err.errNo();
      return -1;
    }
    const ssize_t got = client.receive(buffer + received, length - received);
    if (got > 0) {
      received += static_cast<size_t>(got);
    } else if (got == 0) {
      break;  // the peer closed
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return -1;
    }
  }
  return static_cast<ssize_t>(received);
}

bool CommandInterface::getCommand(CZnSocket& client, std::string& command) {
  command.clear();
  const int64_t deadline = steadyNowMs() + g_receiveTimeoutMs.load();

  OSLOG(6, "waiting to receive cmd size");
  int32_t size = 0;
  ssize_t ret = receiveWithin(client, reinterpret_cast<char*>(&size), sizeof(size), deadline);
  OSLOG(5, "Received ret=%d", static_cast<int>(ret));
  if (stop_.load()) {
    OSLOG(5, "Received shutdown ret=%d", static_cast<int>(ret));
    return true;
  }
  if (ret == 0) return false;  // closed before sending anything: an empty command
  if (ret != static_cast<ssize_t>(sizeof(size))) {
    OSLOG(-1, "Error: received size ret=%d err=%d", static_cast<int>(ret), ret < 0 ? errno : 0);
    return true;
  }
  OSLOG(6, "received cmd size=%d", size);
  // Compared as unsigned: a negative length is too big as well.
  if (static_cast<uint32_t>(size) > static_cast<uint32_t>(MAX_COMMAND_LENGTH)) {
    OSLOG(-1, "Error: received size %d too big", size);
    return true;
  }

  char buffer[MAX_COMMAND_LENGTH + 1] = {};
  if (size > 0) {
    ret = receiveWithin(client, buffer, static_cast<size_t>(size), deadline);
    if (stop_.load()) {
      OSLOG(5, "Received shutdown ret=%d", static_cast<int>(ret));
      return true;
    }
    if (ret == 0) return false;
    if (ret != size) {
      OSLOG(-1, "Error: received cmd ret=%d err=%d", static_cast<int>(ret), ret < 0 ? errno : 0);
      return true;
    }
  }
  buffer[size] = '\0';
  command = buffer;  // ends at the first NUL byte
  OSLOG(6, "received cmd=[%s]", printable(command).c_str());
  return false;
}

bool CommandInterface::sendResponse(CZnSocket& client, const std::string& response) {
  const int32_t size = static_cast<int32_t>(response.size());
  ssize_t ret = client.send(&size, sizeof(size));
  if (ret != static_cast<ssize_t>(sizeof(size))) {
    OSLOG(-1, "Error: sendResponse error ret=%d err=%s", static_cast<int>(ret), strerror(errno));
    return true;
  }
  OSLOG(6, "sent resp size=%d", size);
  ret = response.empty() ? 0 : client.send(response.data(), response.size());
  if (stop_.load()) {
    OSLOG(-1, "Error: sendResponse error ret=%d err=%s", static_cast<int>(ret), "shutdown");
    return true;
  }
  if (ret == -1) {
    OSLOG(-1, "Error: sendResponse error ret=%d err=%d", -1, errno);
    return true;
  }
  OSLOG(6, "sent response");
  return false;
}

void CommandInterface::processCommand(std::string& response, const std::string& command) {
  std::vector<std::string> words;
  tokenize(words, command, " ");
  if (words.empty()) {
    response = "Error: no command found";
    OSLOG(-1, "%s", response.c_str());
    return;
  }
  const std::string& verb = words[0];
  std::map<std::string, std::string> stats;
  if (verb == "status") {
    container_.getStatus(stats);
    statsToStr(response, stats);
  } else if (verb == "verguid") {
    if (words.size() != 3) {
      response = "Error: wrong number of args";
      return;
    }
    // A GUID the store does not know still answers (all "0"); a store that is
    // not open is an error, not an empty list.
    CZnError err = container_.getStatusVerGuid(stats, parseStoreIndex(words[1]), words[2]);
    if (err.failed())
      response = errorResponse(err);
    else
      statsToStr(response, stats);
  } else if (verb == "counters") {
    CZnError err = container_.getCounters(stats);
    if (err.failed())
      response = errorResponse(err);
    else
      statsToStr(response, stats);
  } else if (verb == "objcounters") {
    if (words.size() != 2) {
      response = "Error: wrong number of args";
      return;
    }
    CZnError err = words[1] == "all"
                       ? container_.getAllObjStrCounters(stats)
                       : container_.getObjStrCounters(stats, parseStoreIndex(words[1]));
    if (err.failed())
      response = errorResponse(err);
    else
      statsToStr(response, stats);
  } else if (verb == "clear") {
    container_.clearCounters();
    response.clear();
  } else if (verb == "perf") {
    OBJECT_STORE_LOG_ALL_PERF_COUNTERS("PerfCnt");
    index_iface_log_perf_counters("PerfCnt");
    response.clear();
  } else if (verb == "command") {
    if (getRegistryValue("nEnableDbgCmds", 0, 0, 1) == 0) {
      response = "debug commands disabled";
      return;
    }
    std::vector<std::string> args(words.begin() + 1, words.end());
    // The debug command's own response text says what went wrong.
    (void)container_.processDbgCommand(response, args);
  } else {
    response = "Error: unknown command";
    OSLOG(-1, "%s", response.c_str());
  }
}

}  // namespace ObjectStore
