// HxEvent: an auto-reset event.
//
// The event is either signalled or not. set() signals it; a wait returns true
// as soon as the event is signalled and clears it again in the same step, so
// each set() releases at most one wait (further set() calls before that wait
// do not accumulate). A wait that times out returns false and leaves the
// event as it is. The event is meant for one waiting thread at a time: with
// several waiters, two set() calls made before any of them has woken may
// release only one of them.
//
//   HxEvent workEvent(false);
//   // producer                     // consumer
//   workEvent.set();                if (workEvent.wait(10000)) { ...woken... }
//
// wait(HX_INFINITE) waits without a time limit. A timed wait measures its time
// on the monotonic clock, so changes of the wall clock (or of the test clock
// of Clock.h) neither shorten nor lengthen it, and spurious wake-ups never end
// it early. Every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ObjectStore {

// The timeout value that means "wait forever".
inline constexpr uint32_t HX_INFINITE = 0xFFFFFFFFu;

class HxEvent {
 public:
  explicit HxEvent(bool initialState = false) : signalled_(initialState) {}
  HxEvent(const HxEvent&) = delete;
  HxEvent& operator=(const HxEvent&) = delete;

  // Signals the event and wakes one waiter, if any.
  void set();
  // Clears the event without waking anyone.
  void reset();
  // Waits up to `timeoutMs` milliseconds (HX_INFINITE: no limit; 0: just
  // test). True when the event was signalled (it is cleared); false on
  // timeout.
  bool wait(uint32_t timeoutMs);
  // The current state, for tests and diagnostics; it may change right after.
  bool isSet() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_;  // guarded by mutex_
};

}  // namespace ObjectStore
