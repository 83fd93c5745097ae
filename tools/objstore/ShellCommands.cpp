#include "tools/objstore/ShellCommands.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ObjectStore/ObjectContainer.h"
#include "platform/support/LogWriter.h"
#include "tools/objstore/ViewArgs.h"

namespace ObjectStore::tool {

namespace {

// Files go in and out in pieces of this size, as a file server's large
// writes would.
constexpr uint64_t IO_PIECE = 1 << 20;
// Directory listings are read in pages of this many entries.
constexpr size_t LIST_PAGE = 256;

struct CommandInfo {
  const char* name;
  const char* synopsis;  // after "objstore NAME"
  const char* flag;      // its one flag ("" for none)
  const char* summary;
  size_t minPaths;  // positional arguments after CONTAINER_DIR
  size_t maxPaths;  // SIZE_MAX: any number
};

const CommandInfo COMMANDS[] = {
    {"ls", "[-l] CONTAINER_DIR [PATH...]", "-l",
     "list directories, sorted (default: /); -l: mode, owner, size, modification\n"
     "  time (UTC) and link target",
     0, SIZE_MAX},
    {"stat", "CONTAINER_DIR PATH...", "", "show type, size, mode, owner, times and object GUID", 1,
     SIZE_MAX},
    {"cat", "CONTAINER_DIR PATH...", "", "write the files' bytes to standard output", 1, SIZE_MAX},
    {"get", "CONTAINER_DIR PATH LOCALFILE", "",
     "copy a file out of the share (LOCALFILE - : standard output; an existing local\n"
     "  directory receives the file under its name)",
     2, 2},
    {"put", "CONTAINER_DIR LOCALFILE PATH", "",
     "copy a file into the share, creating it or replacing its contents with a new\n"
     "  version (LOCALFILE - : standard input; an existing directory PATH receives the\n"
     "  file under its name); creates the container directory when missing",
     2, 2},
    {"mkdir", "[-p] CONTAINER_DIR PATH...", "-p",
     "create directories; -p: with their missing parents, and no error when they exist;\n"
     "  creates the container directory when missing",
     1, SIZE_MAX},
    {"rm", "[-r] CONTAINER_DIR PATH...", "-r",
     "remove files and links; -r: directories too, with everything in them", 1, SIZE_MAX},
    {"mv", "CONTAINER_DIR FROM TO", "", "rename or move (into TO when TO is an existing directory)",
     2, 2},
};

const CommandInfo* findCommand(const std::string& name) {
  for (const CommandInfo& info : COMMANDS)
    if (name == info.name) return &info;
  return nullptr;
}

std::string baseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string childPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string modeText(mode_t mode) {
  std::string text = "?---------";
  if (S_ISREG(mode))
    text[0] = '-';
  else if (S_ISDIR(mode))
    text[0] = 'd';
  else if (S_ISLNK(mode))
    text[0] = 'l';
  else if (S_ISCHR(mode))
    text[0] = 'c';
  else if (S_ISBLK(mode))
    text[0] = 'b';
  else if (S_ISFIFO(mode))
    text[0] = 'p';
  else if (S_ISSOCK(mode))
    text[0] = 's';
  const char* letters = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    if ((mode & (0400 >> i)) != 0) text[1 + i] = letters[i];
  if ((mode & S_ISUID) != 0) text[3] = text[3] == 'x' ? 's' : 'S';
  if ((mode & S_ISGID) != 0) text[6] = text[6] == 'x' ? 's' : 'S';
  if ((mode & S_ISVTX) != 0) text[9] = text[9] == 'x' ? 't' : 'T';
  return text;
}

const char* typeText(mode_t mode) {
  if (S_ISREG(mode)) return "regular file";
  if (S_ISDIR(mode)) return "directory";
  if (S_ISLNK(mode)) return "symbolic link";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISFIFO(mode)) return "fifo";
  if (S_ISSOCK(mode)) return "socket";
  return "unknown";
}

int errnoOf(const CZnError& err) { return err.errNo() != 0 ? err.errNo() : EIO; }

// The library logs into the container unless the user chose a log file or a
// debug level (then the log goes where the environment says): a command's
// own messages are all a script should see. The previous sink comes back
// when the command ends.
class LogRoute {
 public:
  explicit LogRoute(const std::string& containerDir) {
    writer_ = defaultLogWriter();
    if (writer_ == nullptr) return;
    if (getenv("OBJSTORE_LOG_FILE") != nullptr || getenv("OBJSTORE_DEBUG_LEVEL") != nullptr) {
      writer_ = nullptr;
      return;
    }
    previous_ = writer_->outputFile();
    if (!writer_->setOutputFile(containerDir + "/objstore.log")) {
      // Not even the log can be written there: keep the errors off the
      // terminal, the command reports its own failure.
      writer_->setQuiet(true);
      quiet_ = true;
    }
  }
  ~LogRoute() {
    if (writer_ == nullptr) return;
    if (quiet_)
      writer_->setQuiet(false);
    else
      (void)writer_->setOutputFile(previous_);
  }
  LogRoute(const LogRoute&) = delete;
  LogRoute& operator=(const LogRoute&) = delete;

