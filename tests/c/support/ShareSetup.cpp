// Builds the test share through the public C++ API only: this file includes
// nothing but the chief header, and links against the shared library, so it
// also proves that what a C++ client needs is exported.
#include "support/ShareSetup.h"

#include <ObjectStore/objectStore.h>
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

namespace {

using ObjectStore::CZnError;
using ObjectStore::FXErrorUtil;

int report(const char* step, const CZnError& err) {
  std::fprintf(stderr, "share setup: %s: %s: %s\n", step, err.text().c_str(), err.chain().c_str());
  return FXErrorUtil::GetErrNo(err);
}

int writeFile(ObjectStore::ObjectContainer& container, ObjectStore::ObjectStoreIndex index,
              const std::string& path, const std::string& bytes) {
  ObjectStore::ItemName item;
  CZnError err = container.create(index, item, path, 0644);
  if (err.failed()) return report(("create " + path).c_str(), err);
  ObjectStore::FileHandle handle;
  ObjectStore::ItemName named(path);
  err = container.open(index, handle, named, O_RDWR, false);
  if (err.failed()) return report(("open " + path).c_str(), err);
  uint64_t len = bytes.size();
  err = container.write(index, handle, bytes.data(), len, 0, ObjectStore::NO_SYNC);
  CZnError closeErr = container.close(index, handle);
  if (err.failed()) return report(("write " + path).c_str(), err);
  if (len != bytes.size()) {
    std::fprintf(stderr, "share setup: short write of %s: %lu of %zu bytes\n", path.c_str(),
                 static_cast<unsigned long>(len), bytes.size());
    return EIO;
  }
  if (closeErr.failed()) return report(("close " + path).c_str(), closeErr);
  return 0;
}

int build(ObjectStore::ObjectContainer& container, ObjectStore::ObjectStoreIndex index) {
  ObjectStore::ItemName item;
  CZnError err = container.mkdir(index, item, "/docs", 0755);
  if (err.failed()) return report("mkdir /docs", err);
  ObjectStore::ItemName empty;
  err = container.mkdir(index, empty, "/docs/empty", 0755);
  if (err.failed()) return report("mkdir /docs/empty", err);

  std::string data(SHARE_SETUP_DATA_SIZE, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(shareSetupByte(i));
  if (int rc = writeFile(container, index, "/docs/data.bin", data)) return rc;
  return writeFile(container, index, "/docs/small.txt", SHARE_SETUP_SMALL_TEXT);
}

// What the store's backup queue still holds: waiting out the quiet period,
// queued, or sent but not committed. False when the report lacks the figures.
bool backupBacklog(ObjectStore::ObjectContainer& container, ObjectStore::ObjectStoreIndex index,
                   uint64_t& waiting) {
  std::map<std::string, std::string> status;
  container.getStatus(status);
  const std::string prefix = "store" + std::to_string(index) + ".backupQ.";
  waiting = 0;
  for (const char* key : {"Modified", "Queued", "Uncommitted"}) {
    auto it = status.find(prefix + key);
    if (it == status.end()) return false;
    waiting += std::strtoull(it->second.c_str(), nullptr, 10);
  }
  return true;
}

uint64_t segmentsCommitted(ObjectStore::ObjectContainer& container,
                           ObjectStore::ObjectStoreIndex index) {
  std::map<std::string, std::string> counters;
  if (container.getObjStrCounters(counters, index).failed()) return 0;
  auto it = counters.find("backupQ.committed");
  return it == counters.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

// Closing a store only sends what a running backup job can still take, so
// the share is complete in the backup only once everything is committed.
int waitForBackup(ObjectStore::ObjectContainer& container, ObjectStore::ObjectStoreIndex index,
                  uint64_t segmentsWritten) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int emptyPolls = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    uint64_t waiting = 0;
    if (!backupBacklog(container, index, waiting)) {
      std::fprintf(stderr, "share setup: no backup queue figures in the status report\n");
      return EIO;
    }
    // The sizes are read without the queue's lock: trust two empty readings
    // in a row, together with the commits of at least every extent written.
    emptyPolls = waiting == 0 ? emptyPolls + 1 : 0;
    if (emptyPolls >= 2 && segmentsCommitted(container, index) >= segmentsWritten) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "share setup: backup not committed after 120 s (%lu segments)\n",
               static_cast<unsigned long>(segmentsCommitted(container, index)));
  return ETIMEDOUT;
}

}  // namespace

extern "C" unsigned char shareSetupByte(uint64_t offset) {
  return static_cast<unsigned char>((offset * 7 + offset / 251 + 3) % 256);
}

extern "C" int shareSetupCreate(const char* containerDir, const char* name, uint64_t subclient) {
  ObjectStore::ObjectContainer container;
  ObjectStore::ObjectContainerConfig containerConfig;
  containerConfig.containerDir = containerDir;
  CZnError err = container.init(containerConfig);
  if (err.failed()) return report("init", err);

  ObjectStore::ObjectStoreConfig config;
  config.name = name;
  config.subclient = subclient;
  config.pitName = "live";
  config.extentSize = SHARE_SETUP_EXTENT_SIZE;
  config.backupTimeout = 0;  // no quiet period: back up as soon as possible
  ObjectStore::ObjectStoreIndex index = 0;
  err = container.openObjectStore(index, config);
  if (err.failed()) return report("open live store", err);

  int rc = build(container, index);
  // Every extent of both files.
  const uint64_t extents =
      (SHARE_SETUP_DATA_SIZE + SHARE_SETUP_EXTENT_SIZE - 1) / SHARE_SETUP_EXTENT_SIZE + 1;
  if (rc == 0) rc = waitForBackup(container, index, extents);
  err = container.closeObjectStore(index);
  if (rc != 0) return rc;
  if (err.failed()) return report("close live store", err);
  return 0;
}
