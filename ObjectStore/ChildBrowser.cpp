// ChildBrowser: the children of one directory as the index knew them at the
// store's point in time.
#include "ObjectStore/ChildBrowser.h"

#include "ObjectStore/ObjectStore.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

ChildBrowser::~ChildBrowser() {
  // The records were allocated by the index library; only it may free them.
  // A failed or repeated browse may have left some behind, so this runs
  // whatever browse returned.
  if (!list_.empty()) store_.index().delete_browse_memory(list_);
}

CZnError ChildBrowser::browse(const guid_t& dirGuid) {
  index_iface_browse_fields fields;
  fields.guid = dirGuid;
  fields.before_time = store_.getConfig().timestamp;
  fields.reserved2 = 0;
  OSLOG(5, "before browse_by_guid [%s]", dirGuid.c_str());
  const int rc = store_.index().browse_by_guid(fields, list_);
  if (rc != 0) {
    OSLOG(-1, "[%s] Error: Can't browse by guid for [%s]", store_.getRootName().c_str(),
          dirGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "[%s] Error: Can't browse by guid for [%s]",
                                   store_.getRootName().c_str(), dirGuid.c_str());
  }
  OSLOG(5, "after browse_by_guid");
  return CZnError::Success;
}

}  // namespace ObjectStore