 private:
  LogWriter* writer_ = nullptr;
  std::string previous_;
  bool quiet_ = false;
};

// The same lock `objstore mount` holds while it serves a container: one
// process at a time may run a container, or the second would rewrite the
// first one's share list and remove its cached segments when it closes.
class ContainerLock {
 public:
  ~ContainerLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  int take(const std::string& containerDir) {
    const std::string path = containerDir + "/objstore-mount.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return errno;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    return 0;
  }

 private:
  int fd_ = -1;
};

class Shell {
 public:
  Shell(const CommandInfo& info, const ShellIo& io) : info_(info), io_(io) {}
  int run(std::vector<std::string> args);

 private:
  int usageError(const std::string& message);
  // "objstore: WHAT: <strerror>" and the command's result becomes 1.
  void report(const std::string& what, int errNo);
  void reportText(const std::string& what, const std::string& text);
  bool refuseWhenReadOnly(const std::string& path);

  CZnError getattr(const std::string& path, struct stat& st);
  CZnError list(const std::string& dir, std::vector<std::string>& names);
  // Reads the whole file in pieces, handing each to sink; false from the
  // sink stops with its errno.
  template <class Sink>
  int readFile(const std::string& path, uint64_t size, Sink&& sink);

  void ls(const std::vector<std::string>& paths);
  void lsLine(const std::string& path, const std::string& shown);
  void stat(const std::vector<std::string>& paths);
  void cat(const std::vector<std::string>& paths);
  void get(const std::string& path, const std::string& local);
  void put(const std::string& local, const std::string& path);
  int writeFrom(FILE* in, const std::string& path, bool existed, mode_t mode);
  void mkdir(const std::vector<std::string>& paths);
  void rm(const std::vector<std::string>& paths);
  int removeTree(const std::string& path, std::string& failedPath);
  void mv(const std::string& from, const std::string& to);

  ObjectContainer& c() { return view_.container(); }
  ObjectStoreIndex ix() const { return view_.index(); }

