// HXPI_EventManager: where event logs (CZnLogger files) are kept.
//
// The directory is, in order of preference:
//   1. the configuration value "EventLogDir" of section "~Rora";
//   2. the directory of the main log file, when the main log writes to a file;
//   3. $TMPDIR, or /tmp.
// Thread-safe; the directory is looked up on every call.
#pragma once

#include <string>

namespace ObjectStore {

class HXPI_EventManager {
 public:
  // The two values select the platform's event channel and are accepted for
  // existing callers; they have no effect here.
  HXPI_EventManager(int unusedChannel, int unusedFlags);

  std::string getLogDirectory() const;
};

}  // namespace ObjectStore
