#include "ObjectStore/GuidCache.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "ObjectStore/utils/persistent_map.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

inline unsigned char foldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// "" is the root; every other prefix ends with exactly the '/' it names a
// directory by, so that "/a" never matches "/ab".
std::string normalisePrefix(const std::string& prefix) {
  if (prefix.empty()) return "/";
  if (prefix.back() == '/') return prefix;
  return prefix + "/";
}

// Whether value begins with prefix (ASCII letters folded when asked).
bool startsWithPrefix(const std::string& value, const std::string& prefix, bool caseInsensitive) {
  if (value.size() < prefix.size()) return false;
  if (!caseInsensitive) return value.compare(0, prefix.size(), prefix) == 0;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (foldAscii(static_cast<unsigned char>(value[i])) !=
        foldAscii(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

CZnError notInitialized(const FXCodeLocation& location) {
  OSLOG(-1, "Error: Not initialized");
  return FXErrorUtil::ErrorErrNo(location, EINVAL, "Not initialized");
}

}  // namespace

bool GuidCacheValueLess::operator()(const std::string& a, const std::string& b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (caseInsensitive) {
      x = foldAscii(x);
      y = foldAscii(y);
    }
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

GuidCacheBase::GuidCacheBase(std::string name) : name_(std::move(name)) {}

GuidCacheBase::~GuidCacheBase() {
  if (fd_ >= 0) ::close(fd_);
}

GuidCachePersistentSet GuidCacheBase::emptySet() const {
  GuidCachePersistentSet::ctor_args_list args;
  boost::tuples::get<1>(boost::tuples::get<1>(args)) = GuidCacheValueLess{caseInsensitive_};
  return GuidCachePersistentSet(args);
}

CZnError GuidCacheBase::checkInitialized() const {
  if (initialized_) return CZnError::Success;
  return notInitialized(FX_LOC);
}

CZnError GuidCacheBase::initialize(int maxBytes, int dataWidth, const std::string& path, bool flag1,
                                   bool flag2) {
  HxCriticalSectionGuard guard(mutex_);
  if (initialized_) {
    OSLOG(-1, "Error: %s cache already initialized", name_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: %s cache already initialized",
                                   name_.c_str());
  }
  generic_cache_options options;
  options.maxBytes = maxBytes > 0 ? static_cast<uint64_t>(maxBytes) : 0;
  options.elementSize = static_cast<uint64_t>(dataWidth) + GUID_CHAR_SIZE;
  options.refreshOnLookup = flag1;
  options.key2CaseInsensitive = flag2;
  // Elements own their keys as std::string; nothing needs releasing when
  // one leaves, so no clean-up callback is installed.
  std::unique_ptr<generic_cache> cache = dataWidth >= 0 ? generic_cache::create(options) : nullptr;
  if (cache == nullptr) {
    OSLOG(-1, "Error: Can't create guid cache");
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't create guid cache");
  }
  caseInsensitive_ = flag2;
  GuidCachePersistentSet loaded = emptySet();
  CZnError err = persistent_file::load(path, [&](const std::string& guid, const std::string& val) {
    // First line wins for a GUID and for a value alike.
    return loaded.insert(GuidCacheEntry{guid, val}).second ? persistent_file::Entry::Taken
                                                           : persistent_file::Entry::Ignored;
  });
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
  cache_ = std::move(cache);
  persistent_ = std::move(loaded);
  path_ = path;
  maxBytes_ = options.maxBytes;
  initialized_ = true;
  return CZnError::Success;
}

CZnError GuidCacheBase::replacePersistent(GuidCachePersistentSet& entries) {
  std::string content;
  for (const GuidCacheEntry& e : entries.get<as_guid>())
    content += persistent_file::formatLine(e.guid, e.val);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  CZnError err = persistent_file::rewrite(path_, content);
  if (err.ok()) persistent_.swap(entries);
  if (persistent_file::openForAppend(path_, fd_) != 0) {
    OSLOG(-1, "Error: Can't open [%s]", path_.c_str());
    if (err.ok())
      err = FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path_.c_str());
  }
  return err;
}

CZnError GuidCacheBase::insert(const guid_t& guid, const std::string& data, bool persistent) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  ++changes_;
  return insertLocked(guid, data, persistent);
}

uint64_t GuidCacheBase::changeCount() {
  HxCriticalSectionGuard guard(mutex_);
  return changes_;
}

CZnError GuidCacheBase::fill(const guid_t& guid, const std::string& data, uint64_t since) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  if (changes_ != since) {
    OSLOG(5, "%s cache: not caching %s -> %s, changed meanwhile", name_.c_str(), guid.c_str(),
          data.c_str());
    return CZnError::Success;
  }
  return insertLocked(guid, data, false);
}

