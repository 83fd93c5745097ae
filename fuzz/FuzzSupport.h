// Helpers shared by the fuzz targets: a silent log, a scratch directory of
// the process's own, files written from the fuzzer's bytes, and a check that
// aborts (so that the fuzzer records the input) when a property fails.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/support/LogWriter.h"

// A property of the parser that must hold for every input. abort() makes the
// fuzzer save the input as a crash.
#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                            \
    }                                                                                          \
  } while (false)

namespace ObjectStore::fuzz {

// Every bad input makes the parsers log an error; writing them all would
// slow the fuzzer down to the speed of the terminal.
inline void quietLog() {
  if (LogWriter* writer = defaultLogWriter()) {
    writer->setDebugLevel(-1);
    writer->setQuiet(std::getenv("OBJSTORE_FUZZ_VERBOSE") == nullptr);
  }
}

namespace detail {
inline std::string& scratchPath() {
  static std::string path;
  return path;
}
inline void removeScratch() {
  std::error_code ignored;  // nothing to do about a directory that can't go
  std::filesystem::remove_all(scratchPath(), ignored);
}
}  // namespace detail

// A directory under $TMPDIR (default /tmp) that only this process uses
// (fuzzers running side by side never meet), removed when the process exits
// normally.
inline const std::string& scratchDir() {
  std::string& path = detail::scratchPath();
  if (path.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/objstore-fuzz-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = pattern;
    std::atexit(detail::removeScratch);
  }
  return path;
}

// Replaces the file at path with exactly these bytes.
inline void writeBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (size > 0) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) {
    std::fprintf(stderr, "can't write %s\n", path.c_str());
    std::abort();
  }
}

}  // namespace ObjectStore::fuzz