  const CommandInfo& info_;
  ShellIo io_;
  bool flag_ = false;
  bool failed_ = false;
  OpenView view_;
};

int Shell::usageError(const std::string& message) {
  fprintf(io_.err, "objstore %s: %s\nusage: objstore %s %s\n(objstore %s --help for more)\n",
          info_.name, message.c_str(), info_.name, info_.synopsis, info_.name);
  return 2;
}

void Shell::report(const std::string& what, int errNo) { reportText(what, strerror(errNo)); }

void Shell::reportText(const std::string& what, const std::string& text) {
  fprintf(io_.err, "objstore: %s: %s\n", what.c_str(), text.c_str());
  failed_ = true;
}

bool Shell::refuseWhenReadOnly(const std::string& path) {
  if (!view_.readOnly()) return false;
  reportText(path, std::string(strerror(EROFS)) +
                       " (a point-in-time view; with --discard-writes it takes writes that"
                       " are dropped when the command ends)");
  return true;
}

int Shell::run(std::vector<std::string> args) {
  std::string error;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      fputs(shellCommandUsage(info_.name).c_str(), io_.out);
      return 0;
    }
  }
  ViewOptions options;
  if (!parseViewOptions(args, options, error)) return usageError(error);
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (const std::string& arg : args) {
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (info_.flag[0] != '\0' &&
          (arg == info_.flag || (std::string(info_.name) == "rm" && arg == "-R"))) {
        flag_ = true;
      } else {
        return usageError("unknown option '" + arg + "'");
      }
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) return usageError("CONTAINER_DIR is required");
  const std::string containerDir = positional.front();
  std::vector<std::string> rest(positional.begin() + 1, positional.end());
  if (containerDir.empty()) return usageError("CONTAINER_DIR is empty");
  if (rest.size() < info_.minPaths) return usageError("too few arguments");
  if (rest.size() > info_.maxPaths) return usageError("too many arguments ('" + rest.back() + "')");

  // Only the commands that add something create a container; the others
  // would only find an empty share in a new one.
  const std::string name = info_.name;
  const bool mayCreate = name == "put" || name == "mkdir";
  struct stat dirSt {};
  if (::stat(containerDir.c_str(), &dirSt) != 0) {
    if (errno != ENOENT || !mayCreate) {
      report(containerDir, errno);
      return 1;
    }
  } else if (!S_ISDIR(dirSt.st_mode)) {
    report(containerDir, ENOTDIR);
    return 1;
  }
  if (mayCreate && name == "put" && rest[0] != "-" && ::access(rest[0].c_str(), R_OK) != 0) {
    report(rest[0], errno);  // before anything is created
    return 1;
  }
  if (mayCreate && ::mkdir(containerDir.c_str(), 0755) != 0 && errno != EEXIST) {
    report(containerDir, errno);
    return 1;
  }

  LogRoute log(containerDir);
  ContainerLock lock;
  if (int rc = lock.take(containerDir); rc != 0) {
    reportText(containerDir, rc == EBUSY ? "in use by an objstore mount or another objstore command"
                                         : strerror(rc));
    return 1;
  }
  if (CZnError err = view_.open(containerDir, options); err.failed()) {
    reportText(containerDir, std::string("can't open the share '") + options.share +
                                 "': " + strerror(errnoOf(err)));
    OSLOG_ERR(err);
    return 1;
  }

  if (name == "ls")
    ls(rest.empty() ? std::vector<std::string>{"/"} : rest);
  else if (name == "stat")
    stat(rest);
  else if (name == "cat")
    cat(rest);
  else if (name == "get")
    get(rest[0], rest[1]);
  else if (name == "put")
    put(rest[0], rest[1]);
  else if (name == "mkdir")
    mkdir(rest);
  else if (name == "rm")
    rm(rest);
  else if (name == "mv")
    mv(rest[0], rest[1]);

  // Closing sends what the live share still holds to the backup: a command
  // has not succeeded until that is done.
  if (CZnError err = view_.close(); err.failed()) {
    // Data not yet backed up is safe in the cache and the journal: a
    // warning, not a failed command.
    reportText(containerDir, errnoOf(err) == ETIMEDOUT
                                 ? "not everything is backed up yet; the rest is sent by the "
                                   "next command or mount"
                                 : std::string("closing the share failed: ") +
                                       strerror(errnoOf(err)));
    OSLOG_ERR(err);
  }
  return failed_ ? 1 : 0;
}

CZnError Shell::getattr(const std::string& path, struct stat& st) {
  ItemName item(path);
  if (path == "/") item.isRoot = true;
  return c().getattr(ix(), item, st);
}

