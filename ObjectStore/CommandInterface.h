// CommandInterface: the container's loopback request/response server.
//
// Local tools (objstore ctl) read status and counters, clear counters, dump
// performance counters and, when "nEnableDbgCmds" is set, run debug commands
// through it. The listening socket is bound to 127.0.0.1 on a port chosen by
// the system, which is published as "OBS_CMD_PORT" in section "Rora" of the
// configuration store before the first connection is accepted.
//
// Wire format, both directions, integers in host byte order:
//   request:  int32 length n (0..MAX_COMMAND_LENGTH), then n bytes of text
//   response: int32 length m, then m bytes of text
// One connection carries one command and one response; the server then shuts
// the connection down and closes it. A malformed request (short length,
// oversize length, short command, or a client that stays silent past the
// receive time limit) closes the connection without a response.
//
// Threading: one command thread per container serves one connection at a
// time and calls the container's reporting operations. The constructor and
// destructor run on the container's constructing/destroying thread; the
// destructor stops and joins the command thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/support/CZnError.h"
#include "platform/support/CZnSocket.h"
#include "platform/support/HXThread.h"

namespace ObjectStore {

class ObjectContainer;

// Longest command text a request may carry.
inline constexpr int32_t MAX_COMMAND_LENGTH = 256;
// Configuration key (section "Rora") under which the port is published.
inline constexpr const char* CMD_PORT_KEY = "OBS_CMD_PORT";

// Binds `sock` to 127.0.0.1 on a free port, publishes the port and listens.
// On failure the socket is closed.
CZnError createListenSock(CZnSocket& sock);

// "key1,value1,key2,value2" in key order; an empty map gives "". A comma
// inside a key or value is sent as ";", so that the pairs always line up.
void statsToStr(std::string& out, const std::map<std::string, std::string>& stats);

class CommandInterface : public HXThread {
 public:
  // Prepares the socket and starts the command thread. Never fails: a
  // set-up failure is logged and leaves the interface without a thread.
  explicit CommandInterface(ObjectContainer& container);
  // Stops the command thread (waking its accept) and joins it.
  ~CommandInterface() override;
  CommandInterface(const CommandInterface&) = delete;
  CommandInterface& operator=(const CommandInterface&) = delete;

  // Reads one request from `client`. True: no command (shut down, malformed
  // or timed out); close the connection without answering. False: `command`
  // holds the text, empty when the peer closed before sending anything.
  bool getCommand(CZnSocket& client, std::string& command);
  // Sends the response. True: the send failed.
  bool sendResponse(CZnSocket& client, const std::string& response);
  // Runs one command. May throw std::exception (a store index that is not a
  // number); the command thread turns that into an "Error: " response.
  void processCommand(std::string& response, const std::string& command);

  // The published port (0 when the socket could not be set up).
  uint16_t port() const { return port_; }

  // How long one request may take to arrive, from accept to its last byte
  // (default 5000 ms). Applies to connections accepted afterwards.
  static void setReceiveTimeoutMsForTesting(uint32_t milliseconds);

 private:
  static void threadFunctionStatic(void* self);
  void threadFunction();
  // Receives until `length` bytes arrived, the peer closed, the request's
  // deadline passed or stop was set. Returns the bytes received, or -1 with
  // errno set (EAGAIN: the deadline passed).
  ssize_t receiveWithin(CZnSocket& client, char* buffer, size_t length, int64_t deadlineMs);

  CZnSocket listenSock_;
  std::atomic<bool> stop_{false};
  ObjectContainer& container_;
  uint16_t port_ = 0;
  // Serialises closing the listening socket (command thread, after a failed
  // accept) with shutting it down (destructor), so that neither acts on a
  // descriptor the other has released. Never held across a blocking call.
  std::mutex listenSockLock_;
};

}  // namespace ObjectStore
