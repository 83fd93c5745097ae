// The command port, driven through real loopback sockets: the wire format,
// every command, malformed and silent clients, shut-down, and the `objstore
// ctl` client against a running container.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "ObjectStore/CommandInterface.h"
#include "StoreFixture.h"
#include "platform/support/HXPlatformInfo.h"

namespace ObjectStore::test {
namespace {

using Clock = std::chrono::steady_clock;
using Stats = std::map<std::string, std::string>;

int publishedPort() {
  int64_t port = 0;
  if (!HXPlatformInfo::getLongLong(REGISTRY_SECTION_PUBLIC, CMD_PORT_KEY, port)) return -1;
  return static_cast<int>(port);
}

// A client connection; every receive is bounded so that a server fault fails
// the test instead of hanging it.
class Client {
 public:
  explicit Client(int port) {
    EXPECT_OK(sock_.connect(CZnIPAddr("127.0.0.1", static_cast<uint16_t>(port))));
    EXPECT_OK(sock_.setReceiveTimeout(10000));
  }
  void sendLength(int32_t length) { ASSERT_EQ(sock_.send(&length, sizeof(length)), 4); }
  void sendText(const std::string& text) {
    if (!text.empty()) {
      ASSERT_EQ(sock_.send(text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
  }
  void request(const std::string& text) {
    sendLength(static_cast<int32_t>(text.size()));
    sendText(text);
  }
  void closeWrite() { EXPECT_OK(sock_.Shutdown(1)); }
  // The response, or nothing when the server closed without one.
  std::optional<std::string> response() {
    int32_t length = -1;
    ssize_t got = sock_.receiveAll(&length, sizeof(length));
    // Closed without a response; a reset when the server closed with request
    // bytes still unread (an oversize request).
    if (got == 0 || (got < 0 && errno == ECONNRESET)) return std::nullopt;
    EXPECT_EQ(got, 4) << "errno " << errno;
    if (got != 4 || length < 0) return std::nullopt;
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0) {
      EXPECT_EQ(sock_.receiveAll(text.data(), text.size()), length);
    }
    // One command per connection: the server closes after the response.
    char extra;
    EXPECT_EQ(sock_.receive(&extra, 1), 0);
    return text;
  }

 private:
  CZnSocket sock_;
};

class CommandInterfaceTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    port_ = publishedPort();
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    CommandInterface::setReceiveTimeoutMsForTesting(5000);
    StoreFixture::TearDown();
  }
  std::string ask(const std::string& command) {
    Client client(port_);
    client.request(command);
    std::optional<std::string> answer = client.response();
    EXPECT_TRUE(answer.has_value()) << "no response to [" << command << "]";
    return answer.value_or("<none>");
  }
  ObjectStoreIndex openView(const std::string& pitName = "live") {
    ObjectStoreConfig config = liveConfig();
    config.pitName = pitName;
    ObjectStoreIndex index = 0;
    EXPECT_OK(container_->openObjectStore(index, config));
    return index;
  }
  static std::string str(const Stats& stats) {
    std::string out;
    statsToStr(out, stats);
    return out;
  }

