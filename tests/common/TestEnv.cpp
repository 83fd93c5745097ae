#include "common/TestEnv.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/support/HXPlatformInfo.h"

namespace ObjectStore::test {

LogCapture::LogCapture(int level) {
  LogWriter* writer = defaultLogWriter();
  if (writer == nullptr) return;
  savedLevel_ = writer->getDebugLevel();
  writer->setDebugLevel(level);
  listenerId_ = writer->addListener([this](const LogRecord& record) {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back(record);
  });
}

LogCapture::~LogCapture() {
  LogWriter* writer = defaultLogWriter();
  if (writer == nullptr) return;
  writer->removeListener(listenerId_);
  writer->setDebugLevel(savedLevel_);
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_;
}

size_t LogCapture::count(const std::string& text, int level) const {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t n = 0;
  for (const auto& r : records_)
    if (r.message == text && (level == INT32_MIN || r.level == level)) ++n;
  return n;
}

size_t LogCapture::countContaining(const std::string& fragment, int level) const {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t n = 0;
  for (const auto& r : records_)
    if (r.message.find(fragment) != std::string::npos && (level == INT32_MIN || r.level == level))
      ++n;
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.clear();
}

std::string LogCapture::dump() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string out;
  for (const auto& r : records_) out += std::to_string(r.level) + " " + r.message + "\n";
  return out;
}

void TestEnv::SetUp() {
  dir_ = makeTempDir();
  setenv("OBJSTORE_REGISTRY", path("registry").c_str(), 1);
  // Keep test output readable: errors still go to stderr, the rest is captured
  // by tests that ask for it.
  if (LogWriter* writer = defaultLogWriter()) {
    writer->setDebugLevel(-1);
    writer->setQuiet(getenv("OBJSTORE_TEST_VERBOSE") == nullptr);
  }
}

void TestEnv::TearDown() {
  if (!HasFailure() || getenv("OBJSTORE_KEEP_FAILED") == nullptr) removeTree(dir_);
  unsetenv("OBJSTORE_REGISTRY");
}

void TestEnv::setRegistry(const std::string& key, const std::string& value,
                          const std::string& section) {
  CZnError err = HXPlatformInfo::setString(section, key, value);
  ASSERT_TRUE(err.ok()) << err.text() << " " << err.chain();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string makeTempDir(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                        prefix + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    return std::string();
  }
  return std::string(buf.data());
}

size_t threadCount() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
  }
  return count;
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
  nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 64,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace ObjectStore::test
