// Small helpers shared by the platform support tests.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"

namespace ObjectStore::test {

// Generous upper bound for anything that should happen "soon" in a test: a
// loaded two-core machine may take a while to schedule a thread, so this is
// far above any expected latency and is only reached when something is
// really stuck.
inline constexpr std::chrono::milliseconds SOON{10000};

// Polls `condition` every millisecond until it holds or `timeout` passes;
// returns its last value.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = SOON) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Milliseconds elapsed on the monotonic clock since `start`.
inline long long msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// The lines of a text file, without their newlines.
inline std::vector<std::string> readLines(const std::string& file) {
  std::vector<std::string> out;
  std::istringstream in(readFile(file));
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The names in a directory (without "." and ".."), sorted.
inline std::vector<std::string> filesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* d = opendir(directory.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ObjectStore::test
