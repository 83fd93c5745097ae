// The store's log of removals and renames ("B", "M" and "E" lines) as a crash
// or a damaged disk may leave it. Damaged lines must be skipped, never read
// past; every change read back must be one the writer could have written: it
// writes back to a line that reads as the same change. Opening the file reads
// the same.
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
  const IntentLog::Unfinished unfinished = IntentLog::unfinishedIn(text, bad);
  size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  FUZZ_CHECK(unfinished.removals.size() + unfinished.moves.size() + bad <= lines);

  auto isName = [](const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
  };
  std::string again;
  uint64_t ticket = 0;
  for (const IntentLog::Removal& removal : unfinished.removals) {
    FUZZ_CHECK(isName(removal.name));
    again += IntentLog::beginLine(++ticket, removal);
  }
  for (const IntentLog::Move& move : unfinished.moves) {
    FUZZ_CHECK(isName(move.srcName) && isName(move.dstName));
    FUZZ_CHECK(move.srcPath[0] == '/' && move.dstPath[0] == '/');
    again += IntentLog::beginLine(++ticket, move);
  }
  size_t badAgain = 0;
  const IntentLog::Unfinished reread = IntentLog::unfinishedIn(again, badAgain);
  FUZZ_CHECK(reread.removals == unfinished.removals && reread.moves == unfinished.moves);
  FUZZ_CHECK(badAgain == 0);

  const std::string path = g_dir + "/pending_removals";
  ::ObjectStore::fuzz::writeBytes(path, bytes, size);
  {
    IntentLog log;
    IntentLog::Unfinished opened;
    FUZZ_CHECK(log.open(path, opened).ok());
    FUZZ_CHECK(opened.removals == unfinished.removals && opened.moves == unfinished.moves);
  }
  unlink(path.c_str());
  return 0;
}
