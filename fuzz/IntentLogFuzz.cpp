// The store's removal log ("B"/"E" lines) as a crash or a damaged disk may
// leave it. Damaged lines must be skipped, never read past; every removal
// read back must be one the writer could have written: it writes back to a
// line that reads as the same removal. Opening the file reads the same.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ObjectStore/IntentLog.h"

using ::ObjectStore::IntentLog;

namespace {
std::string g_dir;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::ObjectStore::fuzz::quietLog();
  g_dir = ::ObjectStore::fuzz::scratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  size_t bad = 0;
  const std::vector<IntentLog::Removal> unfinished = IntentLog::unfinishedIn(text, bad);
  size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  FUZZ_CHECK(unfinished.size() + bad <= lines);

  std::string again;
  for (size_t i = 0; i < unfinished.size(); ++i) {
    const IntentLog::Removal& removal = unfinished[i];
    FUZZ_CHECK(removal.name.find('/') == std::string::npos);
    FUZZ_CHECK(!removal.name.empty() && removal.name != "." && removal.name != "..");
    again += IntentLog::beginLine(i + 1, removal);
  }
  size_t badAgain = 0;
  FUZZ_CHECK(IntentLog::unfinishedIn(again, badAgain) == unfinished);
  FUZZ_CHECK(badAgain == 0);

  const std::string path = g_dir + "/pending_removals";
  ::ObjectStore::fuzz::writeBytes(path, bytes, size);
  {
    IntentLog log;
    std::vector<IntentLog::Removal> opened;
    FUZZ_CHECK(log.open(path, opened).ok());
    FUZZ_CHECK(opened == unfinished);
  }
  unlink(path.c_str());
  return 0;
}
