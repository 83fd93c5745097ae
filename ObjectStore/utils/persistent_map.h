// PersistentMap: a small ordered map mirrored by a text file, and the file
// helpers it shares with the GUID caches' persistent sets.
//
// File format: plain text, one entry per line, "key,value\n"; no header. A
// key or value is never empty and never holds ',' or '\n' (insert refuses
// such entries, since they could not be read back). When a key appears on
// several lines, the first line wins.
//
// Writes. A new key is appended as one line with a single write(2). Any
// other change (erase, or a new value for a present key) rewrites the whole
// file in key order: the entries go to path + ".temp", which is fsync'ed and
// then renamed over the file, and the directory is fsync'ed, so a crash
// leaves either the old or the new file, never a mixture. Appends are not
// fsync'ed: a crash may lose the latest inserts.
//
// Thread safety: every member function takes the map's own mutex (a leaf
// lock; nothing else is locked while it is held).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThreadAnnotations.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {

namespace persistent_file {

// True when text can be a key or a value of a line.
inline bool isStorable(std::string_view text) {
  return !text.empty() && text.find_first_of(",\n") == std::string_view::npos;
}

inline std::string formatLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + value.size() + 2);
  line.append(key).append(1, ',').append(value).append(1, '\n');
  return line;
}

// Writes all of data at the descriptor's position (or end, for O_APPEND).
// 0 or errno.
inline int writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// What the reader of a file did with one entry.
enum class Entry { Taken, Ignored, Bad };

// Reads the file and hands every line to onEntry(key, value), in file order.
// onEntry answers Ignored for an entry it drops (a key or value already
// read) and Bad for text it can't convert. A missing file is an empty one.
// Errors: the file can't be opened or read (EIO), or a line does not cut
// into exactly two non-empty pieces at commas or is Bad (EIO; the lines
// before it have been handed over).
inline CZnError load(const std::string& path,
                     const std::function<Entry(const std::string&, const std::string&)>& onEntry) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      OSLOG(5, "[%s] doesn't exist", path.c_str());
      return CZnError::Success;
    }
    OSLOG(-1, "Error: Can't open [%s]", path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path.c_str());
  }
  std::string content;
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      OSLOG(-1, "Error: Can't read [%s]", path.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't read [%s]", path.c_str());
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);

  size_t begin = 0;
  while (begin < content.size()) {
    size_t end = content.find('\n', begin);
    if (end == std::string::npos) end = content.size();  // last line without '\n'
    const std::string line = content.substr(begin, end - begin);
    begin = end + 1;
    const size_t comma = line.find(',');
    Entry result = Entry::Bad;
    std::string key, value;
    if (comma != std::string::npos && comma != 0 && comma + 1 != line.size() &&
        line.find(',', comma + 1) == std::string::npos) {
      key = line.substr(0, comma);
      value = line.substr(comma + 1);
      result = onEntry(key, value);
    }
    if (result == Entry::Bad) {
      OSLOG(-1, "Error: Can't parse [%s]", line.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't parse [%s]", line.c_str());
    }
    if (result == Entry::Taken) {
      OSLOG(5, "inserting [%s]->[%s]", key.c_str(), value.c_str());
    } else {
      OSLOG(5, "ignoring [%s]->[%s]: read before", key.c_str(), value.c_str());
    }
  }
  return CZnError::Success;
}

// Opens the file for appending, creating it when missing. When the file
// does not end with a line break (an append cut short), one is added so that
// the next line starts on a line of its own. 0 or errno; fd is -1 on failure.
inline int openForAppend(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int saved = errno;
    ::close(fd);
    fd = -1;
    return saved;
  }
  if (st.st_size > 0) {
    int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char last = '\n';
    bool readOk = reader >= 0 && ::pread(reader, &last, 1, st.st_size - 1) == 1;
    int saved = errno;
    if (reader >= 0) ::close(reader);
    int rc = !readOk ? (saved != 0 ? saved : EIO) : (last != '\n' ? writeAll(fd, "\n") : 0);
    if (rc != 0) {
      ::close(fd);
      fd = -1;
      return rc;
    }
  }
  return 0;
}

