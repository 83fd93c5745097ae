#include "platform/support/EvEvent.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

std::atomic<uint64_t> g_raised{0};
std::atomic<uint32_t> g_lastId{0};

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return std::string(format);
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

void EvEvent::MajorEvent(uint32_t eventId, uint64_t /*value1*/, uint64_t /*value2*/,
                         const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatV(format, args);
  va_end(args);
  g_lastId.store(eventId, std::memory_order_relaxed);
  g_raised.fetch_add(1, std::memory_order_relaxed);
  OSLOG(-1, "Event 0x%08x: %s", eventId, message.c_str());
}

uint64_t EvEvent::raisedCount() { return g_raised.load(std::memory_order_relaxed); }

uint32_t EvEvent::lastEventId() { return g_lastId.load(std::memory_order_relaxed); }

void EvEvent::resetCounters() {
  g_raised.store(0, std::memory_order_relaxed);
  g_lastId.store(0, std::memory_order_relaxed);
}

}  // namespace ObjectStore
