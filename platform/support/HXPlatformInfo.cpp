#include "platform/support/HXPlatformInfo.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// Writers in this process are serialised; the rename keeps readers (here or in
// another process) from ever seeing a partial file.
std::mutex g_registryWriteMutex;

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file turns on debug commands and says where the command port is, so it
// is only read from, and written into, a directory that no other user can
// change: a real directory (not a symbolic link) owned by this user or root
// and writable by nobody else.
bool isTrustedDirectory(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != geteuid() && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  if (!isTrustedDirectory(directoryOf(path))) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
      OSLOG(-1, "Error: Ignoring [%s]: its directory may be changed by other users",
            path.c_str());
    return lines;
  }
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Finds key in section; returns the line index or -1. sectionEnd receives the
// index just past the section's last line (-1 when the section is missing).
int findKey(const std::vector<std::string>& lines, const std::string& section,
            const std::string& key, int& sectionEnd, std::string* value) {
  bool inSection = false;
  sectionEnd = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = trim(lines[i]);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      inSection = line.substr(1, line.size() - 2) == section;
      if (inSection) sectionEnd = static_cast<int>(i) + 1;
      continue;
    }
    if (!inSection) continue;
    sectionEnd = static_cast<int>(i) + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (trim(line.substr(0, eq)) == key) {
      if (value != nullptr) *value = trim(line.substr(eq + 1));
      return static_cast<int>(i);
    }
  }
  return -1;
}

CZnError makeParentDir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return CZnError::Success;
  std::string dir = path.substr(0, slash);
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
      return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't create [%s]", partial.c_str());
  }
  return CZnError::Success;
}

CZnError writeLinesAtomically(const std::string& path, const std::vector<std::string>& lines) {
  CZnError err = makeParentDir(path);
  if (err.failed()) return err;
  if (!isTrustedDirectory(directoryOf(path)))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES,
                                   "Won't write [%s]: its directory may be changed by other users",
                                   path.c_str());
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  // A stale file of an earlier process with our pid goes first; whatever
  // then holds the name (a planted link) makes the open fail, not redirect it.
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't open [%s]", tmp.c_str());
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      unlink(tmp.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, saved, "Can't write [%s]", tmp.c_str());
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  // Close even when the sync fails, so that a failing disk does not also leak
  // a descriptor per attempt.
  int syncResult = fsync(fd);
  int syncErrno = errno;
  int closeResult = close(fd);
  int closeErrno = errno;
  if (syncResult != 0 || closeResult != 0) {
    unlink(tmp.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, syncResult != 0 ? syncErrno : closeErrno,
                                   "Can't sync [%s]", tmp.c_str());
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    unlink(tmp.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, saved, "Can't rename [%s] to [%s]", tmp.c_str(),
                                   path.c_str());
  }
  return CZnError::Success;
}

bool parseDecimal(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 32) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  value = parsed;
  return true;
}

// Reads key from "~Rora": false when missing; parsed = false when present but
// not a number (the text is logged by the caller).
bool readRegistryNumber(const std::string& key, long long& value, bool& parsed,
                        std::string& text) {
  if (!HXPlatformInfo::getString(REGISTRY_SECTION_PRIVATE, key, text)) return false;
  if (text.size() > 32) text.resize(32);
  parsed = parseDecimal(text, value);
  return true;
}

// A section, key or value that the line format can't hold would corrupt the
// file (a newline would start a new line, a '=' in a key would move the
// split, surrounding blanks would be trimmed away on reading), so such
// entries are refused instead of written.
CZnError checkEntry(const std::string& section, const std::string& key,
                    const std::string& value) {
  auto hasLineBreak = [](const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
  };
  if (section.empty() || hasLineBreak(section) || section.find(']') != std::string::npos ||
      trim(section) != section)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad section name [%s]", section.c_str());
  if (key.empty() || hasLineBreak(key) || key.find('=') != std::string::npos ||
      trim(key) != key || key[0] == '[' || key[0] == '#' || key[0] == ';')
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad key [%s]", key.c_str());
  if (hasLineBreak(value) || trim(value) != value)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad value for [%s]", key.c_str());
  return CZnError::Success;
}

}  // namespace

