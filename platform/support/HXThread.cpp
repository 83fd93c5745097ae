#include "platform/support/HXThread.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The HXThread whose thread is the calling thread, if any. The thread can
// recognise itself through this without reading thread_, which its creator
// may still be assigning when the thread starts running.
thread_local const HXThread* t_currentThread = nullptr;

}  // namespace

HXThread::~HXThread() {
  if (t_currentThread == this) {
    OSLOG(-1, "Error: thread object destroyed by its own thread; detaching");
    t_currentThread = nullptr;
    if (thread_.joinable()) thread_.detach();
    return;
  }
  if (thread_.joinable()) thread_.join();
}

CZnError HXThread::start(Function fn, void* arg) {
  if (fn == nullptr) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Null thread function");
  return start(std::function<void()>([fn, arg] { fn(arg); }));
}

CZnError HXThread::start(std::function<void()> fn) {
  if (!fn) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty thread function");
  if (thread_.joinable())
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Thread already started and not joined");
  // Set before the thread exists so that isRunning() is true as soon as
  // start() returns, even if the thread has not been scheduled yet.
  running_->store(true, std::memory_order_release);
  try {
    thread_ = std::thread([self = this, running = running_, body = std::move(fn)] {
      t_currentThread = self;
      body();
      running->store(false, std::memory_order_release);
    });
  } catch (const std::system_error& e) {
    running_->store(false, std::memory_order_release);
    return FXErrorUtil::ErrorErrNo(FX_LOC, e.code().value(), "Can't create thread: %s", e.what());
  } catch (const std::bad_alloc&) {
    running_->store(false, std::memory_order_release);
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOMEM, "Can't create thread");
  }
  return CZnError::Success;
}

void HXThread::join() {
  if (t_currentThread == this) {
    OSLOG(-1, "Error: a thread can't join itself");
    return;
  }
  if (thread_.joinable()) thread_.join();
}

}  // namespace ObjectStore