CZnError Shell::list(const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  ItemName item(dir);
  if (dir == "/") item.isRoot = true;
  bool done = false;
  for (size_t offset = 0; !done;) {
    GuidPathList page;
    if (CZnError err = c().readdir(ix(), item, page, offset, LIST_PAGE, done); err.failed())
      return err;
    if (page.empty() && !done)
      return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Listing of [%s] stopped", dir.c_str());
    offset += page.size();
    for (auto& entry : page)
      if (entry.second != "." && entry.second != "..") names.push_back(std::move(entry.second));
  }
  std::sort(names.begin(), names.end());
  return CZnError::Success;
}

template <class Sink>
int Shell::readFile(const std::string& path, uint64_t size, Sink&& sink) {
  ItemName item(path);
  FileHandle handle;
  if (CZnError err = c().open(ix(), handle, item, O_RDONLY, false); err.failed()) {
    OSLOG_ERR(err);
    return errnoOf(err);
  }
  int rc = 0;
  std::unique_ptr<char[]> buffer(new char[IO_PIECE]);
  for (uint64_t offset = 0; offset < size;) {
    uint64_t got = 0;
    CZnError err =
        c().read(ix(), handle, buffer.get(), offset, std::min(IO_PIECE, size - offset), got);
    if (err.failed()) {
      OSLOG_ERR(err);
      rc = errnoOf(err);
      break;
    }
    if (got == 0) {
      rc = EIO;  // shorter than its size says
      break;
    }
    if (int sinkRc = sink(buffer.get(), got); sinkRc != 0) {
      rc = sinkRc;
      break;
    }
    offset += got;
  }
  if (CZnError err = c().close(ix(), handle); err.failed() && rc == 0) rc = errnoOf(err);
  return rc;
}

// ---------------------------------------------------------------------------
// Reading

void Shell::lsLine(const std::string& path, const std::string& shown) {
  if (!flag_) {
    fprintf(io_.out, "%s\n", shown.c_str());
    return;
  }
  struct stat st {};
  if (CZnError err = getattr(path, st); err.failed()) {
    report(path, errnoOf(err));
    return;
  }
  std::string link;
  if (S_ISLNK(st.st_mode)) {
    std::string target;
    if (c().readLink(ix(), ItemName(path), target).ok()) link = " -> " + target;
  }
  const std::string when = formatUtc(st.st_mtim.tv_sec);
  fprintf(io_.out, "%s %5u %5u %12lld %.19s %s%s\n", modeText(st.st_mode).c_str(),
          static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
          static_cast<long long>(st.st_size), when.c_str(), shown.c_str(), link.c_str());
}

void Shell::ls(const std::vector<std::string>& paths) {
  bool first = true;
  for (const std::string& given : paths) {
    const std::string path = sharePath(given);
    struct stat st {};
    if (CZnError err = getattr(path, st); err.failed()) {
      report(given, errnoOf(err));
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      lsLine(path, given);
      continue;
    }
    std::vector<std::string> names;
    if (CZnError err = list(path, names); err.failed()) {
      report(given, errnoOf(err));
      continue;
    }
    if (paths.size() > 1) fprintf(io_.out, "%s%s:\n", first ? "" : "\n", given.c_str());
    first = false;
    for (const std::string& name : names) lsLine(childPath(path, name), name);
  }
}

