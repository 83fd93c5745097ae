// Many threads on one live share through the container: creating, stat-ing
// and locking in one directory and in separate ones, racing creates of one
// name, and writers of different files and extents while others read and
// list. Nothing may deadlock, no entry may be lost or listed twice, and every
// byte written must be read back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

constexpr uint64_t EXTENT = 4096;
// Longest a group of threads may take before the test calls it a deadlock.
constexpr auto DEADLOCK_TIMEOUT = std::chrono::seconds(120);

// Runs fn(0) .. fn(n - 1) on n threads and waits for all of them. A group
// that doesn't finish in time is a deadlock: the process is stopped, since
// the stuck threads can't be joined.
void runThreads(int n, const std::function<void(int)>& fn) {
  std::mutex mutex;
  std::condition_variable finished;
  int done = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      fn(i);
      std::lock_guard<std::mutex> guard(mutex);
      ++done;
      finished.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!finished.wait_for(lock, DEADLOCK_TIMEOUT, [&] { return done == n; })) {
      std::fprintf(stderr, "threads still running after %lld s: deadlock\n",
                   static_cast<long long>(DEADLOCK_TIMEOUT.count()));
      std::abort();
    }
  }
  for (auto& thread : threads) thread.join();
}

class NamespaceConcurrencyTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ObjectStoreConfig config = liveConfig();
    config.extentSize = EXTENT;
    ASSERT_OK(container_->openObjectStore(index_, config));
  }

  // The names listed in dir ("." and ".." left out), duplicates kept.
  std::multiset<std::string> listing(const std::string& dir) {
    ItemName item(dir);
    GuidPathList list;
    bool done = false;
    CZnError err = container_->readdir(index_, item, list, 0, 100000, done);
    EXPECT_TRUE(err.ok()) << "readdir " << dir << ": " << err.text() << ": " << err.chain();
    EXPECT_TRUE(done);
    std::multiset<std::string> names;
    for (const auto& entry : list)
      if (entry.second != "." && entry.second != "..") names.insert(entry.second);
    return names;
  }

  // Creates path, checks it with getattr and takes, tests and drops a
  // byte-range lock on it. Returns the new object GUID (empty on failure).
  guid_t createStatAndLock(const std::string& path, int thread) {
    ItemName item;
    CZnError err = container_->create(index_, item, path, 0644);
    EXPECT_TRUE(err.ok()) << "create " << path << ": " << err.text() << ": " << err.chain();
    if (!err.ok()) return "";
    ItemName byPath(path);
    struct stat st {};
    err = container_->getattr(index_, byPath, st);
    EXPECT_TRUE(err.ok()) << "getattr " << path << ": " << err.text();
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;

    FileHandle handle;
    ItemName toOpen(path);
    err = container_->open(index_, handle, toOpen, O_RDWR, false);
    EXPECT_TRUE(err.ok()) << "open " << path << ": " << err.text();
    if (!err.ok()) return item.objGuid;
    int owner = thread;
    int stranger = -1;
    LockInfo request{&handle, 2, 0, 9, &owner}, conflict;
    EXPECT_TRUE(container_->lock(index_, request, conflict).ok()) << path;
    LockInfo probe{&handle, LOCK_SHARED, 5, 5, &stranger};
    bool locked = false;
    EXPECT_TRUE(container_->telllock(index_, probe, locked).ok());
    EXPECT_TRUE(locked) << "the lock on " << path << " is not seen";
    EXPECT_TRUE(container_->unlock(index_, request).ok()) << path;
    EXPECT_TRUE(container_->telllock(index_, probe, locked).ok());
    EXPECT_FALSE(locked) << path;
    EXPECT_TRUE(container_->close(index_, handle).ok()) << path;
    return item.objGuid;
  }

  ObjectStoreIndex index_ = 0;
};

