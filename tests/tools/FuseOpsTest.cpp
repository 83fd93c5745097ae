// The mount's operations called directly (no kernel): inode bookkeeping,
// renames, extended-attribute flags, POSIX lock semantics on top of the
// store's lock table, files unlinked while open, and read-only refusals.
#include "tools/objstore/FuseOps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ObjectStore::tool {
namespace {

constexpr fuse_ino_t ROOT = InodeTable::ROOT_INODE;

class FuseOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/objstore-fuseops-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    // Each test case runs in its own process: the variable is this test's.
    setenv("OBJSTORE_REGISTRY", (dir_ + "/registry").c_str(), 1);
    container_ = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = dir_ + "/container";
    ASSERT_TRUE(container_->init(config).ok());
    ObjectStoreConfig store;
    store.name = "share";
    store.subclient = 1;
    store.pitName = "0";
    store.backupTimeout = 1;
    ASSERT_TRUE(container_->openObjectStore(index_, store).ok());
    open_ = true;
    makeFs(false);
    ctx_.uid = getuid();
    ctx_.gid = getgid();
    ctx_.pid = getpid();
  }

  void TearDown() override {
    fs_.reset();
    if (open_) {
      EXPECT_TRUE(container_->closeObjectStore(index_).ok());
    }
    container_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void makeFs(bool readOnly) {
    fs_.reset();
    FuseFsOptions options;
    options.lockRetryInterval = std::chrono::milliseconds(1);
    fs_ = std::make_unique<FuseFs>(*container_, index_, readOnly, container_->getRootGuid(index_),
                                   options);
  }

  // Creates and opens a file in the root; returns its inode, fills fi.
  fuse_ino_t createFile(const char* name, fuse_file_info& fi, const std::string& bytes = "") {
    fuse_entry_param entry{};
    fi = {};
    fi.flags = O_RDWR | O_CREAT;
    EXPECT_EQ(fs_->create(ROOT, name, 0644, ctx_, fi, entry), 0);
    if (!bytes.empty()) {
      size_t written = 0;
      EXPECT_EQ(fs_->write(entry.ino, bytes.data(), bytes.size(), 0, fi.fh, written), 0);
      EXPECT_EQ(written, bytes.size());
    }
    return entry.ino;
  }

  uint64_t openFile(fuse_ino_t ino, int flags) {
    fuse_file_info fi{};
    fi.flags = flags;
    EXPECT_EQ(fs_->open(ino, fi), 0);
    return fi.fh;
  }

  struct flock range(short type, off_t start, off_t len) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = len;
    lock.l_pid = 4242;
    return lock;
  }

  std::vector<std::string> rootNames() {
    ItemName root(std::string("/"));
    GuidPathList page;
    bool done = false;
    EXPECT_TRUE(container_->readdir(index_, root, page, 0, 1000, done).ok());
    std::vector<std::string> names;
    for (auto& [guid, name] : page)
      if (name != "." && name != "..") names.push_back(name);
    return names;
  }

  std::string dir_;
  std::unique_ptr<ObjectContainer> container_;
  ObjectStoreIndex index_ = 0;
  bool open_ = false;
  std::unique_ptr<FuseFs> fs_;
  fuse_ctx ctx_{};
};

TEST_F(FuseOpsTest, LookupsCountAndForgetFreesTheInode) {
  fuse_entry_param made{};
  ASSERT_EQ(fs_->mkdir(ROOT, "d", 0755, ctx_, made), 0);
  fuse_entry_param again{};
  ASSERT_EQ(fs_->lookup(ROOT, "d", again), 0);
  EXPECT_EQ(again.ino, made.ino);
  EXPECT_EQ(again.attr.st_ino, made.ino);
  EXPECT_TRUE(S_ISDIR(again.attr.st_mode));
  InodeTable::Entry entry;
  ASSERT_TRUE(fs_->inodes().find(made.ino, entry));
  EXPECT_EQ(entry.lookups, 2u);
  EXPECT_EQ(entry.path, "/d");
  fs_->forget(made.ino, 1);
  ASSERT_TRUE(fs_->inodes().find(made.ino, entry));
  fs_->forget(made.ino, 1);
  EXPECT_FALSE(fs_->inodes().find(made.ino, entry));
  struct stat st {};
  EXPECT_EQ(fs_->getattr(made.ino, st), ENOENT);
  // Looked up again, the same object gets the same number.
  ASSERT_EQ(fs_->lookup(ROOT, "d", again), 0);
  EXPECT_EQ(again.ino, made.ino);
  EXPECT_EQ(fs_->lookup(ROOT, "missing", again), ENOENT);
}

