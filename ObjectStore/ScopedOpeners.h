// Scoped openers: hold an item, an extent or a directory entry open (and
// optionally its lock) for the lifetime of a C++ scope.
#pragma once

#include <string>

#include "ObjectStore/Handles.h"
#include "ObjectStore/Identifiers.h"
#include "ObjectStore/ItemName.h"
#include "ObjectStore/OpenFileInfo.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class ObjectStore;

// Opens an item by name; the destructor leaves the item lock (if taken) and
// closes the handle (if opened), ignoring the close's error.
class AutoFileOpener {
 public:
  AutoFileOpener(ObjectStore& store, ItemName& item);
  ~AutoFileOpener();
  AutoFileOpener(const AutoFileOpener&) = delete;
  AutoFileOpener& operator=(const AutoFileOpener&) = delete;

  // open(handle, item, flags, no new version); with shouldLock 0 (LOCK) the
  // item lock is then taken and held until destruction.
  CZnError open(ShouldLock shouldLock, int flags);
  FileHandle& get() { return handle_; }

 private:
  ObjectStore& store_;
  ItemName& item_;
  FileHandle handle_;
  bool opened_ = false;
  bool locked_ = false;
};

// Counts one more user of an already open handle (openInternal) so that the
// record stays alive during an operation; the destructor closes it as an
// internal user.
class AutoFileInternalOpener {
 public:
  AutoFileInternalOpener(ObjectStore& store, FileHandle& handle);
  ~AutoFileInternalOpener();
  AutoFileInternalOpener(const AutoFileInternalOpener&) = delete;
  AutoFileInternalOpener& operator=(const AutoFileInternalOpener&) = delete;

  CZnError open();

 private:
  ObjectStore& store_;
  FileHandle& handle_;
  bool opened_ = false;
};

// Opens an extent segment's record in its constructor, closes it in its
// destructor.
class AutoExtentOpener {
 public:
  AutoExtentOpener(ObjectStore& store, const std::string& name);
  ~AutoExtentOpener();
  AutoExtentOpener(const AutoExtentOpener&) = delete;
  AutoExtentOpener& operator=(const AutoExtentOpener&) = delete;

  ExtentHandle& get() { return handle_; }

 private:
  ObjectStore& store_;
  ExtentHandle handle_;
};

// Holds a directory's entry open (counted as a writer of the directory) and
// optionally its item lock, which serialises changes to its entry list.
class AutoDirEntryOpener {
 public:
  AutoDirEntryOpener(ObjectStore& store, const guid_t& dirGuid);
  ~AutoDirEntryOpener();
  AutoDirEntryOpener(const AutoDirEntryOpener&) = delete;
  AutoDirEntryOpener& operator=(const AutoDirEntryOpener&) = delete;

  CZnError open();
  // Enters the item lock; open() must have succeeded.
  void lock();
  OpenFileInfo* info() const { return info_; }

 private:
  ObjectStore& store_;
  guid_t dirGuid_;
  OpenFileInfo* info_ = nullptr;
  bool opened_ = false;
  bool locked_ = false;
};

}  // namespace ObjectStore
