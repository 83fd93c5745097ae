// A writer process killed with SIGKILL at random moments while it appends
// and syncs, optionally followed by a simulated power loss that drops or
// zeroes bytes the writer never synced. After every crash the next writer
// recovers the afiles so that each afile is a chain of whole records, every
// record reported durable before the crash reads back exactly, and new
// appends follow the last whole record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "backup/BackupTestUtil.h"
#include "common/TestEnv.h"
#include "platform/backup/AfileWriter.h"
#include "platform/restore/AfileReader.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 9;
constexpr uint64_t MAX_AFILE_BYTES = 1024 * 1024;

std::string recordName(int round, int index) {
  return "r" + std::to_string(round) + "_k" + std::to_string(index);
}

std::string recordData(int round, int index) {
  std::mt19937_64 rng(static_cast<uint64_t>(round) * 1000003u + static_cast<uint64_t>(index));
  const size_t length = rng() % (192 * 1024);
  return test::randomBytes(rng, length);
}

// The child: appends records forever, syncing every few, and reports each
// synced record as "name afileId offset" on fd (a commit, as the transport
// would publish it).
[[noreturn]] void runWriter(const std::string& dir, int round, int fd) {
  AfileWriter writer(dir, SUBCLIENT, MAX_AFILE_BYTES);
  if (writer.open().failed()) _exit(2);
  std::vector<std::pair<std::string, AfileAppend>> unsynced;
  for (int index = 0;; ++index) {
    const std::string name = recordName(round, index);
    const std::string data = recordData(round, index);
    AfileAppend placed;
    if (writer.append(name, data.data(), data.size(), [&](const AfileAppend& p) { placed = p; })
            .failed())
      _exit(3);
    unsynced.emplace_back(name, placed);
    if (unsynced.size() < 4) continue;
    for (auto& [n, p] : unsynced)
      if (p.afile->sync().failed()) _exit(4);
    std::string lines;
    for (auto& [n, p] : unsynced)
      lines += n + " " + std::to_string(p.afileId) + " " + std::to_string(p.offset) + "\n";
    if (write(fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) _exit(5);
    unsynced.clear();
  }
}

// Walks an afile by record headers only (records never synced may hold
// damaged data after a power loss; nobody refers to them). Fails the test
// unless the headers chain exactly to the end of the file.
void expectWholeRecordChain(const std::string& dir, uint64_t afileId) {
  const std::string path = afilePath(dir, afileId);
  const uint64_t size = test::fileSizeOf(path);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  uint64_t pos = AFILE_FILE_HEADER_SIZE;
  while (pos < size) {
    char head[AFILE_RECORD_HEADER_SIZE + AFILE_MAX_NAME_LENGTH] = {};
    const ssize_t n = pread(fd, head, sizeof(head), static_cast<off_t>(pos));
    AfileRecordHeader header{};
    std::memcpy(&header, head, sizeof(header));
    if (n < static_cast<ssize_t>(sizeof(header)) ||
        !checkRecordHeaderFields(header, pos, size).empty() ||
        header.headerCrc != recordHeaderCrc(header, head + sizeof(header), header.nameLength))
      break;
    pos += recordSize(header);
  }
  close(fd);
  EXPECT_EQ(pos, size) << afileName(afileId) << " has bytes that are not a whole record";
}

class AfileCrashTest : public test::TestEnv {};

TEST_F(AfileCrashTest, CrashedWritersLeaveWholeRecordsAndLoseNothingSynced) {
  const std::string dir = afileDirectory(path("backup"), SUBCLIENT);
  std::mt19937_64 rng(20240607);
  struct Durable {
    std::string name;
    uint64_t afileId;
    uint64_t offset;
    int round;
    int index;
  };
  std::vector<Durable> durable;
  int powerLosses = 0;
  uint64_t cutBytes = 0;

  for (int round = 0; round < 10; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      runWriter(dir, round, fds[1]);
    }
    close(fds[1]);
    // Read reports for a random while, then kill without warning.
    const auto killAt = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(30 + static_cast<int>(rng() % 250));
    std::string reports;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < killAt) {
      struct pollfd p = {fds[0], POLLIN, 0};
      if (poll(&p, 1, 5) > 0) {
        ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n > 0) reports.append(buffer, static_cast<size_t>(n));
        if (n == 0) break;
      }
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself, status " << status;
    // Whatever the child reported before it died is durable.
    for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;)
      reports.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    std::istringstream lines(reports);
    std::string name;
    uint64_t afileId = 0;
    uint64_t offset = 0;
    while (lines >> name >> afileId >> offset) {
      const int index = std::stoi(name.substr(name.find("_k") + 2));
      durable.push_back({name, afileId, offset, round, index});
    }

    // Every other round, a power loss: the newest afile loses or zeroes a
    // random part of what follows its last durable record (older afiles
    // were synced before the writer moved on).
    std::vector<uint64_t> ids;
    ASSERT_EQ(listAfiles(dir, ids), 0);
    if (round % 2 == 1 && !ids.empty()) {
      const uint64_t newest = ids.back();
      uint64_t durableEnd = AFILE_FILE_HEADER_SIZE;
      for (const Durable& d : durable)
        if (d.afileId == newest)
          durableEnd =
              std::max<uint64_t>(durableEnd, d.offset + AFILE_RECORD_HEADER_SIZE + d.name.size() +
                                                 recordData(d.round, d.index).size());
      const std::string afile = afilePath(dir, newest);
      const uint64_t size = test::fileSizeOf(afile);
      const uint64_t from = durableEnd + (size > durableEnd ? rng() % (size - durableEnd + 1) : 0);
      if (rng() % 2 == 0) {
        test::truncateTo(afile, from);
      } else if (from < size) {
        int fd = open(afile.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string zeros(size - from, '\0');
        ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(from)),
                  static_cast<ssize_t>(zeros.size()));
        close(fd);
      }
      ++powerLosses;
    }

    // Recovery: a new writer opens the afiles and appends one marker.
    AfileAppend marker;
    uint64_t validEnd = 0;
    uint64_t recoveredId = 0;
    {
      AfileWriter writer(dir, SUBCLIENT, MAX_AFILE_BYTES);
      CZnError err = writer.open();
      ASSERT_TRUE(err.ok()) << err.chain();
      EXPECT_FALSE(writer.recovery().setAside) << "round " << round;
      validEnd = writer.recovery().validEnd;
      recoveredId = writer.recovery().afileId;
      cutBytes += writer.recovery().cutBytes;
      const std::string data = "marker " + std::to_string(round);
      ASSERT_TRUE(writer
                      .append("marker" + std::to_string(round), data.data(), data.size(),
                              [&](const AfileAppend& p) { marker = p; })
                      .ok());
    }
    // The marker follows the last whole record, unless that afile was full.
    if (marker.afileId == recoveredId) {
      EXPECT_EQ(marker.offset, validEnd) << "round " << round;
    } else {
      EXPECT_EQ(marker.afileId, recoveredId + 1) << "round " << round;
      EXPECT_EQ(marker.offset, AFILE_FILE_HEADER_SIZE) << "round " << round;
    }

    ASSERT_EQ(listAfiles(dir, ids), 0);
    for (uint64_t id : ids) expectWholeRecordChain(dir, id);
    ASSERT_FALSE(HasFailure()) << "round " << round;
    AfileReader reader(dir, SUBCLIENT);
    std::vector<char> out(256 * 1024);
    for (const Durable& d : durable) {
      uint64_t length = 0;
      std::string readName;
      CZnError err =
          reader.readRecord(d.afileId, d.offset, out.data(), out.size(), length, &readName);
      ASSERT_TRUE(err.ok()) << d.name << ": " << err.chain();
      EXPECT_EQ(readName, d.name);
      EXPECT_EQ(std::string(out.data(), length), recordData(d.round, d.index)) << d.name;
    }
  }
  EXPECT_EQ(powerLosses, 5);
  EXPECT_GT(durable.size(), 10u);
  // Whether a kill landed inside a record depends on timing; make sure the
  // cutting of a torn tail is exercised in every run with one of our own.
  {
    std::vector<uint64_t> ids;
    ASSERT_EQ(listAfiles(dir, ids), 0);
    ASSERT_FALSE(ids.empty());
    const std::string afile = afilePath(dir, ids.back());
    const uint64_t before = test::fileSizeOf(afile);
    int fd = open(afile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const char partial[] = "\x5a\x17partial-record-header";
    ASSERT_EQ(write(fd, partial, sizeof(partial) - 1), static_cast<ssize_t>(sizeof(partial) - 1));
    close(fd);
    AfileWriter writer(dir, SUBCLIENT, MAX_AFILE_BYTES);
    ASSERT_TRUE(writer.open().ok());
    cutBytes += writer.recovery().cutBytes;
    EXPECT_EQ(test::fileSizeOf(afile), before);
  }
  EXPECT_GT(cutBytes, 0u);
}

}  // namespace
}  // namespace ObjectStore