void Shell::stat(const std::vector<std::string>& paths) {
  bool first = true;
  for (const std::string& given : paths) {
    const std::string path = sharePath(given);
    struct stat st {};
    if (CZnError err = getattr(path, st); err.failed()) {
      report(given, errnoOf(err));
      continue;
    }
    if (!first) fprintf(io_.out, "\n");
    first = false;
    fprintf(io_.out, "path: %s\ntype: %s\nsize: %lld\nmode: %04o (%s)\nuid: %u\ngid: %u\n",
            path.c_str(), typeText(st.st_mode), static_cast<long long>(st.st_size),
            static_cast<unsigned>(st.st_mode & 07777), modeText(st.st_mode).c_str(),
            static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
    fprintf(io_.out, "links: %llu\n", static_cast<unsigned long long>(st.st_nlink));
    const struct {
      const char* name;
      const timespec& time;
    } times[] = {{"atime", st.st_atim}, {"mtime", st.st_mtim}, {"ctime", st.st_ctim}};
    for (const auto& t : times)
      fprintf(io_.out, "%s: %s (%lld)\n", t.name, formatUtc(t.time.tv_sec).c_str(),
              static_cast<long long>(t.time.tv_sec));
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (c().readLink(ix(), ItemName(path), target).ok())
        fprintf(io_.out, "target: %s\n", target.c_str());
    }
    guid_t guid;
    if (c().pathToGuid(ix(), guid, path).ok() && !guid.empty())
      fprintf(io_.out, "guid: %s\n", guid.c_str());
  }
}

void Shell::cat(const std::vector<std::string>& paths) {
  for (const std::string& given : paths) {
    const std::string path = sharePath(given);
    struct stat st {};
    if (CZnError err = getattr(path, st); err.failed()) {
      report(given, errnoOf(err));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      report(given, EISDIR);
      continue;
    }
    const int rc =
        readFile(path, static_cast<uint64_t>(st.st_size), [&](const char* data, uint64_t n) {
          return fwrite(data, 1, n, io_.out) == n ? 0 : (errno != 0 ? errno : EIO);
        });
    if (rc != 0) report(given, rc);
  }
  if (fflush(io_.out) != 0) report("standard output", errno);
}

void Shell::get(const std::string& given, const std::string& localGiven) {
  const std::string path = sharePath(given);
  struct stat st {};
  if (CZnError err = getattr(path, st); err.failed()) return report(given, errnoOf(err));
  if (S_ISDIR(st.st_mode)) return report(given, EISDIR);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (localGiven == "-") {
    const int rc = readFile(path, size, [&](const char* data, uint64_t n) {
      return fwrite(data, 1, n, io_.out) == n ? 0 : (errno != 0 ? errno : EIO);
    });
    if (rc != 0) report(given, rc);
    if (fflush(io_.out) != 0) report("standard output", errno);
    return;
  }
  std::string local = localGiven;
  struct stat localSt {};
  if (::stat(local.c_str(), &localSt) == 0 && S_ISDIR(localSt.st_mode))
    local = local + "/" + baseName(path);
  // Written beside the target and renamed over it at the end, so that a
  // failed copy never leaves a half file under the target's name.
  // In a shared directory someone may have put a link under that name: it is
  // removed (never followed), and anything put back in the meantime makes
  // the create fail instead of redirecting the copy.
  const std::string temp = local + ".objstore-" + std::to_string(getpid());
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        st.st_mode & 0777);
  if (fd < 0) return report(local, errno);
  int rc = readFile(path, size, [&](const char* data, uint64_t n) {
    while (n > 0) {
      const ssize_t done = ::write(fd, data, n);
      if (done < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      data += done;
      n -= static_cast<uint64_t>(done);
    }
    return 0;
  });
  if (::close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0 && ::rename(temp.c_str(), local.c_str()) != 0) {
    ::unlink(temp.c_str());
    return report(local, errno);
  }
  if (rc != 0) {
    ::unlink(temp.c_str());
    report(given, rc);
  }
}

// ---------------------------------------------------------------------------
// Writing

