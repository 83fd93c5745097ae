// EvEvent: platform events, the alarms an operator must see.
//
// MajorEvent logs the event at level -1 (always written) as
// "Event 0x%08x: <message>" and counts it. The two 64-bit values travel with
// the event for the platform's event record; they are not part of the logged
// text.
//
//   EvEvent::MajorEvent(0x4a000530, 0, 0, "Can't remove [%s]", dir.c_str());
//
// Thread-safe.
#pragma once

#include <cstdint>

namespace ObjectStore {

class EvEvent {
 public:
  static void MajorEvent(uint32_t eventId, uint64_t value1, uint64_t value2, const char* format,
                         ...) __attribute__((format(printf, 4, 5)));

  // Events raised since the process started (or since resetCounters).
  static uint64_t raisedCount();
  // The id of the last event raised (0 when none).
  static uint32_t lastEventId();
  // For tests.
  static void resetCounters();
};

}  // namespace ObjectStore
