// Scoped openers: every path out of a scope closes what it opened and
// leaves what it locked.
#include "ObjectStore/ScopedOpeners.h"

#include "ObjectStore/ObjectStore.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

// ---------------------------------------------------------------------------
// AutoFileOpener

AutoFileOpener::AutoFileOpener(ObjectStore& store, ItemName& item) : store_(store), item_(item) {}

AutoFileOpener::~AutoFileOpener() {
  // The item lock goes first: close takes it again.
  if (locked_) handle_.info->lock.leave();
  // Nothing is left to report to at the end of a scope; close logs its own
  // failures.
  if (opened_) (void)store_.close(handle_, CLIENT_CLOSE);
}

CZnError AutoFileOpener::open(ShouldLock shouldLock, int flags) {
  CZnError err = store_.open(handle_, item_, flags, false);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open file");
    OSLOG_ERR(err);
    return err;
  }
  opened_ = true;
  if (shouldLock == LOCK_ITEM) {
    handle_.info->lock.enter();
    locked_ = true;
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// AutoFileInternalOpener

AutoFileInternalOpener::AutoFileInternalOpener(ObjectStore& store, FileHandle& handle)
    : store_(store), handle_(handle) {}

AutoFileInternalOpener::~AutoFileInternalOpener() {
  if (opened_) (void)store_.close(handle_, INTERNAL_CLOSE);  // close logs its own failures
}

CZnError AutoFileInternalOpener::open() {
  CZnError err = store_.openInternal(handle_);
  if (!err.ok()) {
    // A handle closed under an operation is an expected race, not a fault.
    err.Push(FX_LOC, "Can't open file");
    OSLOG_ERR_AT(5, err);
    return err;
  }
  opened_ = true;
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// AutoExtentOpener

AutoExtentOpener::AutoExtentOpener(ObjectStore& store, const std::string& name) : store_(store) {
  store_.openExtent(handle_, name);
}

AutoExtentOpener::~AutoExtentOpener() { store_.closeExtent(handle_); }

// ---------------------------------------------------------------------------
// AutoDirEntryOpener

AutoDirEntryOpener::AutoDirEntryOpener(ObjectStore& store, const guid_t& dirGuid)
    : store_(store), dirGuid_(dirGuid) {}

AutoDirEntryOpener::~AutoDirEntryOpener() {
  if (locked_) info_->lock.leave();
  if (opened_) (void)store_.closeDirEntry(dirGuid_);  // logs its own failures
}

CZnError AutoDirEntryOpener::open() {
  CZnError err = store_.openDirEntry(dirGuid_, &info_);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open dir entry [%s]", dirGuid_.c_str());
    OSLOG_ERR(err);
    return err;
  }
  opened_ = true;
  return CZnError::Success;
}

void AutoDirEntryOpener::lock() {
  if (!opened_ || info_ == nullptr || locked_) {
    OSLOG(-1, "Error: dir entry [%s] is not open or already locked", dirGuid_.c_str());
    return;
  }
  info_->lock.enter();
  locked_ = true;
}

}  // namespace ObjectStore
