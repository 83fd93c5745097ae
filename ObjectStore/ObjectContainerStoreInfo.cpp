// The container's list of shares in objstr/StoreInfo.txt: saving it
// atomically and reading it back at start-up.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ObjectStore/ContainerWithStore.h"
#include "ObjectStore/ObjectContainer.h"
#include "platform/index/index_iface.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

// The file of share records and the temporary file it is rebuilt in.
constexpr const char* STORE_INFO_FILE = "StoreInfo.txt";
constexpr const char* STORE_INFO_TMP_FILE = "StoreInfo.tmp";

std::atomic<void (*)(int)> g_storeInfoStepHook{nullptr};

void storeInfoStep(int step) {
  if (auto hook = g_storeInfoStepHook.load()) hook(step);
}

// Writes all of text to fd; false with errno set on failure.
bool writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool parseStoreInfoLine(const std::string& line, std::string& name, uint64_t& subclient) {
  std::vector<std::string> pieces;
  tokenize(pieces, line, ",");
  if (pieces.size() != 2 || !isSafeContainerName(pieces[0])) return false;
  // The subclient: decimal digits only, within 64 bits.
  const std::string& number = pieces[1];
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const uint64_t value = std::strtoull(number.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  name = pieces[0];
  subclient = value;
  return true;
}

// ---------------------------------------------------------------------------
// StoreInfo.txt

CZnError ObjectContainer::saveStoreInfo() {
  HxCriticalSectionGuard guard(storeInfoLock_);
  return saveStoreInfoLocked();
}

// The file is rebuilt in StoreInfo.tmp, made durable, and renamed over
// StoreInfo.txt, then the directory is made durable: a crash at any moment
// leaves either the old or the new complete file in place, never none. The
// whole replacement runs under storeInfoLock_ so that two saves can't write
// the temporary file at the same time.
CZnError ObjectContainer::saveStoreInfoLocked() {
  storeInfoLock_.assertHeld();
  const std::string tmpPath = join(objstrDir_, STORE_INFO_TMP_FILE);
  const std::string path = join(objstrDir_, STORE_INFO_FILE);

  std::string content;
  for (const auto& [key, record] : storeInfos_)
    content += key + ",," + std::to_string(record.subclient) + "\n";

  storeInfoStep(0);
  int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't open [%s]", tmpPath.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const size_t half = content.size() / 2;
  bool written = writeAll(fd, content.substr(0, half));
  if (written) storeInfoStep(1);
  written = written && writeAll(fd, content.substr(half));
  if (written) storeInfoStep(2);
  if (!written || ::fsync(fd) != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't write to [%s]", tmpPath.c_str());
    ::close(fd);
    OSLOG_ERR(err);
    return err;
  }
  if (::close(fd) != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't write to [%s]", tmpPath.c_str());
    OSLOG_ERR(err);
    return err;
  }
  storeInfoStep(3);
  if (::rename(tmpPath.c_str(), path.c_str()) != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't rename [%s] to [%s]",
                                           tmpPath.c_str(), path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  storeInfoStep(4);
  if (int rc = syncDir(objstrDir_); rc != 0) {
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't sync [%s]", objstrDir_.c_str());
    OSLOG_ERR(err);
    return err;
  }
  storeInfoStep(5);
  return CZnError::Success;
}

CZnError ObjectContainer::restoreStoreInfo() {
  const std::string path = join(objstrDir_, STORE_INFO_FILE);
  std::ifstream in(path);
  if (!in.is_open()) {
    int rc = errno != 0 ? errno : ENOENT;
    CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Can't open [%s]", path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  HxCriticalSectionGuard guard(storeInfoLock_);
  std::string line;
  while (std::getline(in, line)) {
    std::string name;
    uint64_t subclient = 0;
    if (!parseStoreInfoLine(line, name, subclient)) {
      CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Can't parse [%s] from [%s]",
                                             line.c_str(), path.c_str());
      OSLOG_ERR(err);
      return err;
    }
    if (storeInfos_.count(name) != 0) {
      // Already known (a view of it is open): its record, reference count
      // and index stay as they are.
      OSLOG(2, "[%s] already has a share record", name.c_str());
      continue;
    }
    StoreInfo& record = storeInfos_[name] = StoreInfo(subclient);
    ObjectStoreConfig defaults;
    defaults.indexParam1 = CONTAINER_RESTORED_INDEX_PARAM1;
    defaults.indexParam2 = CONTAINER_RESTORED_INDEX_PARAM2;
    (void)initIndex(record, defaults, name);  // logged inside; the next line is read
  }
  return CZnError::Success;
}

void ObjectContainer::setStoreInfoStepHookForTesting(void (*hook)(int step)) {
  g_storeInfoStepHook.store(hook);
}

}  // namespace ObjectStore