int Shell::writeFrom(FILE* in, const std::string& path, bool existed, mode_t mode) {
  if (!existed) {
    ItemName created;
    if (CZnError err = c().create(ix(), created, path, mode); err.failed()) {
      OSLOG_ERR(err);
      return errnoOf(err);
    }
  }
  // Replacing the contents starts a new version, so that point-in-time views
  // keep what the file held before. When someone else is writing the file
  // (another view process cannot, but a handle of this one could) it joins
  // that version.
  FileHandle handle;
  ItemName item(path);
  CZnError err = c().open(ix(), handle, item, O_WRONLY, existed);
  if (err.errNo() == EAGAIN) {
    ItemName again(path);
    err = c().open(ix(), handle, again, O_WRONLY, false);
  }
  if (err.failed()) {
    OSLOG_ERR(err);
    return errnoOf(err);
  }
  int rc = 0;
  if (existed) {
    ItemName truncated(path);
    if (CZnError terr = c().truncate(ix(), truncated, 0, false); terr.failed()) {
      OSLOG_ERR(terr);
      rc = errnoOf(terr);
    }
  }
  std::unique_ptr<char[]> buffer(new char[IO_PIECE]);
  for (uint64_t offset = 0; rc == 0;) {
    const size_t got = fread(buffer.get(), 1, IO_PIECE, in);
    if (got == 0) {
      if (ferror(in)) rc = errno != 0 ? errno : EIO;
      break;
    }
    uint64_t len = got;
    if (CZnError werr = c().write(ix(), handle, buffer.get(), len, offset, NO_SYNC);
        werr.failed()) {
      OSLOG_ERR(werr);
      rc = errnoOf(werr);
    } else if (len != got) {
      rc = EIO;
    }
    offset += got;
  }
  if (CZnError cerr = c().close(ix(), handle); cerr.failed() && rc == 0) {
    OSLOG_ERR(cerr);
    rc = errnoOf(cerr);
  }
  return rc;
}

void Shell::put(const std::string& local, const std::string& given) {
  std::string path = sharePath(given);
  if (refuseWhenReadOnly(given)) return;
  FILE* in = io_.in;
  std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, fclose);
  mode_t mode = 0644;
  if (local != "-") {
    file.reset(fopen(local.c_str(), "rb"));
    if (!file) return report(local, errno);
    struct stat localSt {};
    if (fstat(fileno(file.get()), &localSt) != 0) return report(local, errno);
    if (S_ISDIR(localSt.st_mode)) return report(local, EISDIR);
    mode = localSt.st_mode & 0777;
    in = file.get();
  }
  struct stat st {};
  bool existed = getattr(path, st).ok();
  if (existed && S_ISDIR(st.st_mode)) {
    if (local == "-") return report(given, EISDIR);
    path = childPath(path, baseName(local));
    existed = getattr(path, st).ok();
    if (existed && S_ISDIR(st.st_mode)) return report(path, EISDIR);
  }
  if (existed && !S_ISREG(st.st_mode)) return reportText(path, "not a regular file");
  if (const int rc = writeFrom(in, path, existed, mode); rc != 0) {
    report(given, rc);
    // A file this command created is removed again rather than left half
    // written; a replaced one keeps its earlier version in the backup.
    if (!existed) {
      ItemName partial(path);
      (void)c().unlink(ix(), partial);
    }
  }
}

void Shell::mkdir(const std::vector<std::string>& paths) {
  for (const std::string& given : paths) {
    const std::string path = sharePath(given);
    if (refuseWhenReadOnly(given)) return;
    if (!flag_) {
      ItemName item;
      if (CZnError err = c().mkdir(ix(), item, path, 0755); err.failed())
        report(given, errnoOf(err));
      continue;
    }
    // One component after the other; existing directories are fine.
    std::string sofar;
    size_t start = 1;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      sofar = path.substr(0, end);
      start = end + 1;
      if (sofar == "/" || sofar.empty()) continue;
      struct stat st {};
      if (getattr(sofar, st).ok()) {
        if (!S_ISDIR(st.st_mode)) {
          report(sofar, ENOTDIR);
          break;
        }
        continue;
      }
      ItemName item;
      if (CZnError err = c().mkdir(ix(), item, sofar, 0755); err.failed()) {
        report(sofar, errnoOf(err));
        break;
      }
    }
  }
}

