// ChildBrowser: asks a share's index for the children of one directory as of
// the store's point in time, and hands the index's list back when done.
#pragma once

#include <vector>

#include "ObjectStore/Identifiers.h"
#include "platform/index/index_iface.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

class ObjectStore;

class ChildBrowser {
 public:
  explicit ChildBrowser(ObjectStore& store) : store_(store) {}
  // Returns the list to the index library (delete_browse_memory).
  ~ChildBrowser();
  ChildBrowser(const ChildBrowser&) = delete;
  ChildBrowser& operator=(const ChildBrowser&) = delete;

  // Fills the list with the children of dirGuid; the index's non-zero result
  // becomes the error's errno.
  CZnError browse(const guid_t& dirGuid);
  const std::vector<index_iface_props*>& getPropsList() const { return list_; }

 private:
  ObjectStore& store_;
  std::vector<index_iface_props*> list_;
};

}  // namespace ObjectStore
