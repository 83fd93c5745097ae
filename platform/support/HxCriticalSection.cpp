#include "platform/support/HxCriticalSection.h"

#include <cstdio>
#include <cstdlib>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

[[noreturn]] void fatal(const char* message) {
  OSLOG(-1, "%s", message);
  // The logger may be quiet or pointed at a file; make sure a human sees why
  // the process stopped.
  fprintf(stderr, "%s\n", message);
  abort();
}

}  // namespace

void HxCriticalSection::enter() {
  if (isHeldByCurrentThread())
    fatal("Error: HxCriticalSection entered again by the thread that holds it");
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void HxCriticalSection::leave() {
  if (!isHeldByCurrentThread())
    fatal("Error: HxCriticalSection left by a thread that does not hold it");
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

bool HxCriticalSection::tryEnter() {
  // Our own holding counts as busy: std::mutex::try_lock by the owner is
  // undefined, so it must not be reached.
  if (isHeldByCurrentThread()) return false;
  if (!mutex_.try_lock()) return false;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void HxCriticalSection::assertHeld() const {
  if (!isHeldByCurrentThread()) fatal("Error: HxCriticalSection is not held by the calling thread");
}

}  // namespace ObjectStore