TEST_F(FuseOpsTest, RenameMovesPathsOfEverythingBelow) {
  fuse_entry_param d{}, e{}, f{};
  ASSERT_EQ(fs_->mkdir(ROOT, "d", 0755, ctx_, d), 0);
  ASSERT_EQ(fs_->mkdir(d.ino, "e", 0755, ctx_, e), 0);
  ASSERT_EQ(fs_->mknod(e.ino, "f", S_IFREG | 0600, ctx_, f), 0);
  ASSERT_EQ(fs_->rename(ROOT, "d", ROOT, "g", 0), 0);
  InodeTable::Entry entry;
  ASSERT_TRUE(fs_->inodes().find(f.ino, entry));
  EXPECT_EQ(entry.path, "/g/e/f");
  struct stat st {};
  ASSERT_EQ(fs_->getattr(f.ino, st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  fuse_entry_param found{};
  EXPECT_EQ(fs_->lookup(e.ino, "f", found), 0);
  EXPECT_EQ(found.ino, f.ino);

  fuse_entry_param other{};
  ASSERT_EQ(fs_->mknod(ROOT, "other", S_IFREG | 0644, ctx_, other), 0);
  EXPECT_EQ(fs_->rename(e.ino, "f", ROOT, "other", RENAME_NOREPLACE), EEXIST);
  EXPECT_EQ(fs_->rename(e.ino, "f", ROOT, "other", RENAME_EXCHANGE), EINVAL);
  EXPECT_EQ(fs_->rename(ROOT, "other", ROOT, "g", 0), EISDIR);
  EXPECT_EQ(fs_->rename(ROOT, "g", ROOT, "other", 0), ENOTDIR);
  // Replacing a file: the replaced one is gone, the moved one answers.
  ASSERT_EQ(fs_->rename(e.ino, "f", ROOT, "other", 0), 0);
  ASSERT_EQ(fs_->lookup(ROOT, "other", found), 0);
  EXPECT_EQ(found.ino, f.ino);
  EXPECT_EQ(fs_->lookup(e.ino, "f", found), ENOENT);
}

TEST_F(FuseOpsTest, SpecialFilesAndLinksAreRefused) {
  fuse_entry_param entry{};
  EXPECT_EQ(fs_->mknod(ROOT, "fifo", S_IFIFO | 0644, ctx_, entry), EPERM);
  EXPECT_EQ(fs_->mknod(ROOT, "sock", S_IFSOCK | 0644, ctx_, entry), EPERM);
  EXPECT_EQ(fs_->lookup(ROOT, "fifo", entry), ENOENT);
  EXPECT_EQ(fs_->mkdir(ROOT, "a/b", 0755, ctx_, entry), EINVAL);
}

TEST_F(FuseOpsTest, SetattrChangesWhatWasAskedOnly) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("f", fi, "0123456789");
  ASSERT_EQ(fs_->release(ino, fi.fh), 0);
  struct stat wanted {};
  struct stat st {};
  wanted.st_mtim.tv_sec = 1600000000;
  ASSERT_EQ(fs_->setattr(ino, wanted, FUSE_SET_ATTR_MTIME, nullptr, 0, st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  // Only the access time: the modification time stays (UTIME_OMIT).
  wanted.st_atim.tv_sec = 1500000000;
  ASSERT_EQ(fs_->setattr(ino, wanted, FUSE_SET_ATTR_ATIME, nullptr, 0, st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  wanted.st_mode = 0640;
  ASSERT_EQ(fs_->setattr(ino, wanted, FUSE_SET_ATTR_MODE, nullptr, 0, st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_size, 10);
  wanted.st_size = 4;
  ASSERT_EQ(fs_->setattr(ino, wanted, FUSE_SET_ATTR_SIZE, nullptr, 0, st), 0);
  EXPECT_EQ(st.st_size, 4);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  wanted.st_uid = 1234;
  ASSERT_EQ(fs_->setattr(ino, wanted, FUSE_SET_ATTR_UID, nullptr, 0, st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, getgid());  // not asked for: kept
  EXPECT_EQ(st.st_ino, ino);
}

TEST_F(FuseOpsTest, ExtendedAttributeFlags) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("f", fi);
  EXPECT_EQ(fs_->setxattr(ino, "user.a", "1", 1, XATTR_CREATE), 0);
  EXPECT_EQ(fs_->setxattr(ino, "user.a", "2", 1, XATTR_CREATE), EEXIST);
  EXPECT_EQ(fs_->setxattr(ino, "user.b", "2", 1, XATTR_REPLACE), ENODATA);
  EXPECT_EQ(fs_->setxattr(ino, "user.a", "22", 2, XATTR_REPLACE), 0);
  EXPECT_EQ(fs_->setxattr(ino, "user.c", "", 0, 0), 0);
  std::vector<unsigned char> value;
  ASSERT_EQ(fs_->getxattr(ino, "user.a", value), 0);
  EXPECT_EQ(std::string(value.begin(), value.end()), "22");
  EXPECT_EQ(fs_->getxattr(ino, "user.b", value), ENODATA);
  std::string names;
  ASSERT_EQ(fs_->listxattr(ino, names), 0);
  EXPECT_EQ(names, std::string("user.a\0user.c\0", 14));
  EXPECT_EQ(fs_->removexattr(ino, "user.b"), ENODATA);
  EXPECT_EQ(fs_->removexattr(ino, "user.a"), 0);
  EXPECT_EQ(fs_->getxattr(ino, "user.a", value), ENODATA);
  // ACLs are not kept: copy tools then fall back to the mode bits.
  EXPECT_EQ(fs_->setxattr(ino, "system.posix_acl_access", "x", 1, 0), EOPNOTSUPP);
  EXPECT_EQ(fs_->release(ino, fi.fh), 0);
}

TEST_F(FuseOpsTest, PosixLocksSplitConvertAndRelease) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("f", fi, std::string(200, 'x'));
  const uint64_t a = fi.fh;
  const uint64_t b = openFile(ino, O_RDWR);
  const uint64_t ownerA = 0xa, ownerB = 0xb;

  ASSERT_EQ(fs_->setlk(nullptr, ino, a, ownerA, range(F_WRLCK, 0, 100), false), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_RDLCK, 50, 1), false), EAGAIN);
  // The same owner may lock over its own range again (a conversion).
  ASSERT_EQ(fs_->setlk(nullptr, ino, a, ownerA, range(F_WRLCK, 10, 5), false), 0);
  // Releasing the middle splits the range in two.
  ASSERT_EQ(fs_->setlk(nullptr, ino, a, ownerA, range(F_UNLCK, 40, 20), false), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_RDLCK, 50, 1), false), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_WRLCK, 39, 1), false), EAGAIN);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_WRLCK, 60, 1), false), EAGAIN);

  struct flock probe = range(F_WRLCK, 0, 1);
  ASSERT_EQ(fs_->getlk(ino, b, ownerB, probe), 0);
  EXPECT_EQ(probe.l_type, F_WRLCK);
  EXPECT_EQ(probe.l_start, 0);
  EXPECT_EQ(probe.l_len, 40);
  EXPECT_EQ(probe.l_pid, 4242);
  // The owner's own locks never conflict with its request.
  probe = range(F_WRLCK, 0, 1);
  ASSERT_EQ(fs_->getlk(ino, a, ownerA, probe), 0);
  EXPECT_EQ(probe.l_type, F_UNLCK);

  // Downgrading the tail lets another reader in, not a writer.
  ASSERT_EQ(fs_->setlk(nullptr, ino, a, ownerA, range(F_RDLCK, 60, 40), false), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_RDLCK, 70, 1), false), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_WRLCK, 80, 1), false), EAGAIN);

  // A waiting request is granted once the holder lets go.
  int waited = -1;
  std::thread waiter([&] {
    waited = fs_->setlk(nullptr, ino, b, ownerB, range(F_WRLCK, 0, 10), true);
  });
  ASSERT_EQ(fs_->setlk(nullptr, ino, a, ownerA, range(F_UNLCK, 0, 40), false), 0);
  waiter.join();
  EXPECT_EQ(waited, 0);

  // Closing the holder's handle drops what it still held.
  ASSERT_EQ(fs_->release(ino, a), 0);
  EXPECT_EQ(fs_->setlk(nullptr, ino, b, ownerB, range(F_WRLCK, 60, 0), false), 0);
  EXPECT_EQ(fs_->release(ino, b), 0);
}