// Appends one line. A failed write is cut back off the file, so the file
// never keeps half a line that the next append would run into.
inline CZnError appendLine(int fd, const std::string& path, const std::string& line) {
  struct stat st;
  bool sized = fd >= 0 && ::fstat(fd, &st) == 0;
  if (!sized || writeAll(fd, line) != 0) {
    if (sized && ::ftruncate(fd, st.st_size) != 0) {
      OSLOG(-1, "Error: Can't cut back [%s]", path.c_str());
    }
    OSLOG(-1, "Error: Can't open [%s]", path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path.c_str());
  }
  return CZnError::Success;
}

// Replaces the file's content durably (see the header comment). On failure
// the file is unchanged, except that a failed sync of the directory after
// the rename is only logged (the new content is in place by then).
inline CZnError rewrite(const std::string& path, const std::string& content) {
  const std::string temp = path + ".temp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    OSLOG(-1, "Error: Can't open [%s]", temp.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", temp.c_str());
  }
  if (writeAll(fd, content) != 0 || ::fsync(fd) != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    OSLOG(-1, "Error: Can't write [%s]", temp.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't write [%s]", temp.c_str());
  }
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    OSLOG(-1, "Error: Can't write [%s]", temp.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't write [%s]", temp.c_str());
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, errno);
    ::unlink(temp.c_str());
    err.Push(FX_LOC, "Can't move temp file [%s] to [%s]", temp.c_str(), path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
  if (int rc = syncDir(dir); rc != 0) {
    OSLOG(-1, "Error: Can't sync directory [%s]: %s", dir.c_str(), errnoName(rc));
  }
  return CZnError::Success;
}

}  // namespace persistent_file

// How keys and values of a PersistentMap are written as text: strings as
// they are, integers in decimal.
template <typename T, typename Enable = void>
struct PersistentCodec;

template <>
struct PersistentCodec<std::string> {
  static std::string encode(const std::string& value) { return value; }
  static bool decode(const std::string& text, std::string& value) {
    value = text;
    return true;
  }
};

template <typename T>
struct PersistentCodec<T, std::enable_if_t<std::is_integral_v<T>>> {
  static std::string encode(T value) { return std::to_string(value); }
  static bool decode(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
  }
};

template <typename K, typename V>
class PersistentMap {
 public:
  PersistentMap() = default;
  ~PersistentMap() {
    if (fd_ >= 0) ::close(fd_);
  }
  PersistentMap(const PersistentMap&) = delete;
  PersistentMap& operator=(const PersistentMap&) = delete;

