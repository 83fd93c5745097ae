// A backup journal file as a crash (or a damaged disk) may leave it: the
// replay at start-up must read it without faulting, and whatever it answers
// must follow from the records: only GUIDs named by a whole record come back,
// and a GUID whose last record is a modification is still pending.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "ObjectStore/BackupQueue.h"

using namespace ObjectStore;

namespace {

std::string g_journalDir;
std::string g_lastFile;
uint64_t g_runs = 0;

// The record lines of text: every line ended by '\n' (the rest is torn).
std::vector<std::string> wholeLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t newline; (newline = text.find('\n', start)) != std::string::npos; start = newline + 1)
    lines.push_back(text.substr(start, newline - start));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  g_journalDir = fuzz::scratchDir() + "/journal";
  FUZZ_CHECK(mkdir(g_journalDir.c_str(), 0700) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // A new name each run: the reader keeps its last answer for a directory
  // whose files did not change, and a file rewritten within one clock tick
  // with the same size would look unchanged.
  if (!g_lastFile.empty()) unlink(g_lastFile.c_str());
  char name[64];
  std::snprintf(name, sizeof(name), "%s%020llu", JOURNAL_NAME,
                static_cast<unsigned long long>(++g_runs));
  g_lastFile = g_journalDir + "/" + name;
  fuzz::writeBytes(g_lastFile, bytes, size);

  std::set<guid_t> pending;
  FUZZ_CHECK(BackupQueue::readPendingFromJournal(g_journalDir, pending).ok());

  const std::string text(reinterpret_cast<const char*>(bytes), size);
  std::map<std::string, std::string> lastRecord;  // GUID -> its last whole line
  for (const std::string& line : wholeLines(text)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    lastRecord[line.substr(comma + 1)] = line;
  }
  for (const guid_t& guid : pending) {
    FUZZ_CHECK(!guid.empty());
    FUZZ_CHECK(guid.find_first_of(",\n") == std::string::npos);
    FUZZ_CHECK(lastRecord.count(guid) == 1);
  }
  for (const auto& [guid, line] : lastRecord) {
    if (!guid.empty() && guid.find(',') == std::string::npos && line == "1," + guid)
      FUZZ_CHECK(pending.count(guid) == 1);
  }
  return 0;
}
