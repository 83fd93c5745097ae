// objstore: the command-line tool of the object store.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/objstore/Ctl.h"
#include "tools/objstore/Demo.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage: objstore <command> [arguments]\n"
          "\n"
          "commands:\n"
          "  demo [CONTAINER_DIR]   write, back up, change and restore a small tree in a\n"
          "                         container directory (default: a new temporary one)\n"
          "  version                print the version\n"
          "  help                   print this text\n");
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
  if (command == "demo") return ObjectStore::demo::runDemo(args);
  if (command == "ctl") return ObjectStore::ctl::runCtl(args);
  fprintf(stderr, "objstore: unknown command '%s'\n\n", command.c_str());
  usage(stderr);
  return 2;
}