  // Loads the file at path (a missing file is an empty map) and opens it for
  // appending. On a load failure the entries read before the bad line are
  // kept in memory, but the map stays uninitialised.
  CZnError initialize(const std::string& path) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    if (initialized_) {
      OSLOG(-1, "Error: [%s] already initialized", path.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: [%s] already initialized",
                                     path.c_str());
    }
    path_ = path;
    std::map<K, V> loaded;
    CZnError err =
        persistent_file::load(path, [&loaded](const std::string& k, const std::string& v) {
          K key;
          V value;
          if (!PersistentCodec<K>::decode(k, key) || !PersistentCodec<V>::decode(v, value))
            return persistent_file::Entry::Bad;
          return loaded.emplace(std::move(key), std::move(value)).second
                     ? persistent_file::Entry::Taken
                     : persistent_file::Entry::Ignored;
        });
    map_.swap(loaded);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't load persistent cache from [%s]", path.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (persistent_file::openForAppend(path, fd_) != 0) {
      OSLOG(-1, "Error: Can't open persistent file [%s]", path.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open persistent file [%s]",
                                     path.c_str());
    }
    initialized_ = true;
    return CZnError::Success;
  }

  bool read(const K& key, V& value) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    auto it = map_.find(key);
    if (it == map_.end()) return false;
    value = it->second;
    return true;
  }

  bool exists(const K& key) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return map_.find(key) != map_.end();
  }

  // Sets key -> value in memory and in the file. EINVAL when the key or the
  // value, as text, is empty or holds ',' or '\n'; on a write failure (EIO)
  // the map is unchanged.
  CZnError insert(const K& key, const V& value) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    if (CZnError err = checkInitialized(); !err.ok()) return err;
    const std::string keyText = PersistentCodec<K>::encode(key);
    const std::string valueText = PersistentCodec<V>::encode(value);
    if (!persistent_file::isStorable(keyText) || !persistent_file::isStorable(valueText)) {
      OSLOG(-1, "Error: Can't store [%s]->[%s] in [%s]", keyText.c_str(), valueText.c_str(),
            path_.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't store [%s]->[%s] in [%s]",
                                     keyText.c_str(), valueText.c_str(), path_.c_str());
    }
    auto it = map_.find(key);
    if (it == map_.end()) {
      CZnError err =
          persistent_file::appendLine(fd_, path_, persistent_file::formatLine(keyText, valueText));
      if (err.ok()) map_.emplace(key, value);
      return err;
    }
    if (it->second == value) return CZnError::Success;
    // The first line of a key wins when the file is read, so a new value for
    // a present key can't be appended: the file is rewritten instead.
    std::map<K, V> updated = map_;
    updated[key] = value;
    return replaceFile(updated);
  }

  // Removes key from memory and rewrites the file without it. Absent key:
  // success. On failure the map and the file keep the entry.
  CZnError erase(const K& key) OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    if (CZnError err = checkInitialized(); !err.ok()) return err;
    if (map_.find(key) == map_.end()) return CZnError::Success;
    std::map<K, V> remaining = map_;
    remaining.erase(key);
    return replaceFile(remaining);
  }

  size_t size() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return map_.size();
  }

  // A copy of every entry, in key order.
  std::vector<std::pair<K, V>> items() OS_EXCLUDES(mutex_) {
    HxCriticalSectionGuard guard(mutex_);
    return std::vector<std::pair<K, V>>(map_.begin(), map_.end());
  }

 private:
  // Fails before initialize; reopens the append descriptor when a previous
  // rewrite could not.
  CZnError checkInitialized() OS_REQUIRES(mutex_) {
    if (!initialized_) {
      OSLOG(-1, "Error: Not initialized");
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Not initialized");
    }
    if (fd_ < 0 && persistent_file::openForAppend(path_, fd_) != 0) {
      OSLOG(-1, "Error: Can't open [%s]", path_.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path_.c_str());
    }
    return CZnError::Success;
  }

  // Writes `entries` as the whole file; once the file holds them they become
  // the map's content (swapped in). The append descriptor is reopened on
  // whichever file is in place afterwards.
  CZnError replaceFile(std::map<K, V>& entries) OS_REQUIRES(mutex_) {
    std::string content;
    for (const auto& [k, v] : entries)
      content +=
          persistent_file::formatLine(PersistentCodec<K>::encode(k), PersistentCodec<V>::encode(v));
    ::close(fd_);
    fd_ = -1;
    CZnError err = persistent_file::rewrite(path_, content);
    if (err.ok()) map_.swap(entries);
    if (persistent_file::openForAppend(path_, fd_) != 0) {
      OSLOG(-1, "Error: Can't open [%s]", path_.c_str());
      if (err.ok())
        err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path_.c_str());
    }
    return err;
  }

  HxCriticalSection mutex_;
  std::map<K, V> map_ OS_GUARDED_BY(mutex_);
  std::string path_ OS_GUARDED_BY(mutex_);
  int fd_ OS_GUARDED_BY(mutex_) = -1;  // append descriptor
  bool initialized_ OS_GUARDED_BY(mutex_) = false;
};

}  // namespace ObjectStore
