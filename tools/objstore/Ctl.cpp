#include "tools/objstore/Ctl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/support/HXPlatformInfo.h"

namespace ObjectStore::ctl {

namespace {

constexpr const char* PORT_SECTION = "Rora";
constexpr const char* PORT_KEY = "OBS_CMD_PORT";
// The server refuses longer requests without answering.
constexpr size_t MAX_REQUEST_LENGTH = 256;
// A report is a few kilobytes; anything near this is not a response of ours.
constexpr int32_t MAX_RESPONSE_LENGTH = 64 * 1024 * 1024;
constexpr int DEFAULT_TIMEOUT_SECONDS = 30;

void usage(FILE* out) {
  fprintf(out,
          "usage: objstore ctl [--json] [--port PORT] [--timeout SECONDS] [--] COMMAND [ARG...]\n"
          "\n"
          "Sends one command to the command port of a running container and prints\n"
          "the response. The port is read from the configuration store (section\n"
          "[Rora], key OBS_CMD_PORT; file: $OBJSTORE_REGISTRY or the per-user default)\n"
          "unless --port is given.\n"
          "\n"
          "commands:\n"
          "  status                      container, disk cache and store status\n"
          "  counters                    the container's and the disk cache's counters\n"
          "  objcounters INDEX|all       one store's counters, or all stores' summed\n"
          "  verguid INDEX VERSION_GUID  where one version stands in a store\n"
          "  clear                       reset the counters\n"
          "  perf                        write the performance counters to the log\n"
          "  command DEBUG_COMMAND ...   a debug command (needs nEnableDbgCmds=1)\n"
          "\n"
          "options:\n"
          "  --json              print a status or counter list as a JSON object\n"
          "  --port PORT         use this port instead of the published one\n"
          "  --timeout SECONDS   how long to wait for the answer (default %d)\n"
          "  -h, --help          print this text\n"
          "\n"
          "Exit status: 0 answered; 1 error answer or no answer; 2 usage error.\n",
          DEFAULT_TIMEOUT_SECONDS);
}

// A whole decimal number in [min, max].
bool parseNumber(const std::string& text, long long min, long long max, long long& value) {
  if (text.empty() || text.size() > 18) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  value = std::stoll(text);
  return value >= min && value <= max;
}

void appendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

bool sendAll(int fd, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Bytes received until `length` arrived or the peer closed; -1 on error.
ssize_t receiveAll(int fd, void* data, size_t length) {
  char* bytes = static_cast<char*>(data);
  size_t received = 0;
  while (received < length) {
    ssize_t got = ::recv(fd, bytes + received, length - received, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    received += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(received);
}

struct Options {
  bool json = false;
  int port = 0;  // 0: the published one
  int timeoutSeconds = DEFAULT_TIMEOUT_SECONDS;
  std::vector<std::string> words;
};

// 0 on success, otherwise the exit code (after printing why). Options may
// stand anywhere among the command words; after "--" everything is a word.
int parseOptions(const std::vector<std::string>& args, Options& options, bool& help) {
  help = false;
  bool wordsOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    long long value = 0;
    if (wordsOnly || arg.size() < 2 || arg[0] != '-') {
      options.words.push_back(arg);
    } else if (arg == "--") {
      wordsOnly = true;
    } else if (arg == "-h" || arg == "--help") {
      help = true;
      return 0;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--port" || arg == "--timeout") {
      const bool isPort = arg == "--port";
      if (i + 1 >= args.size() || !parseNumber(args[i + 1], 1, isPort ? 65535 : 86400, value)) {
        fprintf(stderr, "objstore ctl: %s needs a number (%s)\n", arg.c_str(),
                isPort ? "1..65535" : "seconds, 1..86400");
        return 2;
      }
      (isPort ? options.port : options.timeoutSeconds) = static_cast<int>(value);
      ++i;
    } else {
      fprintf(stderr, "objstore ctl: unknown option '%s'\n", arg.c_str());
      return 2;
    }
  }
  if (options.words.empty()) {
    fprintf(stderr, "objstore ctl: no command given\n\n");
    usage(stderr);
    return 2;
  }
  return 0;
}

// The published port, or 0 after printing why there is none.
int publishedPort() {
  const std::string path = ObjectStore::HXPlatformInfo::registryPath();
  std::string text;
  if (!ObjectStore::HXPlatformInfo::getString(PORT_SECTION, PORT_KEY, text)) {
    fprintf(stderr,
            "objstore ctl: no command port published: %s is not set in section [%s] of %s\n"
            "  (is a container running with this configuration? OBJSTORE_REGISTRY selects "
            "the file)\n",
            PORT_KEY, PORT_SECTION, path.c_str());
    return 0;
  }
  long long port = 0;
  if (!parseNumber(text, 1, 65535, port)) {
    fprintf(stderr, "objstore ctl: invalid command port [%s] in section [%s] of %s\n", text.c_str(),
            PORT_SECTION, path.c_str());
    return 0;
  }
  return static_cast<int>(port);
}

// Sends the request and reads the response. 0 on success, else the exit code.
int exchange(int port, int timeoutSeconds, const std::string& request, std::string& response) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "objstore ctl: can't create a socket: %s\n", strerror(errno));
    return 1;
  }
  timeval tv{};
  tv.tv_sec = timeoutSeconds;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));  // best effort
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = 1;
  const int32_t length = static_cast<int32_t>(request.size());
  int32_t responseLength = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    const int err = errno;
    fprintf(stderr, "objstore ctl: can't connect to the command port 127.0.0.1:%d: %s\n", port,
            strerror(err));
    if (err == ECONNREFUSED)
      fprintf(stderr, "  (nothing listens there: is the container still running?)\n");
  } else if (!sendAll(fd, &length, sizeof(length)) ||
             !sendAll(fd, request.data(), request.size())) {
    fprintf(stderr, "objstore ctl: can't send the command: %s\n", strerror(errno));
  } else {
    ssize_t got = receiveAll(fd, &responseLength, sizeof(responseLength));
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      fprintf(stderr, "objstore ctl: no answer within %d s\n", timeoutSeconds);
    } else if (got < 0) {
      fprintf(stderr, "objstore ctl: can't read the answer: %s\n", strerror(errno));
    } else if (got == 0) {
      fprintf(stderr, "objstore ctl: the container closed the connection without answering\n");
    } else if (got != sizeof(responseLength) || responseLength < 0 ||
               responseLength > MAX_RESPONSE_LENGTH) {
      fprintf(stderr, "objstore ctl: malformed answer\n");
    } else {
      response.assign(static_cast<size_t>(responseLength), '\0');
      got = responseLength == 0 ? 0 : receiveAll(fd, response.data(), response.size());
      if (got != responseLength)
        fprintf(stderr, "objstore ctl: the answer was cut short (%zd of %d bytes)\n", got,
                responseLength);
      else
        rc = 0;
    }
  }
  ::close(fd);
  return rc;
}

}  // namespace

