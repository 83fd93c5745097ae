#include "tools/objstore/Mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/support/LogWriter.h"
#include "tools/objstore/FuseOps.h"

namespace ObjectStore::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* USAGE_HEAD =
    "usage: objstore mount CONTAINER_DIR MOUNTPOINT [options]\n"
    "\n"
    "Mounts one view of a share of the container as a file system: the live share\n"
    "(read-write, backed up continuously), or with --at the share as it was then\n"
    "(read-only, or writable but kept local with --discard-writes). Every open for\n"
    "writing starts a new version of the file (see --version-interval).\n"
    "\n"
    "options:\n"
    "  --foreground, -f            stay in the foreground instead of going to the background\n"
    "  --debug, -d                 trace every request on standard error (implies --foreground)\n"
    "  --help, -h                  print this text\n"
    "\n";

constexpr const char* USAGE_TAIL =
    "\n"
    "Unmount with: fusermount3 -u MOUNTPOINT (or SIGTERM/SIGINT to the process).\n"
    "One mount per container at a time. The library's log goes to\n"
    "CONTAINER_DIR/objstore-mount.log unless OBJSTORE_LOG_FILE says otherwise.\n";

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  if (ec) return path;
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// Going to the background. The container runs threads of its own (backup,
// pruning, the command port), and a fork keeps only the calling thread, so
// the process forks before anything is opened: the parent waits until the
// child reports the mount in place (one byte on the pipe) and exits 0, or
// sees the pipe close without it and exits with the child's status. Until
// then the child's messages still reach the terminal.
class Background {
 public:
  // Returns in the child (and in the only process with --foreground); the
  // parent never returns from here.
  bool start(bool foreground) {
    if (foreground) return true;
    int fds[2];
    if (pipe(fds) != 0) {
      fprintf(stderr, "objstore mount: can't create a pipe: %s\n", strerror(errno));
      return false;
    }
    const pid_t child = fork();
    if (child < 0) {
      fprintf(stderr, "objstore mount: can't fork: %s\n", strerror(errno));
      return false;
    }
    if (child > 0) {
      close(fds[1]);
      char byte = 0;
      ssize_t got = 0;
      do {
        got = ::read(fds[0], &byte, 1);
      } while (got < 0 && errno == EINTR);
      if (got == 1) _exit(0);
      int status = 0;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      _exit(WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1);
    }
    close(fds[0]);
    readyFd_ = fds[1];
    (void)setsid();
    return true;
  }

  // The mount is in place: let the parent go and leave the terminal.
  void ready() {
    if (readyFd_ < 0) return;
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      (void)dup2(devNull, STDIN_FILENO);
      (void)dup2(devNull, STDOUT_FILENO);
      (void)dup2(devNull, STDERR_FILENO);
      if (devNull > STDERR_FILENO) close(devNull);
    }
    const char byte = '0';
    ssize_t put = 0;
    do {
      put = ::write(readyFd_, &byte, 1);
    } while (put < 0 && errno == EINTR);
    close(readyFd_);
    readyFd_ = -1;
  }

 private:
  int readyFd_ = -1;
};