TEST_F(NamespaceConcurrencyTest, CreatesInOneDirectoryAreListedExactlyOnce) {
  ItemName dir;
  ASSERT_OK(container_->mkdir(index_, dir, "/shared", 0755));
  constexpr int THREADS = 4;
  constexpr int FILES = 30;

  std::mutex createdMutex;
  std::set<std::string> created;  // names whose create has returned
  std::map<std::string, guid_t> guids;
  std::atomic<int> creators{THREADS};
  std::atomic<int> listings{0};

  runThreads(THREADS + 1, [&](int thread) {
    if (thread == THREADS) {
      // A lister: every name created before a listing starts is in it, once.
      while (creators.load() > 0) {
        std::set<std::string> before;
        {
          std::lock_guard<std::mutex> guard(createdMutex);
          before = created;
        }
        std::multiset<std::string> listed = listing("/shared");
        for (const auto& name : listed) EXPECT_EQ(listed.count(name), 1u) << name;
        for (const auto& name : before) EXPECT_EQ(listed.count(name), 1u) << "lost " << name;
        ++listings;
      }
      return;
    }
    for (int k = 0; k < FILES; ++k) {
      const std::string name = "t" + std::to_string(thread) + "_" + std::to_string(k);
      guid_t guid = createStatAndLock("/shared/" + name, thread);
      std::lock_guard<std::mutex> guard(createdMutex);
      created.insert(name);
      guids[name] = guid;
    }
    --creators;
  });
  EXPECT_GT(listings.load(), 0);

  std::multiset<std::string> listed = listing("/shared");
  EXPECT_EQ(listed.size(), static_cast<size_t>(THREADS * FILES));
  for (const auto& [name, guid] : guids) {
    EXPECT_EQ(listed.count(name), 1u) << name;
    guid_t found;
    EXPECT_OK(container_->pathToGuid(index_, found, "/shared/" + name));
    EXPECT_EQ(found, guid) << name;
  }
}

TEST_F(NamespaceConcurrencyTest, CreatesInSeparateDirectories) {
  constexpr int THREADS = 4;
  constexpr int FILES = 20;
  std::atomic<int> made{0};
  runThreads(THREADS, [&](int thread) {
    const std::string dir = "/dir" + std::to_string(thread);
    ItemName dirItem;
    CZnError err = container_->mkdir(index_, dirItem, dir, 0755);
    EXPECT_TRUE(err.ok()) << dir << ": " << err.text();
    // The directories are made concurrently too; the files wait for all of
    // them, since each thread also lists its neighbour's.
    ++made;
    while (made.load() < THREADS) std::this_thread::yield();
    if (!err.ok()) return;
    for (int k = 0; k < FILES; ++k) {
      const std::string path = dir + "/f" + std::to_string(k);
      (void)createStatAndLock(path, thread);
      // Every other file is renamed within the directory; a third of the
      // rest is removed again.
      if (k % 2 == 0) {
        err = container_->rename(index_, path, path + "r", false);
        EXPECT_TRUE(err.ok()) << "rename " << path << ": " << err.text();
      } else if (k % 3 == 0) {
        ItemName item(path);
        err = container_->unlink(index_, item);
        EXPECT_TRUE(err.ok()) << "unlink " << path << ": " << err.text();
      }
      // The neighbours' directories are listed while they change.
      (void)listing("/dir" + std::to_string((thread + 1) % THREADS));
    }
  });

  std::multiset<std::string> root = listing("/");
  for (int thread = 0; thread < THREADS; ++thread) {
    EXPECT_EQ(root.count("dir" + std::to_string(thread)), 1u);
    std::multiset<std::string> expected;
    for (int k = 0; k < FILES; ++k) {
      if (k % 2 == 0)
        expected.insert("f" + std::to_string(k) + "r");
      else if (k % 3 != 0)
        expected.insert("f" + std::to_string(k));
    }
    EXPECT_EQ(listing("/dir" + std::to_string(thread)), expected) << "dir" << thread;
  }
}

TEST_F(NamespaceConcurrencyTest, RenamesBetweenTwoDirectoriesLoseNothing) {
  for (const char* dir : {"/x", "/y"}) {
    ItemName item;
    ASSERT_OK(container_->mkdir(index_, item, dir, 0755));
  }
  constexpr int THREADS = 4;
  constexpr int FILES = 4;
  constexpr int MOVES = 9;  // odd: every file ends in /y
  std::map<std::string, guid_t> guids;
  for (int t = 0; t < THREADS; ++t) {
    for (int k = 0; k < FILES; ++k) {
      const std::string name = "m" + std::to_string(t) + "_" + std::to_string(k);
      ItemName item;
      ASSERT_OK(container_->create(index_, item, "/x/" + name, 0644));
      guids[name] = item.objGuid;
    }
  }
  runThreads(THREADS, [&](int thread) {
    for (int move = 0; move < MOVES; ++move) {
      const std::string from = move % 2 == 0 ? "/x/" : "/y/";
      const std::string to = move % 2 == 0 ? "/y/" : "/x/";
      for (int k = 0; k < FILES; ++k) {
        const std::string name = "m" + std::to_string(thread) + "_" + std::to_string(k);
        CZnError err = container_->rename(index_, from + name, to + name, move % 3 == 0);
        EXPECT_TRUE(err.ok()) << from << name << ": " << err.text() << ": " << err.chain();
      }
    }
  });
  EXPECT_TRUE(listing("/x").empty());
  std::multiset<std::string> inY = listing("/y");
  EXPECT_EQ(inY.size(), guids.size());
  for (const auto& [name, guid] : guids) {
    EXPECT_EQ(inY.count(name), 1u) << name;
    guid_t found;
    EXPECT_OK(container_->pathToGuid(index_, found, "/y/" + name));
    EXPECT_EQ(found, guid) << "a rename keeps the object: " << name;
    ItemName old("/x/" + name);
    struct stat st {};
    EXPECT_EQ(container_->getattr(index_, old, st).errNo(), ENOENT) << name;
  }
}

