#include "tools/objstore/ViewArgs.h"

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "platform/support/LogWriter.h"

namespace ObjectStore::tool {

namespace {

// Latest accepted time: the end of year 9999, the last one ISO 8601 writes
// with four digits.
constexpr int64_t MAX_SECONDS = 253402300799;
// A version interval longer than this is almost certainly a typo.
constexpr int64_t MAX_VERSION_INTERVAL_SEC = 365LL * 24 * 3600;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Exactly `count` digits at text[pos]; advances pos.
bool takeDigits(const std::string& text, size_t& pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  int v = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  pos += count;
  return true;
}

bool takeChar(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static const int DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : DAYS[month - 1];
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Whole non-negative decimal number (no sign, no spaces), at most `max`.
bool parseCount(const std::string& text, int64_t max, int64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  int64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + (c - '0');
    if (value > max) return false;
  }
  out = value;
  return true;
}

bool parseIso(const std::string& text, int64_t& seconds, std::string& error) {
  const std::string bad = "'" + text +
                          "' is not a time (seconds since 1970, or "
                          "YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM|-HH:MM])";
  size_t pos = 0;
  int year = 0, month = 0, day = 0;
  if (!takeDigits(text, pos, 4, year) || !takeChar(text, pos, '-') ||
      !takeDigits(text, pos, 2, month) || !takeChar(text, pos, '-') ||
      !takeDigits(text, pos, 2, day)) {
    error = bad;
    return false;
  }
  if (month < 1 || month > 12) {
    error = "'" + text + "': month out of range";
    return false;
  }
  if (day < 1 || day > daysInMonth(year, month)) {
    error = "'" + text + "': day out of range";
    return false;
  }
  int hour = 0, minute = 0, second = 0;
  int64_t offsetSec = 0;
  if (pos < text.size()) {
    if (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ') {
      error = bad;
      return false;
    }
    ++pos;
    if (!takeDigits(text, pos, 2, hour) || !takeChar(text, pos, ':') ||
        !takeDigits(text, pos, 2, minute)) {
      error = bad;
      return false;
    }
    if (pos < text.size() && text[pos] == ':' && !takeDigits(text, ++pos, 2, second)) {
      error = bad;
      return false;
    }
    if (hour > 23 || minute > 59 || second > 59) {
      error = "'" + text + "': time of day out of range";
      return false;
    }
    if (pos < text.size()) {
      const char zone = text[pos++];
      if (zone == 'Z' || zone == 'z') {
        // UTC
      } else if (zone == '+' || zone == '-') {
        int offHour = 0, offMinute = 0;
        if (!takeDigits(text, pos, 2, offHour)) {
          error = bad;
          return false;
        }
        // "+01:00", "+0100" and "+01" are all ISO 8601.
        if (pos < text.size()) {
          if (text[pos] == ':') ++pos;
          if (!takeDigits(text, pos, 2, offMinute)) {
            error = bad;
            return false;
          }
        }
        if (offHour > 23 || offMinute > 59) {
          error = "'" + text + "': time zone offset out of range";
          return false;
        }
        offsetSec = (offHour * 3600 + offMinute * 60) * (zone == '-' ? -1 : 1);
      } else {
        error = bad;
        return false;
      }
    }
  }
  if (pos != text.size()) {
    error = bad;
    return false;
  }
  const int64_t value =
      daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offsetSec;
  if (value < 0 || value > MAX_SECONDS) {
    error = "'" + text + "' is out of range (1970 to 9999)";
    return false;
  }
  seconds = value;
  return true;
}

// The value of an option: "--name=value" or "--name value". Returns false
// (with error set) when the value is missing; consumed counts the arguments
// used.
bool optionValue(const std::vector<std::string>& args, size_t i, const std::string& name,
                 bool& matched, std::string& value, size_t& consumed, std::string& error) {
  const std::string& arg = args[i];
  matched = false;
  if (arg == name) {
    matched = true;
    if (i + 1 >= args.size()) {
      error = "option '" + name + "' needs a value";
      return false;
    }
    value = args[i + 1];
    consumed = 2;
    return true;
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
      arg[name.size()] == '=') {
    matched = true;
    value = arg.substr(name.size() + 1);
    consumed = 1;
    return true;
  }
  return true;
}

}  // namespace

bool parseTime(const std::string& text, int64_t& seconds, std::string& error) {
  if (text.empty()) {
    error = "empty time";
    return false;
  }
  bool allDigits = true;
  for (char c : text) allDigits = allDigits && isDigit(c);
  if (allDigits) {
    if (!parseCount(text, MAX_SECONDS, seconds)) {
      error = "'" + text + "' is out of range (at most " + std::to_string(MAX_SECONDS) +
              " seconds, the end of 9999)";
      return false;
    }
    return true;
  }
  return parseIso(text, seconds, error);
}

std::string formatUtc(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[64];
  if (strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) return "?";
  return text;
}

const char* viewOptionsHelp() {
  return "view options:\n"
         "  --share NAME                share name (default: share)\n"
         "  --subclient N               subclient of the share (default: 1)\n"
         "  --at TIME                   the share as it was at TIME: seconds since 1970 or\n"
         "                              ISO 8601 (2026-12-08T10:00:00Z, "
         "2026-12-08T11:00:00+01:00,\n"
         "                              \"2026-12-08 10:00:00\" and 2026-12-08 are UTC); "
         "read-only\n"
         "  --discard-writes            with --at: allow writes, kept only until the view closes\n"
         "  --version-interval SECONDS  minimum seconds between two versions of a file\n";
}

bool parseViewOptions(std::vector<std::string>& args, ViewOptions& out, std::string& error) {
  std::vector<std::string> rest;
  bool sawAt = false;
  size_t i = 0;
  for (; i < args.size();) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    std::string value;
    size_t consumed = 1;
    bool matched = false;
    if (arg == "--discard-writes") {
      out.discardWrites = true;
      ++i;
      continue;
    }
    if (!optionValue(args, i, "--share", matched, value, consumed, error)) return false;
    if (matched) {
      const bool control = std::any_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f;
      });
      if (value.empty() || value == "." || value == ".." || control ||
          value.find_first_of("/,") != std::string::npos) {
        error = "'" + value + "' is not a share name (no '/', ',' or control characters)";
        return false;
      }
      out.share = value;
      i += consumed;
      continue;
    }
    if (!optionValue(args, i, "--subclient", matched, value, consumed, error)) return false;
    if (matched) {
      int64_t n = 0;
      if (!parseCount(value, INT64_MAX, n)) {
        error = "'" + value + "' is not a subclient number";
        return false;
      }
      out.subclient = static_cast<uint64_t>(n);
      i += consumed;
      continue;
    }
    if (!optionValue(args, i, "--at", matched, value, consumed, error)) return false;
    if (matched) {
      int64_t at = 0;
      std::string why;
      if (!parseTime(value, at, why)) {
        error = "--at: " + why;
        return false;
      }
      if (at == 0) {
        // 0 means the live share everywhere else; a view at the epoch
        // would be empty anyway.
        error = "--at: the time must be after 1970-01-01 00:00:00 UTC";
        return false;
      }
      out.at = at;
      sawAt = true;
      i += consumed;
      continue;
    }
    if (!optionValue(args, i, "--version-interval", matched, value, consumed, error)) return false;
    if (matched) {
      int64_t n = 0;
      if (!parseCount(value, MAX_VERSION_INTERVAL_SEC, n)) {
        error = "--version-interval: '" + value + "' is not a number of seconds (0 to " +
                std::to_string(MAX_VERSION_INTERVAL_SEC) + ")";
        return false;
      }
      out.versionIntervalSec = n;
      i += consumed;
      continue;
    }
    rest.push_back(arg);
    ++i;
  }
  for (; i < args.size(); ++i) rest.push_back(args[i]);
  if (out.discardWrites && !sawAt && out.at == 0) {
    error = "--discard-writes needs --at: the live share always keeps its writes";
    return false;
  }
  args.swap(rest);
  return true;
}

