// HXThread: a thread of the system, owning one std::thread.
//
//   HXThread thread;
//   CZnError err = thread.start(&Worker::run, this);   // or a std::function
//   ...
//   thread.join();
//
// A class whose own thread runs one of its members (the command interface,
// the backup controller) may derive from HXThread and start itself through
// it. Such a class must stop and join its thread in its OWN destructor: by
// the time ~HXThread runs, the derived members the thread may still be using
// are already gone.
//
// Threading: start(), join() and the destructor are called by the owner (one
// thread at a time, like std::thread); isRunning() may be called from any
// thread. Not copyable or movable (a started thread may hold `this`).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/support/CZnError.h"

namespace ObjectStore {

class HXThread {
 public:
  using Function = void (*)(void*);

  HXThread() = default;
  // Joins the thread if it is still joinable: destroying the object waits for
  // the thread's function to return. (Called on the thread itself, where a
  // join would deadlock, it detaches instead and logs an error.)
  virtual ~HXThread();
  HXThread(const HXThread&) = delete;
  HXThread& operator=(const HXThread&) = delete;

  // Starts a thread running fn(arg). Fails with EINVAL for a null function,
  // EBUSY when a previous thread has not been joined yet, or the system's
  // error (EAGAIN) when no thread can be created.
  CZnError start(Function fn, void* arg);
  CZnError start(std::function<void()> fn);

  // Waits for the thread to end. Does nothing when there is nothing to join;
  // logs an error and returns when called on the thread itself.
  void join();
  // True from a successful start() until the thread's function returns.
  bool isRunning() const { return running_->load(std::memory_order_acquire); }
  // True from a successful start() until join().
  bool joinable() const { return thread_.joinable(); }
  // The thread's id (a default id when there is no thread).
  std::thread::id id() const { return thread_.get_id(); }

 private:
  std::thread thread_;
  // Shared with the thread, so that the thread can clear it even when its
  // function has destroyed this object (a detached self-destruction).
  std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
};

// The other spelling used across the system.
using HxThread = HXThread;

}  // namespace ObjectStore