  int port_ = -1;
};

TEST(StatsToStrTest, AlternatesKeysAndValuesWithoutTrailingComma) {
  std::string out = "stale";
  statsToStr(out, {});
  EXPECT_EQ(out, "");
  statsToStr(out, {{"b", "2"}, {"a", "1"}});
  EXPECT_EQ(out, "a,1,b,2");
  // An empty last value keeps its separator: the pairs still line up.
  statsToStr(out, {{"objguid", ""}, {"a", "x"}});
  EXPECT_EQ(out, "a,x,objguid,");
  // Commas inside a key or value must not shift the later pairs.
  statsToStr(out, {{"status", "ok, 3 queries"}, {"x,y", "1"}, {"z", "2"}});
  EXPECT_EQ(out, "status,ok; 3 queries,x;y,1,z,2");
}

TEST_F(CommandInterfaceTest, PortIsPublishedBeforeTheFirstAccept) {
  // A second container publishes its own port as soon as it is constructed,
  // before init(), and answers on it straight away.
  LogCapture log(1);
  ObjectContainer other;
  EXPECT_TRUE(log.contains("Command interface started", 1)) << log.dump();
  int port = publishedPort();
  ASSERT_GT(port, 0);
  EXPECT_NE(port, port_);
  Client client(port);
  client.request("status");
  std::optional<std::string> answer = client.response();
  ASSERT_TRUE(answer.has_value());
  EXPECT_NE(answer->find("numStores,0"), std::string::npos) << *answer;
  EXPECT_EQ(log.count("INFO: Bind Successful on port [" + std::to_string(port) + "]", 1), 1u);
}

TEST_F(CommandInterfaceTest, StatusAndCountersMatchTheContainersReports) {
  ObjectStoreIndex index = openView();
  std::string status = ask("status");
  Stats expected;
  container_->getStatus(expected);
  EXPECT_EQ(status, str(expected));
  EXPECT_NE(status.find("cacheDir," + containerDir_ + ","), std::string::npos) << status;
  EXPECT_NE(status.find("store" + std::to_string(index) + ".rootName,"), std::string::npos);

  struct stat st;
  ItemName root("/");
  EXPECT_OK(container_->getattr(index, root, st));
  std::string counters = ask("counters");
  expected.clear();
  EXPECT_OK(container_->getCounters(expected));
  EXPECT_EQ(counters, str(expected));
  EXPECT_NE(counters.find(",getattr,1,"), std::string::npos) << counters;
}

TEST_F(CommandInterfaceTest, ObjCountersByIndexAllAndBadArguments) {
  ObjectStoreIndex first = openView("one");
  ObjectStoreIndex second = openView("two");
  Stats expected;
  EXPECT_OK(container_->getObjStrCounters(expected, second));
  EXPECT_EQ(ask("objcounters " + std::to_string(second)), str(expected));
  EXPECT_NE(ask("objcounters " + std::to_string(first)).find("recoveredSegs,0"), std::string::npos);
  expected.clear();
  EXPECT_OK(container_->getAllObjStrCounters(expected));
  EXPECT_EQ(ask("objcounters all"), str(expected));

  EXPECT_EQ(ask("objcounters"), "Error: wrong number of args");
  EXPECT_EQ(ask("objcounters 0 1"), "Error: wrong number of args");
  // The parse error's own message follows "Error: ".
  EXPECT_EQ(ask("objcounters abc"), "Error: invalid store index [abc]");
  EXPECT_EQ(ask("objcounters -1"), "Error: invalid store index [-1]");
  EXPECT_EQ(ask("objcounters 3x"), "Error: invalid store index [3x]");
  EXPECT_EQ(ask("objcounters 99999999999999999999999"),
            "Error: store index out of range [99999999999999999999999]");
  // A store that is not open is reported as an error, not as an empty list.
  std::string missing = ask("objcounters 7");
  EXPECT_EQ(missing.rfind("Error: ENOENT", 0), 0u) << missing;
}

TEST_F(CommandInterfaceTest, VerGuidArgumentsAndAnswer) {
  ObjectStoreIndex index = openView();
  EXPECT_EQ(ask("verguid 0"), "Error: wrong number of args");
  EXPECT_EQ(ask("verguid"), "Error: wrong number of args");
  EXPECT_EQ(ask("verguid 0 a b"), "Error: wrong number of args");
  EXPECT_EQ(ask("verguid zero 0123456789abcdef0123456789abcdef"),
            "Error: invalid store index [zero]");

  const std::string guid = "0123456789abcdef0123456789abcdef";
  Stats expected;
  EXPECT_OK(container_->getStatusVerGuid(expected, index, guid));
  std::string answer = ask("verguid " + std::to_string(index) + " " + guid);
  EXPECT_EQ(answer, str(expected));
  EXPECT_NE(answer.find("backupQ.modified,0"), std::string::npos) << answer;

  std::string missing = ask("verguid 5 " + guid);
  EXPECT_EQ(missing.rfind("Error: ENOENT", 0), 0u) << missing;
}

TEST_F(CommandInterfaceTest, ClearAndPerfAnswerEmpty) {
  ObjectStoreIndex index = openView();
  struct stat st;
  ItemName root("/");
  EXPECT_OK(container_->getattr(index, root, st));
  ASSERT_EQ(container_->counters().get(ContainerCounter::GETATTR), 1u);
  EXPECT_EQ(ask("clear"), "");
  EXPECT_EQ(container_->counters().get(ContainerCounter::GETATTR), 0u);
  EXPECT_NE(ask("counters").find(",getattr,0,"), std::string::npos);
  EXPECT_EQ(ask("perf"), "");
}

TEST_F(CommandInterfaceTest, DebugCommandsNeedTheSwitch) {
  EXPECT_EQ(ask("command"), "debug commands disabled");
  EXPECT_EQ(ask("command outofspace 1"), "debug commands disabled");
  setRegistry("nEnableDbgCmds", "1");
  // The container's own answers come back, errors included.
  EXPECT_EQ(ask("command"), "No command");
  EXPECT_EQ(ask("command outofspace"), "Wrong number of args");
  EXPECT_EQ(ask("command nosuchthing"), "Unknown command");
  EXPECT_EQ(ask("command outofspace 0"), "");
  setRegistry("nEnableDbgCmds", "0");
  EXPECT_EQ(ask("command outofspace 0"), "debug commands disabled");
}

TEST_F(CommandInterfaceTest, UnknownAndEmptyCommands) {
  LogCapture log(-1);
  EXPECT_EQ(ask("frobnicate"), "Error: unknown command");
  EXPECT_EQ(log.count("Error: unknown command", -1), 1u);
  EXPECT_EQ(ask(""), "Error: no command found");
  EXPECT_EQ(ask("   "), "Error: no command found");
  EXPECT_EQ(log.count("Error: no command found", -1), 2u);
  // Words are split at single spaces; extra blanks make no empty words.
  EXPECT_EQ(ask("  objcounters   "), "Error: wrong number of args");
  // A client that connects and closes without a byte gets the same answer.
  Client client(port_);
  client.closeWrite();
  EXPECT_EQ(client.response().value_or("<none>"), "Error: no command found");
}

// Request bytes reach the log with control bytes escaped, so a request can't
// forge log lines.
TEST_F(CommandInterfaceTest, ControlBytesOfARequestAreEscapedInTheLog) {
  LogCapture log(6);
  EXPECT_EQ(ask("frob\n[0] Error: forged\x1b[2J"), "Error: unknown command");
  EXPECT_EQ(log.countContaining("received cmd=[frob\\x0a[0] Error: forged\\x1b[2J]", 6), 1u)
      << log.dump();
  for (const auto& record : log.records())
    EXPECT_EQ(record.message.find_first_of("\n\x1b"), std::string::npos) << record.message;
}

TEST_F(CommandInterfaceTest, LengthLimitIs256) {
  LogCapture log(-1);
  std::string longest = "x" + std::string(MAX_COMMAND_LENGTH - 1, 'y');
  ASSERT_EQ(longest.size(), 256u);
  EXPECT_EQ(ask(longest), "Error: unknown command");

  Client tooLong(port_);
  tooLong.request(longest + "z");
  EXPECT_FALSE(tooLong.response().has_value());
  EXPECT_EQ(log.count("Error: received size 257 too big", -1), 1u) << log.dump();

  Client negative(port_);
  negative.sendLength(-1);
  EXPECT_FALSE(negative.response().has_value());
  EXPECT_EQ(log.count("Error: received size -1 too big", -1), 1u) << log.dump();
  // The thread survives: the next client is served.
  EXPECT_EQ(ask("clear"), "");
}

TEST_F(CommandInterfaceTest, RequestInSmallPiecesIsNotAnError) {
  Client client(port_);
  const std::string command = "objcounters abc";
  int32_t length = static_cast<int32_t>(command.size());
  const char* bytes = reinterpret_cast<const char*>(&length);
  for (int i = 0; i < 4; ++i) {
    client.sendText(std::string(bytes + i, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  client.sendText(command.substr(0, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  client.sendText(command.substr(5));
  EXPECT_EQ(client.response().value_or("<none>"), "Error: invalid store index [abc]");
}

TEST_F(CommandInterfaceTest, ShortRequestsCloseWithoutAnswer) {
  LogCapture log(-1);
  Client halfLength(port_);
  halfLength.sendText("ab");
  halfLength.closeWrite();
  EXPECT_FALSE(halfLength.response().has_value());
  EXPECT_EQ(log.count("Error: received size ret=2 err=0", -1), 1u) << log.dump();

  Client shortCommand(port_);
  shortCommand.sendLength(10);
  shortCommand.sendText("sta");
  shortCommand.closeWrite();
  EXPECT_FALSE(shortCommand.response().has_value());
  EXPECT_EQ(log.count("Error: received cmd ret=3 err=0", -1), 1u) << log.dump();
}

TEST_F(CommandInterfaceTest, SilentClientTimesOutWithoutBlockingOthers) {
  CommandInterface::setReceiveTimeoutMsForTesting(400);
  LogCapture log(-1);
  // Both clients are queued behind the silent ones; the last is answered
  // once the silent ones have timed out, one after the other.
  Client silent(port_);
  Client partial(port_);
  partial.sendLength(6);
  partial.sendText("sta");
  const auto start = Clock::now();
  std::string answer = ask("status");
  const auto waited = Clock::now() - start;
  EXPECT_NE(answer.find(",cacheDir,"), std::string::npos) << answer;
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_FALSE(silent.response().has_value());
  EXPECT_FALSE(partial.response().has_value());
  EXPECT_EQ(log.count("Error: received size ret=-1 err=" + std::to_string(EAGAIN), -1), 1u)
      << log.dump();
  EXPECT_EQ(log.count("Error: received cmd ret=-1 err=" + std::to_string(EAGAIN), -1), 1u)
      << log.dump();
}

TEST_F(CommandInterfaceTest, ManyClientsAtOnceAreAllAnswered) {
  constexpr int THREADS = 4;
  constexpr int REQUESTS = 25;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < REQUESTS; ++i) {
        Client client(port_);
        client.request("objcounters x");
        if (client.response() == std::optional<std::string>("Error: invalid store index [x]"))
          ++answered;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), THREADS * REQUESTS);
}

TEST_F(CommandInterfaceTest, DestructorStopsAndJoinsTheThread) {
  LogCapture log(6);
  auto iface = std::make_unique<CommandInterface>(*container_);
  const int port = iface->port();
  ASSERT_GT(port, 0);
  EXPECT_EQ(publishedPort(), port);
  {
    // A client in the middle of a request must not hold the destructor for
    // the whole receive time limit.
    Client busy(port);
    busy.sendLength(20);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    iface.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  EXPECT_TRUE(log.contains("CommandInterface destructor", 3));
  EXPECT_TRUE(log.contains("CommandInterface destructor finished", 3));
  EXPECT_TRUE(log.contains("Received shutdown ret=0", 5)) << log.dump();

  // Idle thread: woken out of accept.
  log.clear();
  iface = std::make_unique<CommandInterface>(*container_);
  const int idlePort = iface->port();
  {
    // Served once, so that the thread is known to be in its loop; then given
    // time to block in accept again.
    Client client(idlePort);
    client.request("clear");
    EXPECT_EQ(client.response().value_or("<none>"), "");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  iface.reset();
  EXPECT_TRUE(log.contains("shutdown ctrl received", 4)) << log.dump();
  EXPECT_TRUE(log.contains("eol", 6));
  CZnSocket late;
  CZnError err = late.connect(CZnIPAddr("127.0.0.1", static_cast<uint16_t>(idlePort)));
  EXPECT_EQ(err.errNo(), ECONNREFUSED);
}

TEST_F(CommandInterfaceTest, UnpublishablePortLeavesTheContainerWithoutInterface) {
  // The configuration file can't be written: its directory would have to be
  // created below a regular file.
  writeFile(path("plainfile"), "x");
  setenv("OBJSTORE_REGISTRY", path("plainfile/registry").c_str(), 1);
  LogCapture log(1);
  {
    CommandInterface iface(*container_);
    EXPECT_EQ(iface.port(), 0);
    EXPECT_FALSE(iface.joinable());
  }
  EXPECT_EQ(log.count("Error: Failed to set [Rora\\OBS_CMD_PORT]", -1), 1u) << log.dump();
  EXPECT_EQ(log.count("Error: Can't create command socket", -1), 1u);
  EXPECT_FALSE(log.contains("Command interface started"));
  // A container in that state still works.
  {
    ObjectContainer other;
    ObjectContainerConfig config;
    config.containerDir = path("other");
    EXPECT_OK(other.init(config));
  }
  EXPECT_EQ(log.count("Error: Can't create command socket", -1), 2u);
  setenv("OBJSTORE_REGISTRY", path("registry").c_str(), 1);
}

TEST_F(CommandInterfaceTest, ReportsWhileViewsOpenAndClose) {
  // Every answer is a whole key/value list (or an error), while another
  // thread opens and closes views under it.
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int round = 0; round < 15; ++round) {
      ObjectStoreIndex index = openView("churn" + std::to_string(round));
      struct stat st;
      ItemName root("/");
      EXPECT_OK(container_->getattr(index, root, st));
      EXPECT_OK(container_->closeObjectStore(index));
    }
    done = true;
  });
  int answers = 0;
  while (!done.load() || answers < 3) {
    for (const char* command : {"status", "objcounters all", "counters", "objcounters 0"}) {
      std::string answer = ask(command);
      if (answer.rfind("Error: ", 0) == 0) {
        EXPECT_EQ(std::string(command), "objcounters 0") << answer;  // slot 0 may be closed
        continue;
      }
      if (answer.empty()) continue;  // "objcounters all" with no view open
      size_t commas = std::count(answer.begin(), answer.end(), ',');
      EXPECT_EQ(commas % 2, 1u) << command << ": " << answer;
      ++answers;
    }
  }
  churn.join();
}

TEST_F(CommandInterfaceTest, RunningOutOfDescriptorsDoesNotEndTheThread) {
  LogCapture log(1);
  // The client's socket exists before the limit is lowered; connecting needs
  // no new descriptor, but the server's accept does.
  CZnSocket client;
  ASSERT_OK(client.create());
  // Every free descriptor below the client's is taken first, so that the
  // server's accept finds none under the lowered limit.
  std::vector<int> fillers;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    if (fd > client.fd()) {
      ::close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  struct CloseFillers {
    std::vector<int>& fds;
    ~CloseFillers() {
      for (int fd : fds) ::close(fd);
    }
  } closeFillers{fillers};
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(client.fd());  // below every new descriptor
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  CZnError connected = client.connect(CZnIPAddr("127.0.0.1", static_cast<uint16_t>(port_)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_OK(connected);
  // Retried every few milliseconds, but logged once for the whole run. (A
  // descriptor another thread of the process closes meanwhile may still be
  // handed to accept, so the run of errors may also not happen at all.)
  const std::string emfile =
      std::string(errnoName(EMFILE)) + " (" + std::to_string(EMFILE) + "): " + strerror(EMFILE);
  EXPECT_LE(log.count("accept on cmd interface socket returned error [" + emfile + "]", 1), 1u)
      << log.dump();
  // The waiting connection is served once descriptors are available again.
  int32_t length = 5;
  ASSERT_EQ(client.send(&length, sizeof(length)), 4);
  ASSERT_EQ(client.send("clear", 5), 5);
  ASSERT_OK(client.setReceiveTimeout(10000));
  int32_t responseLength = -1;
  EXPECT_EQ(client.receiveAll(&responseLength, sizeof(responseLength)), 4);
  EXPECT_EQ(responseLength, 0);
  EXPECT_EQ(ask("objcounters x"), "Error: invalid store index [x]");
}

TEST_F(CommandInterfaceTest, ListensOnLoopbackOnly) {
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::string external;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    auto* in = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    external = text;
    break;
  }
  freeifaddrs(list);
  if (external.empty()) GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
  CZnSocket sock;
  CZnError err = sock.connect(CZnIPAddr(external, static_cast<uint16_t>(port_)));
  EXPECT_EQ(err.errNo(), ECONNREFUSED) << external;
}

TEST_F(CommandInterfaceTest, ProcessCommandThrowsForNonNumericIndex) {
  CommandInterface iface(*container_);
  std::string response;
  EXPECT_THROW(iface.processCommand(response, "verguid one guid"), std::invalid_argument);
  iface.processCommand(response, "clear");
  EXPECT_EQ(response, "");
}

// `objstore ctl` against this container: the tool finds the port through the
// same configuration file (OBJSTORE_REGISTRY is inherited).
class CtlToolTest : public CommandInterfaceTest {
 protected:
  struct Result {
    int status = -1;
    std::string out;
    std::string err;
  };
  void SetUp() override {
    CommandInterfaceTest::SetUp();
    tool_ = std::string(OBJSTORE_BINARY_DIR) + "/tools/objstore/objstore";
    if (access(tool_.c_str(), X_OK) != 0) GTEST_SKIP() << "not built: " << tool_;
  }
  Result ctl(const std::string& args) {
    Result result;
    const std::string errPath = path("ctl.err");
    const std::string command = tool_ + " ctl " + args + " 2>" + errPath;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "popen failed";
      return result;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.out.append(buffer, got);
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.err = readFile(errPath);
    return result;
  }

  std::string tool_;
};

TEST_F(CtlToolTest, PrintsTheResponse) {
  ObjectStoreIndex index = openView();
  Stats expected;
  EXPECT_OK(container_->getObjStrCounters(expected, index));
  Result result = ctl("objcounters " + std::to_string(index));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, str(expected) + "\n");
  EXPECT_EQ(result.err, "");

  struct stat st;
  ItemName root("/");
  EXPECT_OK(container_->getattr(index, root, st));
  result = ctl("clear");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(container_->counters().get(ContainerCounter::GETATTR), 0u);
}

TEST_F(CtlToolTest, JsonObjectOfTheKeyValueList) {
  ObjectStoreIndex index = openView();
  Stats expected;
  EXPECT_OK(container_->getObjStrCounters(expected, index));
  Result result = ctl("--json objcounters " + std::to_string(index));
  EXPECT_EQ(result.status, 0) << result.err;
  std::string json = "{";
  for (const auto& [key, value] : expected)
    json += std::string(json.size() > 1 ? "," : "") + "\n  \"" + key + "\": \"" + value + "\"";
  json += "\n}\n";
  EXPECT_EQ(result.out, json);

  // An empty last value is kept as an empty string.
  const std::string guid = "0123456789abcdef0123456789abcdef";
  // Options may follow the command words.
  result = ctl("verguid " + std::to_string(index) + " " + guid + " --json");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("\n  \"objguid\": \"\"\n}"), std::string::npos) << result.out;

  // "clear" answers nothing: an empty object.
  result = ctl("--json clear");
  EXPECT_EQ(result.out, "{}\n");
  // Not a key/value list.
  result = ctl("--json command");
  EXPECT_EQ(result.status, 1);
}

TEST_F(CtlToolTest, JsonEscapesQuotesAndBackslashes) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = "tmp,a\\b\"c";
  ObjectStoreIndex index = 0;
  ASSERT_OK(container_->openObjectStore(index, config));
  Result result = ctl("--json status");
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string key = "store" + std::to_string(index) + ".backupFilter";
  EXPECT_NE(result.out.find("\"" + key + "\": \"tmp;a\\\\b\\\"c\""), std::string::npos)
      << result.out;
}

TEST_F(CtlToolTest, ErrorAnswersExitNonZero) {
  Result result = ctl("objcounters x");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: invalid store index [x]\n");
  result = ctl("verguid 0");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: wrong number of args\n");
  result = ctl("command outofspace 1");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "debug commands disabled\n");
  result = ctl(std::string(300, 'x'));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("command too long (300 bytes, at most 256)"), std::string::npos);
}

TEST_F(CtlToolTest, ClearMessagesWithoutAContainer) {
  container_.reset();  // its port is closed but stays published
  Result result = ctl("status");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("can't connect to the command port 127.0.0.1:" + std::to_string(port_) +
                            ": Connection refused"),
            std::string::npos)
      << result.err;
  ASSERT_OK(HXPlatformInfo::removeValue(REGISTRY_SECTION_PUBLIC, CMD_PORT_KEY));
  result = ctl("status");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("no command port published"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace ObjectStore::test
