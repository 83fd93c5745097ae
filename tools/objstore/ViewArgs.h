// The options every objstore command that opens a share understands, and the
// one open view such a command works on.
//
//   --share NAME               share name (default "share")
//   --subclient N              numeric subclient of the share (default 1)
//   --at TIME                  a point-in-time view of the share as it was at
//                              TIME (seconds since the epoch or ISO 8601);
//                              read-only unless --discard-writes
//   --discard-writes           with --at: a writable view whose changes stay
//                              local and are dropped when it closes
//   --version-interval SECONDS minimum seconds between two versions of a file
//
// Each option also takes its value as --option=VALUE.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "platform/support/CZnError.h"

namespace ObjectStore::tool {

struct ViewOptions {
  std::string share = "share";
  uint64_t subclient = 1;
  int64_t at = 0;  // 0 = live
  bool discardWrites = false;
  int64_t versionIntervalSec = -1;  // -1: store default
};

// Consumes the view options it knows from args (removes them), leaves the
// rest in their order. Everything after a "--" is left alone. False with a
// message on bad input.
bool parseViewOptions(std::vector<std::string>& args, ViewOptions& out, std::string& error);

// Seconds since the epoch ("1765000000") or ISO 8601 ("2026-12-08T10:00:00Z",
// "2026-12-08T10:00:00+01:00", "2026-12-08 10:00:00" = UTC, "2026-12-08" =
// midnight UTC; seconds may be left out: "2026-12-08T10:00Z"). Rejects garbage,
// trailing text and out-of-range fields.
bool parseTime(const std::string& text, int64_t& seconds, std::string& error);

// A time as "2026-12-08 10:00:00 UTC".
std::string formatUtc(int64_t seconds);

// The help text of the view options, for the commands' usage texts.
const char* viewOptionsHelp();

// An open container and one open store view; closes both in its destructor
// (the store first). A point-in-time view gets a name of its own per process,
// so that a mount and a command looking at the same time do not share (and
// then close under each other) one view; closing a view removes its local
// data.
class OpenView {
 public:
  OpenView() = default;
  OpenView(const OpenView&) = delete;
  OpenView& operator=(const OpenView&) = delete;
  ~OpenView();

  // Initialises the container in containerDir (created when missing) and
  // opens the view o describes. A point-in-time view without
  // discardWrites is read-only.
  CZnError open(const std::string& containerDir, const ViewOptions& o);
  // Valid after a successful open.
  ObjectContainer& container();
  ObjectStoreIndex index() const { return index_; }
  bool readOnly() const { return readOnly_; }
  bool isOpen() const { return storeOpen_; }
  // The view's name in the container ("0" for the live share).
  const std::string& pitName() const { return pitName_; }
  // Closes the store, then the container. For the live share everything
  // written is first sent to the backup without waiting for its quiet
  // period, for up to backupWaitMs (what is still waiting then stays in the
  // journal and is sent by the next open). The first failure is returned;
  // the rest still runs.
  CZnError close();
  // How long close waits for the backup (default 60 s).
  void setBackupWaitMs(uint64_t milliseconds) { backupWaitMs_ = milliseconds; }

 private:
  std::unique_ptr<ObjectContainer> container_;
  ObjectStoreIndex index_ = 0;
  bool storeOpen_ = false;
  bool readOnly_ = false;
  std::string pitName_;
  uint64_t backupWaitMs_ = 60000;

  // Sends what the live share's backup queue holds and waits until it is
  // committed; false (logged) when it was not within backupWaitMs_.
  bool sendPendingToBackup();
};

}  // namespace ObjectStore::tool
