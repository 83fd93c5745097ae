// objstore: the command-line tool of the object store.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/utils/FileUtils.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage: objstore <command> [arguments]\n"
          "\n"
          "commands:\n"
          "  demo [CONTAINER_DIR]   run the demonstration in a fresh container directory\n"
          "  version                print the version\n"
          "  help                   print this text\n");
}

int runDemo(const std::vector<std::string>& args) {
  std::string dir;
  if (!args.empty()) {
    dir = args[0];
  } else {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/objstore-demo-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      fprintf(stderr, "objstore demo: can't create a temporary directory: %s\n", strerror(errno));
      return 1;
    }
    dir = buf.data();
  }
  int rc = ObjectStore::createDir(dir);
  if (rc != 0) {
    fprintf(stderr, "objstore demo: can't create container directory %s: %s\n", dir.c_str(),
            strerror(rc));
    return 1;
  }
  printf("Created container directory %s\n", dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "help" || command == "--help" || command == "-h") {
    usage(stdout);
    return 0;
  }
  if (command == "version" || command == "--version") {
    printf("objstore %s\n", OBJSTORE_VERSION);
    return 0;
  }
  if (command == "demo") return runDemo(args);
  fprintf(stderr, "objstore: unknown command '%s'\n\n", command.c_str());
  usage(stderr);
  return 2;
}