// One mount process per container at a time: two processes would each
// rewrite the container's share list and run their own disk cache over the
// same files. The lock is held by the process that serves the mount (taken
// after going to the background) and goes with it.
class ContainerLock {
 public:
  ~ContainerLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool take(const std::string& containerDir) {
    const std::string path = containerDir + "/objstore-mount.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      fprintf(stderr, "objstore mount: can't open %s: %s\n", path.c_str(), strerror(errno));
      return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      fprintf(stderr,
              "objstore mount: %s is in use by another objstore mount (or one still closing)\n",
              containerDir.c_str());
      return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// The library logs to a file in the container unless the user chose a file
// or asked for the log on standard error (--debug).
void routeLibraryLog(const MountOptions& options) {
  LogWriter* writer = defaultLogWriter();
  if (writer == nullptr) return;
  if (options.debug) {
    if (getenv("OBJSTORE_DEBUG_LEVEL") == nullptr) writer->setDebugLevel(3);
    return;
  }
  if (getenv("OBJSTORE_LOG_FILE") != nullptr) return;
  (void)writer->setOutputFile(options.containerDir + "/objstore-mount.log");
}

// Owns the FUSE session and its signal handlers.
class Session {
 public:
  ~Session() {
    if (session_ == nullptr) return;
    unmount();
    fuse_session_destroy(session_);
  }

  // Takes the file system away (a no-op when the kernel already did), so
  // that nothing can reach the handles that are closed next.
  void unmount() {
    if (handlers_) fuse_remove_signal_handlers(session_);
    handlers_ = false;
    if (mounted_) fuse_session_unmount(session_);
    mounted_ = false;
  }

  bool create(FuseFs& fs, const MountOptions& options, bool readOnly) {
    std::string mountOptions = "default_permissions,fsname=objstore,subtype=objstore";
    if (readOnly) mountOptions += ",ro";
    std::vector<std::string> words = {"objstore", "-o", mountOptions};
    if (options.debug) words.push_back("-d");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    session_ = fuse_session_new(&args, &FuseFs::operations(), sizeof(fuse_lowlevel_ops), &fs);
    fuse_opt_free_args(&args);
    if (session_ == nullptr) {
      fprintf(stderr, "objstore mount: can't create the FUSE session\n");
      return false;
    }
    if (fuse_set_signal_handlers(session_) != 0) {
      fprintf(stderr, "objstore mount: can't install the signal handlers\n");
      return false;
    }
    handlers_ = true;
    if (fuse_session_mount(session_, options.mountpoint.c_str()) != 0) {
      fprintf(stderr, "objstore mount: can't mount on %s (is /dev/fuse there and may we mount?)\n",
              options.mountpoint.c_str());
      return false;
    }
    mounted_ = true;
    return true;
  }

  // Serves requests until the file system is unmounted or a signal ends it.
  int loop() {
    fuse_loop_config* config = fuse_loop_cfg_create();
    if (config == nullptr) return fuse_session_loop(session_);
    fuse_loop_cfg_set_clone_fd(config, 0);
    const int rc = fuse_session_loop_mt(session_, config);
    fuse_loop_cfg_destroy(config);
    return rc;
  }

 private:
  fuse_session* session_ = nullptr;
  bool handlers_ = false;
  bool mounted_ = false;
};

}  // namespace

std::string mountUsage() {
  return std::string(USAGE_HEAD) + viewOptionsHelp() + USAGE_TAIL;
}

bool parseMountArgs(const std::vector<std::string>& args, MountOptions& out, std::string& error) {
  out = MountOptions();
  std::vector<std::string> rest = args;
  for (const std::string& arg : rest) {
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return true;
    }
  }
  if (!parseViewOptions(rest, out.view, error)) return false;
  std::vector<std::string> positional;
  for (const std::string& arg : rest) {
    if (arg == "--foreground" || arg == "-f") {
      out.foreground = true;
    } else if (arg == "--debug" || arg == "-d") {
      out.debug = true;
      out.foreground = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + arg + "'";
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    error = positional.size() < 2 ? "CONTAINER_DIR and MOUNTPOINT are required"
                                  : "unexpected argument '" + positional[2] + "'";
    return false;
  }
  if (positional[0].empty() || positional[1].empty()) {
    error = "CONTAINER_DIR and MOUNTPOINT must not be empty";
    return false;
  }
  if (out.view.discardWrites && out.view.at == 0) {
    error = "--discard-writes needs --at (the live share always keeps its writes)";
    return false;
  }
  out.containerDir = absolutePath(positional[0]);
  out.mountpoint = absolutePath(positional[1]);
  return true;
}

int runMount(const std::vector<std::string>& args) {
  MountOptions options;
  std::string error;
  if (!parseMountArgs(args, options, error)) {
    fprintf(stderr, "objstore mount: %s\n\n%s", error.c_str(), mountUsage().c_str());
    return 2;
  }
  if (options.help) {
    fputs(mountUsage().c_str(), stdout);
    return 0;
  }
  struct stat st {};
  if (stat(options.mountpoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "objstore mount: the mountpoint %s is not a directory\n",
            options.mountpoint.c_str());
    return 1;
  }
  std::error_code ec;
  if (fs::create_directories(options.containerDir, ec); ec) {
    fprintf(stderr, "objstore mount: can't create the container directory %s: %s\n",
            options.containerDir.c_str(), ec.message().c_str());
    return 1;
  }

  Background background;
  if (!background.start(options.foreground)) return 1;
  ContainerLock containerLock;
  if (!containerLock.take(options.containerDir)) return 1;
  routeLibraryLog(options);

  OpenView view;
  if (CZnError err = view.open(options.containerDir, options.view); err.failed()) {
    fprintf(stderr, "objstore mount: can't open the share: %s: %s\n", err.text().c_str(),
            err.chain().c_str());
    return 1;
  }
  const guid_t rootGuid = view.container().getRootGuid(view.index());
  if (rootGuid.empty()) {
    fprintf(stderr, "objstore mount: the share has no root directory\n");
    return 1;
  }
  int status = 0;
  {
    FuseFs fs(view.container(), view.index(), view.readOnly(), rootGuid);
    if (const size_t removed = fs.removeLeftoverUnlinked(); removed != 0)
      OSLOG(0, "objstore mount: removed %zu files left unlinked by an earlier mount", removed);
    Session session;
    if (!session.create(fs, options, view.readOnly())) return 1;
    OSLOG(0, "objstore mount: %s mounted on %s", options.containerDir.c_str(),
          options.mountpoint.c_str());
    background.ready();
    // 0: unmounted; a signal number: ended by SIGTERM/SIGINT/SIGHUP, also
    // a normal end; negative: the loop failed.
    if (session.loop() < 0) status = 1;
    session.unmount();
    // The kernel releases every handle before an unmount completes; what is
    // left comes from a loop ended by a signal.
    if (const size_t left = fs.closeAll(); left != 0)
      OSLOG(0, "objstore mount: closed %zu handles left open", left);
  }
  // Closing the store drains its backup queue: everything written is backed
  // up before the process exits.
  if (CZnError err = view.close(); err.failed()) {
    OSLOG_ERR(err);
    if (err.errNo() != ETIMEDOUT) {
      fprintf(stderr, "objstore mount: closing the share failed: %s\n", err.text().c_str());
      return 1;
    }
    // Safe in the cache and the journal: a warning, not a failure.
    fprintf(stderr,
            "objstore mount: not everything is backed up yet; the rest is sent by the next "
            "mount or command\n");
  }
  OSLOG(0, "objstore mount: %s unmounted", options.mountpoint.c_str());
  return status;
}

}  // namespace ObjectStore::tool