TEST_F(FuseOpsTest, FlockIsWholeFileAndConverts) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("f", fi);
  const uint64_t a = fi.fh;
  const uint64_t b = openFile(ino, O_RDONLY);
  ASSERT_EQ(fs_->flock(nullptr, ino, a, a, LOCK_SH | LOCK_NB), 0);
  EXPECT_EQ(fs_->flock(nullptr, ino, b, b, LOCK_SH | LOCK_NB), 0);
  EXPECT_EQ(fs_->flock(nullptr, ino, b, b, LOCK_EX | LOCK_NB), EWOULDBLOCK);
  ASSERT_EQ(fs_->flock(nullptr, ino, a, a, LOCK_UN), 0);
  EXPECT_EQ(fs_->flock(nullptr, ino, b, b, LOCK_EX | LOCK_NB), 0);  // converted
  EXPECT_EQ(fs_->flock(nullptr, ino, a, a, LOCK_SH | LOCK_NB), EWOULDBLOCK);
  EXPECT_EQ(fs_->flock(nullptr, ino, a, a, 0), EINVAL);
  EXPECT_EQ(fs_->release(ino, b), 0);
  EXPECT_EQ(fs_->flock(nullptr, ino, a, a, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(fs_->release(ino, a), 0);
}

TEST_F(FuseOpsTest, UnlinkedWhileOpenStaysReadableUntilClosed) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("doomed", fi, "still here");
  ASSERT_EQ(fs_->unlink(ROOT, "doomed"), 0);
  fuse_entry_param entry{};
  EXPECT_EQ(fs_->lookup(ROOT, "doomed", entry), ENOENT);
  std::vector<char> data;
  ASSERT_EQ(fs_->read(ino, 100, 0, fi.fh, data), 0);
  EXPECT_EQ(std::string(data.begin(), data.end()), "still here");
  // The hidden name is not listed through the mount and can't be looked up.
  const std::vector<std::string> names = rootNames();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(FuseFs::isHiddenName(ROOT, names[0].c_str()));
  EXPECT_EQ(fs_->lookup(ROOT, names[0].c_str(), entry), ENOENT);
  ASSERT_EQ(fs_->release(ino, fi.fh), 0);
  EXPECT_TRUE(rootNames().empty());
}