// A lookup that read the index just before a rename must not leave the old
// name in the caches once the rename is done: the old name would then find
// the object again, although the index and the entry lists know it only by
// its new one.
TEST_F(NamespaceConcurrencyTest, LookupsRacingRenamesNeverBringTheOldNameBack) {
  constexpr int FILES = 6;
  constexpr int MOVES = 15;  // odd: every file ends under its "b" name
  std::vector<guid_t> guids(FILES);
  auto nameOf = [](int k, bool second) {
    return std::string(second ? "/b" : "/a") + std::to_string(k);
  };
  for (int k = 0; k < FILES; ++k) {
    ItemName item;
    ASSERT_OK(container_->create(index_, item, nameOf(k, false), 0644));
    guids[k] = item.objGuid;
  }
  std::atomic<bool> moving{true};
  std::thread looker([&] {
    while (moving.load()) {
      for (int k = 0; k < FILES; ++k) {
        for (bool second : {false, true}) {
          ItemName byPath(nameOf(k, second));
          struct stat st {};
          (void)container_->getattr(index_, byPath, st);  // either answer is right meanwhile
          std::string path;
          (void)container_->guidToPath(index_, guids[k], path);
        }
      }
    }
  });
  runThreads(2, [&](int thread) {
    for (int move = 0; move < MOVES; ++move) {
      for (int k = thread; k < FILES; k += 2) {
        CZnError err = container_->rename(index_, nameOf(k, move % 2 == 1),
                                          nameOf(k, move % 2 == 0), false);
        EXPECT_TRUE(err.ok()) << k << ": " << err.text() << ": " << err.chain();
      }
    }
  });
  moving = false;
  looker.join();
  for (int k = 0; k < FILES; ++k) {
    ItemName old(nameOf(k, false));
    struct stat st {};
    EXPECT_EQ(container_->getattr(index_, old, st).errNo(), ENOENT) << nameOf(k, false);
    guid_t found;
    EXPECT_OK(container_->pathToGuid(index_, found, nameOf(k, true)));
    EXPECT_EQ(found, guids[k]);
    std::string path;
    EXPECT_OK(container_->guidToPath(index_, guids[k], path));
    EXPECT_EQ(path, nameOf(k, true));
  }
}

TEST_F(NamespaceConcurrencyTest, RacingCreatesOfOneNameMakeOneItem) {
  constexpr int THREADS = 6;
  constexpr int ROUNDS = 10;
  for (int round = 0; round < ROUNDS; ++round) {
    const std::string name = "same" + std::to_string(round);
    std::atomic<int> succeeded{0};
    std::atomic<int> refused{0};
    runThreads(THREADS, [&](int thread) {
      ItemName item;
      CZnError err = (thread % 2 == 0) ? container_->create(index_, item, "/" + name, 0644)
                                       : container_->mkdir(index_, item, "/" + name, 0755);
      if (err.ok())
        ++succeeded;
      else if (err.errNo() == EEXIST)
        ++refused;
    });
    EXPECT_EQ(succeeded.load(), 1) << name;
    EXPECT_EQ(refused.load(), THREADS - 1) << name;
    EXPECT_EQ(listing("/").count(name), 1u) << name;
  }
}

