#include "platform/index/index_iface.h"

#include "platform/index/IndexDatabase.h"
#include "platform/index/IndexStats.h"
#include "platform/support/Clock.h"

namespace ObjectStore {

index_iface_browse_fields::index_iface_browse_fields() : now(static_cast<uint64_t>(clockNowNs())) {}

index_iface::index_iface(const args& arguments)
    : args_(arguments), db_(std::make_unique<IndexDatabase>(arguments)) {}

index_iface::~index_iface() = default;

int index_iface::init() { return db_->init(); }

int index_iface::find_by_guid(const index_iface_browse_fields& fields, index_iface_props& props) {
  return db_->findByGuid(fields, props);
}

int index_iface::find_by_path(const index_iface_browse_fields& fields, index_iface_props& props) {
  return db_->findByPath(fields, props);
}

int index_iface::add_item(index_iface_props& props) { return db_->addItem(props); }

int index_iface::update_item(index_iface_props& props) { return db_->updateItem(props); }

int index_iface::delete_item(index_iface_props& props) { return db_->deleteItem(props); }

int index_iface::rename_item(index_iface_props& props, const std::string& oldParentGuid,
                             const std::string& oldPath, bool isDirectory) {
  return db_->renameItem(props, oldParentGuid, oldPath, isDirectory);
}

int index_iface::browse_by_guid(const index_iface_browse_fields& fields,
                                std::vector<index_iface_props*>& list) {
  return db_->browseByGuid(fields, list);
}

int index_iface::browse_file_extents(const index_iface_browse_fields& fields,
                                     std::vector<index_iface_props*>& list) {
  return db_->browseFileExtents(fields, list);
}

void index_iface::delete_browse_memory(std::vector<index_iface_props*>& list) {
  for (index_iface_props* record : list) delete record;
  list.clear();
}

void index_iface::get_content_root_dir(index_iface_props& props) { db_->getContentRoot(props); }

void index_iface::set_content_root_props(const index_iface_props& props) {
  db_->setContentRoot(props);
}

int index_iface::get_initial_cache_items(std::vector<index_iface_props>& items) {
  return db_->takeChanges(items);
}

int index_iface::set_backup_location(const std::string& segment, int64_t afileId,
                                     int64_t afileOffset) {
  return db_->setBackupLocations({{segment, afileId, afileOffset}});
}

int index_iface::set_backup_locations(const std::vector<BackupLocation>& locations) {
  return db_->setBackupLocations(locations);
}

void index_iface::flush() { db_->flush(); }

void index_iface::cleanup() { db_->cleanup(); }

void index_iface::stop_async_browses() { db_->stopAsyncBrowses(); }

int index_iface::get_num_async_browses() { return db_->numAsyncBrowses(); }

void index_iface::get_counters(std::map<std::string, std::string>& counters) {
  db_->getCounters(counters);
}

void index_iface::clear_counters() { db_->clearCounters(); }

std::string index_iface::get_flush_status_msg() { return db_->flushStatus(); }

std::string index_iface::get_query_status_msg() { return db_->queryStatus(); }

void index_iface::dump_caches() { db_->dumpCaches(); }

std::string index_iface::databasePath() const { return db_->path(); }

void index_iface::setChangeConsumer(const std::string& name) { db_->setChangeConsumer(name); }

void index_iface::setFaultForTesting(FaultOp op, uint64_t nthCall, int errNo, bool persistent) {
  db_->faults().set(op, nthCall, errNo, persistent);
}

void index_iface::clearFaultsForTesting() { db_->faults().clear(); }

void index_iface::beginAsyncBrowseForTesting() { db_->beginAsyncBrowse(); }

void index_iface::endAsyncBrowseForTesting() { db_->endAsyncBrowse(); }

void index_iface_log_perf_counters(const std::string& name) { logIndexPerfCounters(name); }

}  // namespace ObjectStore
