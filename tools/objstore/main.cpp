// objstore: the command-line tool of the object store.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/objstore/Ctl.h"
#include "tools/objstore/Demo.h"
#include "tools/objstore/Mount.h"
#include "tools/objstore/ShellCommands.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage: objstore <command> [arguments]\n"
          "\n"
          "commands:\n"
          "  demo [CONTAINER_DIR]   write, back up, change and restore a small tree in a\n"
          "                         container directory (default: a new temporary one)\n"
          "  mount CONTAINER_DIR MOUNTPOINT        mount a share as a file system (--help)\n"
          "  ls [-l] CONTAINER_DIR [PATH...]       list directories of a share\n"
          "  stat CONTAINER_DIR PATH...            show attributes and object GUIDs\n"
          "  cat CONTAINER_DIR PATH...             write files to standard output\n"
          "  get CONTAINER_DIR PATH LOCALFILE      copy a file out of a share\n"
          "  put CONTAINER_DIR LOCALFILE PATH      copy a file into a share\n"
          "  mkdir [-p] CONTAINER_DIR PATH...      create directories\n"
          "  rm [-r] CONTAINER_DIR PATH...         remove files (and directories with -r)\n"
          "  mv CONTAINER_DIR FROM TO              rename or move\n"
          "                         these take --share, --subclient, --at TIME,\n"
          "                         --discard-writes (see objstore ls --help)\n"
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
  if (command == "mount") return ObjectStore::tool::runMount(args);
  if (ObjectStore::tool::isShellCommand(command))
    return ObjectStore::tool::runShellCommand(command, args);
  fprintf(stderr, "objstore: unknown command '%s'\n\n", command.c_str());
  usage(stderr);
  return 2;
}