TEST_F(NamespaceConcurrencyTest, ContendedLocksOnOneFileExcludeEachOther) {
  ItemName file;
  ASSERT_OK(container_->create(index_, file, "/locked", 0644));
  constexpr int THREADS = 6;
  constexpr int ATTEMPTS = 150;
  std::atomic<int> exclusiveHolders{0};
  std::atomic<int> sharedHolders{0};
  std::atomic<int> exclusiveTaken{0};
  std::atomic<int> sharedTaken{0};

  runThreads(THREADS, [&](int thread) {
    // Every thread has its own handle and is its own owner; the even ones
    // ask for exclusive locks, the odd ones for shared locks, all on bytes
    // 0..99 or 50..149 so that every pair of ranges overlaps.
    FileHandle handle;
    ItemName item("/locked");
    CZnError err =
        container_->open(index_, handle, item, thread % 2 == 0 ? O_RDWR : O_RDONLY, false);
    EXPECT_TRUE(err.ok()) << err.text();
    if (!err.ok()) return;
    const bool exclusive = thread % 2 == 0;
    int owner = thread;
    // A slow scheduler can let one kind of locker lose every attempt, so a
    // thread goes on past ATTEMPTS until its kind has held the lock once.
    std::atomic<int>& takenOfMyKind = exclusive ? exclusiveTaken : sharedTaken;
    for (int attempt = 0; attempt < ATTEMPTS || (takenOfMyKind.load() == 0 && attempt < 100000);
         ++attempt) {
      if (attempt >= ATTEMPTS) std::this_thread::yield();
      const uint64_t begin = attempt % 2 == 0 ? 0 : 50;
      LockInfo request{&handle, exclusive ? 2 : LOCK_SHARED, begin, begin + 99, &owner};
      LockInfo conflict;
      err = container_->lock(index_, request, conflict);
      if (!err.ok()) {
        EXPECT_EQ(err.errNo(), EAGAIN) << err.text();
        EXPECT_NE(conflict.owner, &owner) << "conflict with itself";
        continue;
      }
      if (exclusive) {
        ++exclusiveTaken;
        EXPECT_EQ(++exclusiveHolders, 1) << "two exclusive holders";
        EXPECT_EQ(sharedHolders.load(), 0) << "exclusive lock granted over a shared one";
        --exclusiveHolders;
      } else {
        ++sharedTaken;
        ++sharedHolders;
        EXPECT_EQ(exclusiveHolders.load(), 0) << "shared lock granted over an exclusive one";
        --sharedHolders;
      }
      err = container_->unlock(index_, request);
      EXPECT_TRUE(err.ok()) << "unlock: " << err.text();
    }
    EXPECT_OK(container_->close(index_, handle));
  });
  EXPECT_GT(exclusiveTaken.load(), 0);
  EXPECT_GT(sharedTaken.load(), 0);

  // Nothing is left locked once every handle is closed.
  FileHandle handle;
  ItemName item("/locked");
  ASSERT_OK(container_->open(index_, handle, item, O_RDWR, false));
  int owner = 0;
  LockInfo probe{&handle, 2, 0, UINT64_MAX, &owner};
  bool locked = true;
  ASSERT_OK(container_->telllock(index_, probe, locked));
  EXPECT_FALSE(locked);
  ASSERT_OK(container_->close(index_, handle));
}

// The bytes thread `writer` puts into extent `extent` in round `round`: an
// 8-byte tag naming (writer, extent), the same in every round, then bytes
// that change with the round.
std::string extentBytes(int writer, uint64_t extent, int round) {
  std::string bytes(EXTENT, '\0');
  std::snprintf(bytes.data(), 9, "W%02dE%04u", writer, static_cast<unsigned>(extent % 10000));
  for (size_t i = 8; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(round) * 13 + extent) % 26);
  return bytes;
}

