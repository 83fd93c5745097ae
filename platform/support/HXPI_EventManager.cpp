#include "platform/support/HXPI_EventManager.h"

#include <cstdlib>

#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

HXPI_EventManager::HXPI_EventManager(int /*unusedChannel*/, int /*unusedFlags*/) {}

std::string HXPI_EventManager::getLogDirectory() const {
  std::string configured;
  if (HXPlatformInfo::getString(REGISTRY_SECTION_PRIVATE, "EventLogDir", configured) &&
      !configured.empty())
    return configured;
  if (LogWriter* writer = defaultLogWriter()) {
    std::string logFile = writer->outputFile();
    if (!logFile.empty()) {
      size_t slash = logFile.rfind('/');
      if (slash == std::string::npos) return ".";
      if (slash == 0) return "/";
      return logFile.substr(0, slash);
    }
  }
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp");
}

}  // namespace ObjectStore