CZnError GuidCacheBase::insertLocked(const guid_t& guid, const std::string& data,
                                     bool persistent) {
  if (!persistent) {
    int rc;
    try {
      rc = cache_->insertOrUpdate(guid, data);
    } catch (const std::bad_alloc&) {
      rc = ENOMEM;
    }
    if (rc == ENOMEM) {
      OSLOG(-1, "Error: Out of memory");
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Error: Out of memory");
    }
    if (rc != 0) {
      OSLOG(-1, "Error: Can't insert into cache");
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't insert into cache");
    }
    bytes_ += data.size() + 1;
    ++inserts_;
    OSLOG(5, "%s cache: inserted %s -> %s", name_.c_str(), guid.c_str(), data.c_str());
    return CZnError::Success;
  }

  if (!persistent_file::isStorable(guid) || !persistent_file::isStorable(data)) {
    OSLOG(-1, "Error: Can't store [%s]->[%s] in %s cache file", guid.c_str(), data.c_str(),
          name_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't store [%s]->[%s] in %s cache file",
                                   guid.c_str(), data.c_str(), name_.c_str());
  }
  // The persistent pair is the answer from now on; a cached one would hide it.
  cache_->erase(guid);
  auto& byGuid = persistent_.get<as_guid>();
  auto& byValue = persistent_.get<as_value>();
  auto sameGuid = byGuid.find(guid);
  auto sameValue = byValue.find(data);
  if (sameGuid != byGuid.end() && sameGuid->val == data) return CZnError::Success;
  if (sameGuid == byGuid.end() && sameValue == byValue.end()) {
    if (fd_ < 0 && persistent_file::openForAppend(path_, fd_) != 0) {
      OSLOG(-1, "Error: Can't open [%s]", path_.c_str());
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Can't open [%s]", path_.c_str());
    }
    CZnError err = persistent_file::appendLine(fd_, path_, persistent_file::formatLine(guid, data));
    if (!err.ok()) return err;
    persistent_.insert(GuidCacheEntry{guid, data});
  } else {
    // A pair is replaced: since the first line wins when the file is read,
    // the file must be rewritten rather than appended to.
    GuidCachePersistentSet updated = persistent_;
    updated.get<as_guid>().erase(guid);
    updated.get<as_value>().erase(data);
    updated.insert(GuidCacheEntry{guid, data});
    if (CZnError err = replacePersistent(updated); !err.ok()) return err;
  }
  OSLOG(5, "%s cache: inserted persistent %s -> %s", name_.c_str(), guid.c_str(), data.c_str());
  return CZnError::Success;
}

CZnError GuidCacheBase::findGuid(guid_t& guid, const std::string& data) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  if (cache_->findByKey2(data, &guid)) return CZnError::Success;
  auto& byValue = persistent_.get<as_value>();
  auto it = byValue.find(data);
  if (it != byValue.end()) {
    guid = it->guid;
    return CZnError::Success;
  }
  OSLOG(3, "Guid not found in cache.");
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Guid not found in cache.");
}