TEST_F(NamespaceConcurrencyTest, WritersOfFilesAndExtentsWithReadersAndListers) {
  // Two files, each written by two threads through their own handles: one
  // thread owns the even extents, the other the odd ones.
  constexpr int FILES = 2;
  constexpr int WRITERS_PER_FILE = 2;
  constexpr int EXTENTS_PER_WRITER = 4;
  constexpr int ROUNDS = 20;
  constexpr int WRITERS = FILES * WRITERS_PER_FILE;
  for (int f = 0; f < FILES; ++f) {
    ItemName item;
    ASSERT_OK(container_->create(index_, item, "/w" + std::to_string(f), 0644));
  }
  // Highest extent of each writer whose first write has returned, +1.
  std::vector<std::atomic<int>> published(WRITERS);
  for (auto& p : published) p = 0;
  std::atomic<int> writersLeft{WRITERS};
  std::atomic<int> readPasses{0};
  std::atomic<int> listPasses{0};

  auto extentOf = [](int writer, int k) {
    return static_cast<uint64_t>(k * WRITERS_PER_FILE + writer % WRITERS_PER_FILE);
  };

  runThreads(WRITERS + 2, [&](int thread) {
    if (thread < WRITERS) {
      const std::string path = "/w" + std::to_string(thread / WRITERS_PER_FILE);
      FileHandle handle;
      ItemName item(path);
      CZnError err = container_->open(index_, handle, item, O_RDWR, false);
      EXPECT_TRUE(err.ok()) << path << ": " << err.text();
      if (err.ok()) {
        for (int round = 0; round < ROUNDS; ++round) {
          for (int k = 0; k < EXTENTS_PER_WRITER; ++k) {
            const uint64_t extent = extentOf(thread, k);
            const std::string bytes = extentBytes(thread, extent, round);
            uint64_t len = bytes.size();
            err = container_->write(index_, handle, bytes.data(), len, extent * EXTENT, NO_SYNC);
            EXPECT_TRUE(err.ok()) << path << " extent " << extent << ": " << err.text();
            if (round == 0) published[thread] = k + 1;
          }
        }
        EXPECT_OK(container_->close(index_, handle));
      }
      --writersLeft;
      return;
    }
    // Readers check the published extents' tags; listers list and stat.
    const bool reader = thread == WRITERS;
    while (writersLeft.load() > 0) {
      if (!reader) {
        std::multiset<std::string> names = listing("/");
        for (int f = 0; f < FILES; ++f) EXPECT_EQ(names.count("w" + std::to_string(f)), 1u);
        ItemName item("/w0");
        struct stat st {};
        EXPECT_OK(container_->getattr(index_, item, st));
        ++listPasses;
        continue;
      }
      for (int f = 0; f < FILES; ++f) {
        FileHandle handle;
        ItemName item("/w" + std::to_string(f));
        CZnError err = container_->open(index_, handle, item, O_RDONLY, false);
        EXPECT_TRUE(err.ok()) << err.text();
        if (!err.ok()) continue;
        for (int w = f * WRITERS_PER_FILE; w < (f + 1) * WRITERS_PER_FILE; ++w) {
          for (int k = 0; k < published[w].load(); ++k) {
            const uint64_t extent = extentOf(w, k);
            char tag[8];
            uint64_t got = 0;
            err = container_->read(index_, handle, tag, extent * EXTENT, sizeof(tag), got);
            EXPECT_TRUE(err.ok()) << err.text();
            EXPECT_EQ(got, sizeof(tag));
            EXPECT_EQ(std::string(tag, sizeof(tag)),
                      extentBytes(w, extent, 0).substr(0, sizeof(tag)))
                << "file " << f << " extent " << extent;
          }
        }
        EXPECT_OK(container_->close(index_, handle));
      }
      ++readPasses;
    }
  });
  // The readers and listers really ran alongside the writers.
  EXPECT_GT(readPasses.load(), 0);
  EXPECT_GT(listPasses.load(), 0);

  // Every extent holds its owner's last round.
  for (int f = 0; f < FILES; ++f) {
    const uint64_t size = EXTENT * EXTENTS_PER_WRITER * WRITERS_PER_FILE;
    FileHandle handle;
    ItemName item("/w" + std::to_string(f));
    ASSERT_OK(container_->open(index_, handle, item, O_RDONLY, false));
    std::string data(size + 10, '#');
    uint64_t got = 0;
    EXPECT_OK(container_->read(index_, handle, data.data(), 0, data.size(), got));
    EXPECT_OK(container_->close(index_, handle));
    ASSERT_EQ(got, size) << "file " << f;
    for (int w = f * WRITERS_PER_FILE; w < (f + 1) * WRITERS_PER_FILE; ++w) {
      for (int k = 0; k < EXTENTS_PER_WRITER; ++k) {
        const uint64_t extent = extentOf(w, k);
        EXPECT_TRUE(data.compare(extent * EXTENT, EXTENT, extentBytes(w, extent, ROUNDS - 1)) == 0)
            << "file " << f << " extent " << extent;
      }
    }
    struct stat st {};
    ItemName byPath("/w" + std::to_string(f));
    ASSERT_OK(container_->getattr(index_, byPath, st));
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), size);
  }
}

}  // namespace
}  // namespace ObjectStore
