// Path resolution through the directory entries, getattr, GUID <-> path
// translation and statfs.
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

constexpr blksize_t STAT_BLOCK_SIZE = 512;
// The share size reported when the backup target can't tell: 2^40 blocks.
constexpr uint64_t DEFAULT_SHARE_BLOCKS = 1ull << 40;
constexpr uint64_t BYTES_PER_MIB = 1048576;
// The inode number is read from the object GUID's digits from this index on.
constexpr size_t INODE_DIGITS_START = 16;

blkcnt_t blocksFor(uint64_t size) {
  return static_cast<blkcnt_t>((size + STAT_BLOCK_SIZE - 1) / STAT_BLOCK_SIZE);
}

// The hexadecimal digits of text from `start` on as a number; reading stops
// at the first character that is not a hexadecimal digit.
uint64_t hexValue(const std::string& text, size_t start) {
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    value = (value << 4) | digit;
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Path lookup

CZnError ObjectStore::lookupPathInDirEnt(guid_t& guid, const std::string& path) {
  OSLOG(5, "[%s] lookup in dirent [%s]", rootName_.c_str(), path.c_str());
  std::string parentPath;
  std::string name;
  if (CZnError err = splitParentPath(path, parentPath, name); !err.ok()) {
    err.Push(FX_LOC, "Error: can't split path [%s]", path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (parentPath.size() > 1 && parentPath.back() == OBJSTR_DELIMITER) parentPath.pop_back();
  // A top-level name splits off an empty parent: that parent is the root.
  if (parentPath.empty() || parentPath == "/") {
    ItemName root(rootGuid_, true);
    root.path.assign(1, OBJSTR_DELIMITER);
    return lookupPathInDirEnt(guid, root, name);
  }
  ItemName parent(parentPath);
  return lookupPathInDirEnt(guid, parent, name);
}

CZnError ObjectStore::lookupPathInDirEnt(guid_t& guid, ItemName& parent, const std::string& name) {
  OSLOG(5, "[%s] lookup in dirent [%s] [%s] [%s]", rootName_.c_str(), parent.objGuid.c_str(),
        parent.path.c_str(), name.c_str());
  guid.clear();
  const guid_t parentGuid = parent.getObjGuid(*this);
  if (parentGuid.empty()) {
    OSLOG(-1, "Error: can't find objguid for [%s]", parent.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Error: can't find objguid for [%s]",
                                   parent.path.c_str());
  }
  // An empty name is what a trailing '/' leaves: the directory itself.
  if (name == "." || name.empty()) {
    guid = parentGuid;
    OSLOG(5, "[.] objguid=[%s]", guid.c_str());
    return CZnError::Success;
  }

  {
    LruCache<std::string, DirEntInfo>::LockGuard guard(dirEntCache_);
    if (DirEntInfo* info = dirEntCache_.findNoLock(parentGuid, true)) {
      OSLOG(5, "[%s] found in dirEntCache. Contains %zu entries", parentGuid.c_str(),
            info->children.size());
      guid_t found;
      if (info->children.read(name, found, false)) {
        guid = std::move(found);
        OSLOG(5, "[%s] found in [%s] objguid=[%s]", name.c_str(), parentGuid.c_str(), guid.c_str());
        return CZnError::Success;
      }
      // A cached list is kept equal to the disk's, so a name it lacks is not
      // in the directory: reading the list again would only copy the cache.
      OSLOG(5, "[%s] not found in [%s]", name.c_str(), parentGuid.c_str());
      return CZnError::Success;
    }
  }

  GuidPathList children;
  guid_t grandParent;
  bool done = false;
  if (CZnError err = readDirEnt(children, grandParent, done, parent, 0, DIRENT_READ_ALL);
      !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't read directory entry [%s]", rootName_.c_str(),
             parentGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  // The share's name order decides equality, so that a case-insensitive
  // share finds a name the same way whether its directory is cached or not.
  const NameLess less(config_.caseSensitive);
  for (const auto& [childGuid, childName] : children) {
    if (less(childName, name) || less(name, childName)) continue;
    guid = childGuid;
    OSLOG(5, "Found [%s] in [%s] with guid=[%s]", name.c_str(), parentGuid.c_str(), guid.c_str());
    return CZnError::Success;
  }
  OSLOG(5, "Can't find [%s] in [%s]", name.c_str(), parentGuid.c_str());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// getattr

void ObjectStore::cxHeaderToStat(struct stat& st, const guid_t& objGuid,
                                 const CXFileHeader& header) {
  std::memset(&st, 0, sizeof(st));
  st.st_dev = static_cast<dev_t>((config_.subclient << 32) + config_.timestamp);
  st.st_ino = static_cast<ino_t>(hexValue(objGuid, INODE_DIGITS_START));
  st.st_nlink = 1;
  st.st_mode = static_cast<mode_t>(header.mode);
  st.st_uid = static_cast<uid_t>(header.uid);
  st.st_gid = static_cast<gid_t>(header.gid);
  st.st_size = static_cast<off_t>(header.size);
  st.st_blksize = STAT_BLOCK_SIZE;
  st.st_blocks = blocksFor(header.size);
  st.st_atime = static_cast<time_t>(header.mtime);
  st.st_mtime = static_cast<time_t>(header.mtime);
  st.st_ctime = static_cast<time_t>(header.ctime);
}

namespace {

// While a file is open its size lives in its open record: writes not yet in
// the header must show. A directory's record only counts entry users; its
// size is the header's.
void applyOpenSize(std::map<guid_t, OpenFileInfo*>& openFiles, HxCriticalSection& tableLock,
                   const guid_t& objGuid, struct stat& st) {
  if (S_ISDIR(st.st_mode)) return;
  OpenFileInfo* info = nullptr;
  {
    HxCriticalSectionGuard guard(tableLock);
    auto it = openFiles.find(objGuid);
    if (it == openFiles.end()) return;
    info = it->second;
    // Keeps the record alive while its size is read under the item lock,
    // which may not be taken together with the table lock.
    ++info->readers;
  }
  // A record whose header has not been loaded (extent size still 0: its
  // open is under way or failed) has no size to offer yet.
  uint64_t size = 0;
  bool loaded = false;
  auto readSize = [&] {
    size = info->size;
    loaded = info->extentSize != 0;
  };
  if (info->lock.isHeldByCurrentThread()) {
    readSize();
  } else {
    HxCriticalSectionGuard item(info->lock);
    readSize();
  }
  if (loaded) {
    st.st_size = static_cast<off_t>(size);
    st.st_blocks = blocksFor(size);
  }

  HxCriticalSectionGuard guard(tableLock);
  if (--info->readers == 0 && info->writers == 0) {
    auto it = openFiles.find(objGuid);
    if (it != openFiles.end() && it->second == info) openFiles.erase(it);
    delete info;
  }
}

}  // namespace

CZnError ObjectStore::getattr(ItemName& item, struct stat& st) {
  OSLOG(3, "[%s] getattr [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("getattr", PERF_GETATTR);

  if (item.objGuid.empty()) {
    if (item.isRoot || item.path == "/") {
      item.objGuid = rootGuid_;
    } else {
      guid_t found;
      CZnError err = lookupPathInDirEnt(found, item.path);
      if (err.ok() && found.empty()) {
        OSLOG(4, "Couldn't find [%s] in dirent, file not found", item.path.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Couldn't find [%s] in dirent",
                                       item.path.c_str());
      }
      if (err.ok()) {
        item.objGuid = found;
      } else if (err.errNo() == ENOENT) {
        // The parent does not exist, so neither does the item.
        return err;
      }
      // Any other failure leaves the item to be resolved by the open below.
    }
  }

  guid_t verGuid;
  if (!item.objGuid.empty() && versionCache_.findData(item.objGuid, verGuid).ok()) {
    AttribData cached;
    if (attrCache_.read(verGuid, cached, true)) {
      FileHeaderData data;
      CXFileHeader header;
      cached.get(data, header);
      cxHeaderToStat(st, item.objGuid, header);
      applyOpenSize(openFiles_, openFilesLock_, item.objGuid, st);
      OSLOG(5, "[%s] getattr success from cache [%s] [%s] size=[%lu] mode=%x mtime=%ld",
            rootName_.c_str(), item.objGuid.c_str(), item.path.c_str(),
            static_cast<unsigned long>(st.st_size), static_cast<unsigned>(st.st_mode),
            static_cast<long>(st.st_mtime));
      return CZnError::Success;
    }
  }

  AutoFileOpener opener(*this, item);
  if (CZnError err = opener.open(DONT_LOCK_ITEM, 0); !err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "[%s] Error: Can't get object guid for [%s]", rootName_.c_str(), item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "[%s] Error: Can't get object guid for [%s]",
                                   rootName_.c_str(), item.path.c_str());
  }
  // The version the open bound its handle to is the current one.
  verGuid = opener.get().name.verGuid;
  if (verGuid.empty()) {
    if (CZnError err = getLatestVersion(objGuid, verGuid); !err.ok()) {
      err.Push(FX_LOC, "Error: Can't get version of [%s]", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  FileHeaderData data;
  CXFileHeader header;
  if (CZnError err = readFileHeader(header, data, objGuid, verGuid, DO_RESTORE); !err.ok()) {
    OSLOG_ERR(err);
    OSLOG(-1, "[%s] Error: can't read file header [%s] [%s]", rootName_.c_str(), objGuid.c_str(),
          verGuid.c_str());
    return err;
  }
  cxHeaderToStat(st, objGuid, header);
  applyOpenSize(openFiles_, openFilesLock_, objGuid, st);
  OSLOG(5, "[%s] getattr success [%s] [%s] size=[%lu] mode=%x mtime=%ld", rootName_.c_str(),
        objGuid.c_str(), item.path.c_str(), static_cast<unsigned long>(st.st_size),
        static_cast<unsigned>(st.st_mode), static_cast<long>(st.st_mtime));
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// GUID <-> path

CZnError ObjectStore::guidToPath(const guid_t& guid, std::string& path) {
  TimeFunction timer("guidToPath", PERF_GUID_TO_PATH);
  if (guidCache_.findData(guid, path).ok() && !path.empty()) return CZnError::Success;

  OSLOG(5, "Can't find [%s] in guid cache", guid.c_str());
  ItemName item(guid, guid == rootGuid_);
  AutoFileOpener opener(*this, item);
  if (CZnError err = opener.open(DONT_LOCK_ITEM, 0); !err.ok()) {
    err.Push(FX_LOC, "Can't open [%s]", guid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  index_iface_props props;
  if (CZnError err = findObjGuidFromIndex(guid, props); !err.ok()) return err;
  path = props.path;
  OSLOG(5, "guidToPath returned [%s] for [%s]", path.c_str(), guid.c_str());
  return CZnError::Success;
}

CZnError ObjectStore::pathToGuid(guid_t& guid, const std::string& path) {
  TimeFunction timer("pathToGuid", PERF_PATH_TO_GUID);
  if (guidCache_.findGuid(guid, path).ok() && !guid.empty()) return CZnError::Success;

  OSLOG(5, "Can't find [%s] in guid cache", path.c_str());
  ItemName item(path);
  AutoFileOpener opener(*this, item);
  if (CZnError err = opener.open(DONT_LOCK_ITEM, 0); !err.ok()) {
    err.Push(FX_LOC, "Can't open [%s]", path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  index_iface_props props;
  if (CZnError err = findPathFromIndex(path, props); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: Can't convert [%s] to guid", rootName_.c_str(), path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  guid = props.objGuid;
  OSLOG(5, "pathToGuid returned [%s] for [%s]", guid.c_str(), path.c_str());
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// statfs

CZnError ObjectStore::statfs(struct statfs& buf) {
  std::memset(&buf, 0, sizeof(buf));
  // The local figures are only the frame of the answer; a failure leaves
  // them zero.
  (void)::statfs(container_.containerDir().c_str(), &buf);
  const uint64_t blockSize = buf.f_bsize > 0 ? static_cast<uint64_t>(buf.f_bsize) : 4096;
  if (buf.f_bsize <= 0) buf.f_bsize = static_cast<decltype(buf.f_bsize)>(blockSize);

  const int64_t now = clockNowSec();
  const int64_t lastFetch = lastShareSizeFetch_.load();
  if (lastFetch != 0 && now < lastFetch + shareSizeUpdateInterval_) {
    buf.f_blocks = shareTotalBlocks_.load();
    buf.f_bfree = buf.f_bavail = shareFreeBlocks_.load();
    OSLOG(5, "Returning cached fsstat info.");
  } else {
    if (shareSizeUpdateInterval_ != 0) OSLOG(5, "Cache timeout. Will fetch from Depotnode.");
    TimeFunction timer("updateVolumeSize", PERF_UPDATE_VOLUME_SIZE);
    uint64_t totalMiB = 0;
    uint64_t freeMiB = 0;
    const int rc = getDiskLibrarySize(static_cast<uint32_t>(config_.subclient & 0xFFFFFFFFull),
                                      totalMiB, freeMiB);
    uint64_t total = 0;
    uint64_t free = 0;
    if (rc != 0) {
      OSLOG(1, "Failed to get disk library size. Will return default values.");
      const uint64_t usedLocally =
          buf.f_blocks > buf.f_bfree ? static_cast<uint64_t>(buf.f_blocks - buf.f_bfree) : 0;
      total = DEFAULT_SHARE_BLOCKS;
      free = DEFAULT_SHARE_BLOCKS - usedLocally;
    } else {
      total = totalMiB * BYTES_PER_MIB / blockSize;
      free = freeMiB * BYTES_PER_MIB / blockSize;
    }
    buf.f_blocks = total;
    buf.f_bfree = buf.f_bavail = free;
    shareTotalBlocks_.store(total);
    shareFreeBlocks_.store(free);
    lastShareSizeFetch_.store(now);
  }
  OSLOG(5, "buf.f_frsize = [%ld] buf.f_bfree = [%ld] buf.f_blocks = [%ld] buf.f_bavail = [%ld]",
        static_cast<long>(buf.f_frsize), static_cast<long>(buf.f_bfree),
        static_cast<long>(buf.f_blocks), static_cast<long>(buf.f_bavail));
  return CZnError::Success;
}

}  // namespace ObjectStore