CZnError GuidCacheBase::findData(const guid_t& guid, std::string& data) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  if (cache_->findByKey1(guid, &data)) return CZnError::Success;
  auto& byGuid = persistent_.get<as_guid>();
  auto it = byGuid.find(guid);
  if (it != byGuid.end()) {
    data = it->val;
    return CZnError::Success;
  }
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] not in %s cache", guid.c_str(),
                                 name_.c_str());
}

CZnError GuidCacheBase::deleteGuid(const guid_t& guid) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  ++changes_;
  cache_->erase(guid);
  // Also from the persistent set: a GUID deleted while a stale persistent
  // pair remained would be found again through that pair.
  if (persistent_.get<as_guid>().count(guid) != 0) {
    GuidCachePersistentSet updated = persistent_;
    updated.get<as_guid>().erase(guid);
    CZnError err = replacePersistent(updated);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't remove [%s] from %s cache file", guid.c_str(), name_.c_str());
      OSLOG_ERR(err);
      persistent_.get<as_guid>().erase(guid);
    }
  }
  return CZnError::Success;
}

CZnError GuidCacheBase::renamePaths(const std::string& oldPrefix, const std::string& newPrefix) {
  const std::string from = normalisePrefix(oldPrefix);
  const std::string to = normalisePrefix(newPrefix);
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  ++changes_;

  const bool caseInsensitive = caseInsensitive_;
  int rc = cache_->rename([&](const std::string& key2, std::string& newKey2) {
    if (!startsWithPrefix(key2, from, caseInsensitive)) return generic_cache::RENAME_UNTOUCHED;
    try {
      newKey2 = to;
      newKey2.append(key2, from.size(), std::string::npos);
    } catch (const std::bad_alloc&) {
      OSLOG(-1, "Error: out of memory");
      return ENOMEM;
    }
    return 0;
  });
  if (rc != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't rename [%s] to [%s] in %s cache",
                                   from.c_str(), to.c_str(), name_.c_str());
  }
  if (persistent_.empty()) return CZnError::Success;

  std::vector<GuidCacheEntry> renamed;
  for (const GuidCacheEntry& e : persistent_.get<as_guid>()) {
    if (startsWithPrefix(e.val, from, caseInsensitive))
      renamed.push_back({e.guid, to + e.val.substr(from.size())});
  }
  if (renamed.empty()) return CZnError::Success;
  GuidCachePersistentSet updated = persistent_;
  for (const GuidCacheEntry& e : renamed) updated.get<as_guid>().erase(e.guid);
  for (const GuidCacheEntry& e : renamed) {
    // A renamed value wins over a pair that already had it, as in the
    // bounded cache.
    updated.get<as_value>().erase(e.val);
    updated.insert(e);
  }
  CZnError err = replacePersistent(updated);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't rename [%s] to [%s] in %s cache file", from.c_str(), to.c_str(),
             name_.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

CZnError GuidCacheBase::getStats(GuidCacheStats& stats) {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  stats.cache = cache_->stats();
  stats.persistentItems = persistent_.size();
  stats.maxBytes = maxBytes_;
  stats.bytes = bytes_;
  stats.inserts = inserts_;
  return CZnError::Success;
}

CZnError GuidCacheBase::dumpCache() {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  OSLOG(3, "---Dumping %s cache:", name_.c_str());
  cache_->dump([](const std::string& guid, const std::string& data) {
    OSLOG(4, "[%s] -> [%s]", guid.c_str(), data.c_str());
  });
  return CZnError::Success;
}

CZnError GuidCacheBase::dumpPersistentCache() {
  HxCriticalSectionGuard guard(mutex_);
  if (CZnError err = checkInitialized(); !err.ok()) return err;
  OSLOG(3, "---Dumping %s persistent cache:", name_.c_str());
  for (const GuidCacheEntry& e : persistent_.get<as_guid>())
    OSLOG(4, "[%s] -> [%s]", e.guid.c_str(), e.val.c_str());
  return CZnError::Success;
}

}  // namespace ObjectStore