// The kernel keeps its page cache of a file across opens only while
// nothing but this mount changed the file.
TEST_F(FuseOpsTest, KernelKeepsItsCacheOnlyWhileTheMountMadeEveryChange) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("cached", fi, "written through the mount");
  ASSERT_EQ(fs_->release(ino, fi.fh), 0);
  auto reopen = [&](int flags) {
    fuse_file_info again{};
    again.flags = flags;
    EXPECT_EQ(fs_->open(ino, again), 0);
    EXPECT_EQ(fs_->release(ino, again.fh), 0);
    return again.keep_cache != 0;
  };
  EXPECT_TRUE(reopen(O_RDONLY));
  EXPECT_TRUE(reopen(O_RDWR));

  // Another front end of the share writes the file.
  FileHandle other;
  ItemName item(std::string("/cached"));
  ASSERT_TRUE(container_->open(index_, other, item, O_RDWR, true).ok());
  uint64_t len = 5;
  ASSERT_TRUE(container_->write(index_, other, "other", len, 100, NO_SYNC).ok());
  ASSERT_TRUE(container_->close(index_, other).ok());
  EXPECT_FALSE(reopen(O_RDONLY));
  EXPECT_TRUE(reopen(O_RDONLY));  // that open dropped the stale pages

  EXPECT_FALSE(reopen(O_RDWR | O_TRUNC));

  // A write the store refused: the kernel may hold its bytes.
  fuse_file_info writer{};
  writer.flags = O_RDWR;
  ASSERT_EQ(fs_->open(ino, writer), 0);
  size_t written = 0;
  EXPECT_EQ(fs_->write(ino, "lost", 4, -1, writer.fh, written), EFBIG);
  ASSERT_EQ(fs_->release(ino, writer.fh), 0);
  EXPECT_FALSE(reopen(O_RDONLY));
  EXPECT_TRUE(reopen(O_RDONLY));

  // Forgetting the inode forgets what its cache held.
  EXPECT_EQ(fs_->kernelCache().size(), 1u);
  fs_->forget(ino, 1);
  EXPECT_EQ(fs_->kernelCache().size(), 0u);
}