// ---------------------------------------------------------------------------

OpenView::~OpenView() {
  if (CZnError err = close(); err.failed()) OSLOG_ERR(err);
}

ObjectContainer& OpenView::container() { return *container_; }

CZnError OpenView::open(const std::string& containerDir, const ViewOptions& o) {
  if (container_) return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "The view is already open");
  std::error_code ec;
  std::filesystem::create_directories(containerDir, ec);
  if (ec) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, ec.value(), "Can't create the container directory [%s]",
                                   containerDir.c_str());
  }
  auto container = std::make_unique<ObjectContainer>();
  ObjectContainerConfig containerConfig;
  containerConfig.containerDir = containerDir;
  containerConfig.pruningMode = true;  // least recently used first
  if (CZnError err = container->init(containerConfig); err.failed()) {
    err.Push(FX_LOC, "Can't initialise the container [%s]", containerDir.c_str());
    return err;
  }

  ObjectStoreConfig config;
  config.name = o.share;
  config.subclient = o.subclient;
  config.timestamp = static_cast<uint64_t>(o.at);
  if (o.at == 0) {
    config.pitName = "0";
  } else {
    // Unique per process: two views of one time (a mount and a command)
    // must not share one store, or the first to close would remove it under
    // the other.
    config.pitName = "at" + std::to_string(o.at) + "-" + std::to_string(getpid());
    config.discardWrites = o.discardWrites;
    config.readOnly = !o.discardWrites;
  }
  if (o.versionIntervalSec >= 0)
    config.versionInterval = static_cast<unsigned>(o.versionIntervalSec);

  ObjectStoreIndex index = 0;
  if (CZnError err = container->openObjectStore(index, config); err.failed()) {
    err.Push(FX_LOC, "Can't open share [%s] subclient %llu%s%s", o.share.c_str(),
             static_cast<unsigned long long>(o.subclient), o.at != 0 ? " at " : "",
             o.at != 0 ? formatUtc(o.at).c_str() : "");
    return err;
  }
  container_ = std::move(container);
  index_ = index;
  storeOpen_ = true;
  readOnly_ = config.readOnly;
  pitName_ = config.pitName;
  return CZnError::Success;
}