bool statsToJson(const std::string& response, std::string& json) {
  std::vector<std::string> fields;
  if (!response.empty()) {
    size_t start = 0;
    for (;;) {
      size_t comma = response.find(',', start);
      fields.push_back(response.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (fields.size() % 2 != 0) return false;
  json = "{";
  for (size_t i = 0; i < fields.size(); i += 2) {
    if (i != 0) json += ",";
    json += "\n  ";
    appendJsonString(json, fields[i]);
    json += ": ";
    appendJsonString(json, fields[i + 1]);
  }
  json += fields.empty() ? "}" : "\n}";
  return true;
}

int runCtl(const std::vector<std::string>& args) {
  Options options;
  bool help = false;
  if (int rc = parseOptions(args, options, help); rc != 0) return rc;
  if (help) {
    usage(stdout);
    return 0;
  }
  std::string request;
  for (const std::string& word : options.words) {
    if (!request.empty()) request += ' ';
    request += word;
  }
  if (request.size() > MAX_REQUEST_LENGTH) {
    fprintf(stderr, "objstore ctl: command too long (%zu bytes, at most %zu)\n", request.size(),
            MAX_REQUEST_LENGTH);
    return 2;
  }
  const int port = options.port != 0 ? options.port : publishedPort();
  if (port == 0) return 1;

  std::string response;
  if (int rc = exchange(port, options.timeoutSeconds, request, response); rc != 0) return rc;
  if (response.rfind("Error: ", 0) == 0 || response == "debug commands disabled") {
    fprintf(stderr, "%s\n", response.c_str());
    return 1;
  }
  if (options.json) {
    std::string json;
    if (!statsToJson(response, json)) {
      fprintf(stderr, "objstore ctl: the answer is not a key/value list: %s\n", response.c_str());
      return 1;
    }
    printf("%s\n", json.c_str());
  } else if (!response.empty()) {
    printf("%s\n", response.c_str());
  }
  return 0;
}

}  // namespace ObjectStore::ctl