TEST_F(FuseOpsTest, LeftoversOfAnEarlierMountAreRemoved) {
  ItemName item;
  ASSERT_TRUE(container_->create(index_, item, "/.objstore-unlinked-0123", 0644).ok());
  ASSERT_TRUE(container_->create(index_, item, "/kept", 0644).ok());
  EXPECT_EQ(fs_->removeLeftoverUnlinked(), 1u);
  EXPECT_EQ(rootNames(), std::vector<std::string>{"kept"});
}

TEST_F(FuseOpsTest, ReadOnlyRefusesEveryChange) {
  fuse_file_info fi{};
  const fuse_ino_t ino = createFile("f", fi);
  ASSERT_EQ(fs_->release(ino, fi.fh), 0);
  makeFs(true);
  fuse_entry_param entry{};
  ASSERT_EQ(fs_->lookup(ROOT, "f", entry), 0);
  EXPECT_EQ(fs_->mkdir(ROOT, "d", 0755, ctx_, entry), EROFS);
  EXPECT_EQ(fs_->symlink("f", ROOT, "l", ctx_, entry), EROFS);
  EXPECT_EQ(fs_->unlink(ROOT, "f"), EROFS);
  EXPECT_EQ(fs_->rename(ROOT, "f", ROOT, "g", 0), EROFS);
  EXPECT_EQ(fs_->setxattr(entry.ino, "user.a", "1", 1, 0), EROFS);
  struct stat wanted {}, st{};
  EXPECT_EQ(fs_->setattr(entry.ino, wanted, FUSE_SET_ATTR_MODE, nullptr, 0, st), EROFS);
  fuse_file_info w{};
  w.flags = O_WRONLY;
  EXPECT_EQ(fs_->open(entry.ino, w), EROFS);
  fuse_file_info r{};
  r.flags = O_RDONLY;
  ASSERT_EQ(fs_->open(entry.ino, r), 0);
  EXPECT_EQ(fs_->release(entry.ino, r.fh), 0);
  struct statvfs sv {};
  ASSERT_EQ(fs_->statfs(sv), 0);
  EXPECT_NE(sv.f_flag & ST_RDONLY, 0u);
}

}  // namespace
}  // namespace ObjectStore::tool
