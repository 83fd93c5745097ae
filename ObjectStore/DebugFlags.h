// Crash points for exercising recovery: operations that find their flag set
// end the process at a fixed step (see unlink, rename and renameDir).
#pragma once

#include <atomic>
#include <cstddef>

namespace ObjectStore {

// Which byte of DebugFlags arms which crash point.
inline constexpr size_t DEBUG_FLAG_KILL_DELETE = 0;
inline constexpr size_t DEBUG_FLAG_KILL_RENAME = 1;

// Two flags, both clear at start; set by the debug commands "killdelete" and
// "killrename", never cleared. Written by the command thread and read by the
// operation threads, hence atomic.
extern std::atomic<unsigned char> DebugFlags[2];

// True when crash point `flag` is armed.
inline bool debugFlagSet(size_t flag) { return DebugFlags[flag].load() != 0; }

// Ends the process at once: no destructors, no atexit handlers, no flushing
// of buffered output. Never returns.
[[noreturn]] void killProcess();

}  // namespace ObjectStore
