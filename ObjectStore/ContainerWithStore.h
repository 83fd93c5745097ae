// The frame every per-store operation of the container runs in: the reader
// guard of the container's store list and ObjectContainer::withStore.
//
// Private to the container's implementation files (ObjectContainer*.cpp);
// not installed.
#pragma once

#include <cerrno>
#include <mutex>
#include <string>

#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/support/CZnError.h"
#include "platform/support/HxRW.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThreadAnnotations.h"

namespace ObjectStore {

// Index settings of share records made without an open configuration
// (restored from StoreInfo.txt, forced cleanup).
inline constexpr int CONTAINER_RESTORED_INDEX_PARAM1 = 100;
inline constexpr int CONTAINER_RESTORED_INDEX_PARAM2 = 60;

// True when text can be one path component that stays inside its parent and
// one field of StoreInfo.txt: no separator, no comma or line break, no NUL,
// not "." or "..".
bool isSafeContainerName(const std::string& text);

// One line of StoreInfo.txt, "<share key>,<subclient>": a safe container name
// and a decimal number within 64 bits, nothing else. False for any other
// text (the caller reports the line). A pure function, so that it can be
// exercised on arbitrary bytes.
bool parseStoreInfoLine(const std::string& line, std::string& name, uint64_t& subclient);

// storesLock_ is taken shared through this guard. The platform's read/write
// lock lets new readers in while a writer waits, so a steady stream of
// operations could keep an open or a close out for ever; a writer therefore
// holds the gate while it waits (see StoresWriteLock in ObjectContainer.cpp),
// and readers pass the gate before they take the lock. A reader never holds
// the gate while it holds the lock.
class OS_SCOPED_CAPABILITY StoresReadLock {
 public:
  StoresReadLock(std::mutex& gate, HxRW& lock) OS_ACQUIRE_SHARED(lock) : lock_(lock) {
    { std::lock_guard<std::mutex> pass(gate); }
    lock_.lock_shared();
  }
  ~StoresReadLock() OS_RELEASE() { lock_.unlock_shared(); }
  StoresReadLock(const StoresReadLock&) = delete;
  StoresReadLock& operator=(const StoresReadLock&) = delete;

 private:
  HxRW& lock_;
};

// The counter is bumped before the store is looked up, so that calls on a
// closed index are counted as well: the counters describe what the file
// server asked for, not what succeeded.
template <class Fn>
CZnError ObjectContainer::withStore(ObjectStoreIndex index, const ContainerCounter* counter,
                                    Fn&& fn) {
  if (counter != nullptr) counters_.add(*counter);
  StoresReadLock guard(storesWriterGate_, storesLock_);
  ObjectStore* store = storeAt(index);
  if (store == nullptr) {
    OSLOG(-1, "Invalid store [%lu]", index);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Invalid store [%lu]", index);
  }
  // A removal whose entry-list change failed is finished before anything
  // can list or look up its name again.
  store->finishLeftRemovalsIfAny();
  return fn(*store);
}

}  // namespace ObjectStore