std::string HXPlatformInfo::registryPath() {
  if (const char* env = getenv("OBJSTORE_REGISTRY"); env != nullptr && *env != '\0')
    return env;
  std::string base;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    base = xdg;
  } else if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') {
    base = std::string(home) + "/.config";
  } else {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      base = std::string(found->pw_dir) + "/.config";
    } else {
      // No home at all: a directory of this user's own in /tmp, which the
      // trust check refuses if someone else made it first.
      return "/tmp/objectstore-" + std::to_string(geteuid()) + "/registry";
    }
  }
  return base + "/objectstore/registry";
}

bool HXPlatformInfo::getString(const std::string& section, const std::string& key,
                               std::string& value) {
  std::vector<std::string> lines = readLines(registryPath());
  int sectionEnd = -1;
  return findKey(lines, section, key, sectionEnd, &value) >= 0;
}

bool HXPlatformInfo::getLongLong(const std::string& section, const std::string& key,
                                 int64_t& value) {
  std::string text;
  if (!getString(section, key, text)) return false;
  long long parsed = 0;
  if (!parseDecimal(text, parsed)) return false;
  value = parsed;
  return true;
}

CZnError HXPlatformInfo::setString(const std::string& section, const std::string& key,
                                   const std::string& value) {
  CZnError err = checkEntry(section, key, value);
  if (err.failed()) return err;
  std::lock_guard<std::mutex> guard(g_registryWriteMutex);
  std::string path = registryPath();
  std::vector<std::string> lines = readLines(path);
  int sectionEnd = -1;
  int at = findKey(lines, section, key, sectionEnd, nullptr);
  std::string line = key + "=" + value;
  if (at >= 0) {
    lines[static_cast<size_t>(at)] = line;
  } else if (sectionEnd >= 0) {
    lines.insert(lines.begin() + sectionEnd, line);
  } else {
    lines.push_back("[" + section + "]");
    lines.push_back(line);
  }
  return writeLinesAtomically(path, lines);
}

CZnError HXPlatformInfo::setNumber(const std::string& section, const std::string& key,
                                   int64_t value) {
  return setString(section, key, std::to_string(value));
}

CZnError HXPlatformInfo::removeValue(const std::string& section, const std::string& key) {
  std::lock_guard<std::mutex> guard(g_registryWriteMutex);
  std::string path = registryPath();
  std::vector<std::string> lines = readLines(path);
  int sectionEnd = -1;
  int at = findKey(lines, section, key, sectionEnd, nullptr);
  if (at < 0) return CZnError::Success;
  lines.erase(lines.begin() + at);
  return writeLinesAtomically(path, lines);
}

int getRegistryValue(const std::string& key, int defaultValue, int /*minValue*/,
                     int /*maxValue*/) {
  long long value = 0;
  bool parsed = false;
  std::string text;
  if (!readRegistryNumber(key, value, parsed, text)) return defaultValue;
  if (!parsed || value < INT32_MIN || value > INT32_MAX) {
    OSLOG(-1, "Error: Can't parse [%s]: [%s]", key.c_str(), text.c_str());
    return defaultValue;
  }
  return static_cast<int>(value);
}

bool getRegistryValue(const std::string& key, bool defaultValue, bool /*minValue*/,
                      bool /*maxValue*/) {
  long long value = 0;
  bool parsed = false;
  std::string text;
  if (!readRegistryNumber(key, value, parsed, text)) return defaultValue;
  if (!parsed) {
    OSLOG(-1, "Error: Can't parse [%s]: [%s]", key.c_str(), text.c_str());
    return defaultValue;
  }
  return value != 0;
}

}  // namespace ObjectStore