bool OpenView::sendPendingToBackup() {
  // The store's own close sends only what a running backup job already
  // holds; the rest would wait in the journal for the next open, and a view
  // of the share until then could not read it back.
  ObjectStoreUpdates updates;
  updates.updateTimeout = true;
  updates.timeout = 0;
  if (CZnError err = container_->updateObjectStore(index_, updates); err.failed()) {
    OSLOG_ERR(err);
    return false;
  }
  const std::string prefix = "store" + std::to_string(index_) + ".backupQ.";
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(backupWaitMs_);
  // The queue's sizes are read without its lock: one empty reading may fall
  // between two of its updates, two in a row may not.
  int emptyReadings = 0;
  uint64_t waiting = 0;
  for (;;) {
    std::map<std::string, std::string> status;
    container_->getStatus(status);
    waiting = 0;
    for (const char* key : {"Modified", "Queued", "Uncommitted"}) {
      auto it = status.find(prefix + key);
      if (it == status.end()) return true;  // no backup queue: nothing to send
      waiting += std::strtoull(it->second.c_str(), nullptr, 10);
    }
    emptyReadings = waiting == 0 ? emptyReadings + 1 : 0;
    if (emptyReadings >= 2) return true;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  OSLOG(-1, "Error: %llu segments not backed up within %llu ms; they stay in the journal",
        static_cast<unsigned long long>(waiting), static_cast<unsigned long long>(backupWaitMs_));
  return false;
}

CZnError OpenView::close() {
  CZnError result;
  if (storeOpen_ && container_) {
    if (pitName_ == "0" && !sendPendingToBackup()) {
      result = FXErrorUtil::ErrorErrNo(FX_LOC, ETIMEDOUT,
                                       "Not everything written was backed up before the close");
    }
    storeOpen_ = false;
    // Closing also removes the view's local data (for a point-in-time view
    // everything it restored or wrote), so nothing needs cleaning up after.
    if (CZnError err = container_->closeObjectStore(index_); err.failed() && result.ok())
      result = err;
  }
  container_.reset();
  return result;
}

}  // namespace ObjectStore::tool