int Shell::removeTree(const std::string& path, std::string& failedPath) {
  failedPath = path;
  struct stat st {};
  if (CZnError err = getattr(path, st); err.failed()) return errnoOf(err);
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    if (CZnError err = list(path, names); err.failed()) return errnoOf(err);
    for (const std::string& name : names)
      if (int rc = removeTree(childPath(path, name), failedPath); rc != 0) return rc;
    failedPath = path;
    ItemName item(path);
    if (CZnError err = c().rmdir(ix(), item); err.failed()) return errnoOf(err);
    return 0;
  }
  ItemName item(path);
  if (CZnError err = c().unlink(ix(), item); err.failed()) return errnoOf(err);
  return 0;
}

void Shell::rm(const std::vector<std::string>& paths) {
  for (const std::string& given : paths) {
    const std::string path = sharePath(given);
    if (refuseWhenReadOnly(given)) return;
    if (path == "/") {
      reportText(given, "refusing to remove the root directory");
      continue;
    }
    struct stat st {};
    if (CZnError err = getattr(path, st); err.failed()) {
      report(given, errnoOf(err));
      continue;
    }
    if (S_ISDIR(st.st_mode) && !flag_) {
      report(given, EISDIR);
      continue;
    }
    std::string failedPath;
    if (int rc = removeTree(path, failedPath); rc != 0) report(failedPath, rc);
  }
}

void Shell::mv(const std::string& fromGiven, const std::string& toGiven) {
  const std::string from = sharePath(fromGiven);
  std::string to = sharePath(toGiven);
  if (refuseWhenReadOnly(fromGiven)) return;
  struct stat fromSt {};
  if (CZnError err = getattr(from, fromSt); err.failed()) return report(fromGiven, errnoOf(err));
  if (from == "/") return reportText(fromGiven, "refusing to move the root directory");
  struct stat toSt {};
  if (getattr(to, toSt).ok() && S_ISDIR(toSt.st_mode) && to != from)
    to = childPath(to, baseName(from));
  if (to == from) return;
  if (to.compare(0, from.size() + 1, from + "/") == 0)
    return reportText(toGiven, "can't move a directory into itself");
  const bool toExists = getattr(to, toSt).ok();
  if (toExists) {
    if (S_ISDIR(toSt.st_mode) && !S_ISDIR(fromSt.st_mode)) return report(to, EISDIR);
    if (!S_ISDIR(toSt.st_mode) && S_ISDIR(fromSt.st_mode)) return report(to, ENOTDIR);
  }
  if (CZnError err = c().rename(ix(), from, to, false); err.failed()) {
    OSLOG_ERR(err);
    // The store reports a non-empty destination directory as EEXIST.
    const int rc =
        errnoOf(err) == EEXIST && toExists && S_ISDIR(toSt.st_mode) ? ENOTEMPTY : errnoOf(err);
    report(fromGiven + " -> " + toGiven, rc);
  }
}

}  // namespace

std::string sharePath(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  std::string out;
  for (const std::string& component : components) out += "/" + component;
  return out.empty() ? "/" : out;
}

bool isShellCommand(const std::string& name) { return findCommand(name) != nullptr; }

std::string shellCommandUsage(const std::string& name) {
  const CommandInfo* info = findCommand(name);
  if (info == nullptr) return {};
  std::string text = std::string("usage: objstore ") + info->name + " " + info->synopsis +
                     " [view options]\n\n  " + info->summary +
                     ".\n\nPATH is a path in the share (/docs/a.txt). Exit code: 0 success, 1 an"
                     " operation\nfailed (reason on standard error), 2 a usage error.\n\n";
  text += viewOptionsHelp();
  return text;
}

int runShellCommand(const std::string& name, const std::vector<std::string>& args,
                    const ShellIo& io) {
  const CommandInfo* info = findCommand(name);
  if (info == nullptr) {
    fprintf(io.err, "objstore: unknown command '%s'\n", name.c_str());
    return 2;
  }
  Shell shell(*info, io);
  return shell.run(args);
}

}  // namespace ObjectStore::tool
