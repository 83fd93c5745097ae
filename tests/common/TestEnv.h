// Test support shared by every test program.
//
// TestEnv gives each test its own temporary directory and its own
// configuration file (OBJSTORE_REGISTRY points into the directory), so tests
// never touch /etc or the home directory and can run in parallel. LogCapture
// records every log line written while it exists.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/support/LogWriter.h"

namespace ObjectStore::test {

class LogCapture {
 public:
  // Raises the logger's level to `level` for the capture's lifetime so that
  // detailed messages are produced; restores it afterwards.
  explicit LogCapture(int level = 6);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  // Number of records whose message equals `text` exactly (any level when
  // level is INT32_MIN).
  size_t count(const std::string& text, int level = INT32_MIN) const;
  bool contains(const std::string& text, int level = INT32_MIN) const {
    return count(text, level) > 0;
  }
  // Number of records whose message contains `fragment`.
  size_t countContaining(const std::string& fragment, int level = INT32_MIN) const;
  void clear();
  // All messages, one per line (for failure output).
  std::string dump() const;

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
  int listenerId_ = 0;
  int savedLevel_ = 0;
};

class TestEnv : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The test's private directory (exists for the test's duration).
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Writes a configuration value into the test's own registry file.
  void setRegistry(const std::string& key, const std::string& value,
                   const std::string& section = "~Rora");

 private:
  std::string dir_;
};

// Helpers for files in tests.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
std::string makeTempDir(const std::string& prefix = "objstore-test");
void removeTree(const std::string& path);
// Threads of this process, as the kernel lists them (/proc/self/task).
size_t threadCount();

// Polls condition every 10 ms until it holds (true) or timeoutMs passed
// (false).
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace ObjectStore::test
