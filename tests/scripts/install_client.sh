#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds tiny clients against
# it the way a user would: with pkg-config, and with find_package in CMake.
set -euo pipefail
src=$1
build=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/objstore-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

# A sanitized library can only be loaded by programs built with the same
# sanitizers.
extra=""
if grep -q '^OBJSTORE_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  extra="-fsanitize=address,undefined"
fi
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"

test -f "$prefix/include/ObjectStore/objectStore.h"
test -f "$prefix/lib/libobjectstore.so"

# C++ client through pkg-config.
cat > "$prefix/client.cpp" <<'CPP'
#include <ObjectStore/objectStore.h>
#include <cerrno>
#include <cstdio>
int main() {
  ObjectStore::CZnError err = ObjectStore::FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "missing");
  if (ObjectStore::FXErrorUtil::GetErrNo(err) != ENOENT) return 1;
  std::printf("client ok: %s\n", err.text().c_str());
  return 0;
}
CPP
c++ -std=c++20 -Wall -Wextra -Werror $extra "$prefix/client.cpp" -o "$prefix/client" \
  $(pkg-config --cflags --libs objectstore)
"$prefix/client"

# The chief header must compile alone, first in its translation unit.
echo '#include <ObjectStore/objectStore.h>' > "$prefix/alone.cpp"
c++ -std=c++20 -fsyntax-only $(pkg-config --cflags objectstore) "$prefix/alone.cpp"

# C11 client of the C interface, once it exists.
if [ -f "$prefix/include/ObjectStore/objectStoreCIntf.h" ]; then
  cat > "$prefix/cclient.c" <<'C'
#include <ObjectStore/objectStoreCIntf.h>
#include <stdio.h>
int main(void) { printf("c client ok\n"); return 0; }
C
  cc -std=c11 -Wall -Wextra -Werror $extra "$prefix/cclient.c" -o "$prefix/cclient" \
    $(pkg-config --cflags --libs objectstore)
  "$prefix/cclient"
fi

# CMake package.
mkdir -p "$prefix/cmake-client"
cat > "$prefix/cmake-client/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(client CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(ObjectStore REQUIRED)
add_executable(client ../client.cpp)
target_link_libraries(client PRIVATE ObjectStore::objectstore)
CMAKE
cmake -S "$prefix/cmake-client" -B "$prefix/cmake-client/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$prefix/cmake-client/build" >/dev/null
"$prefix/cmake-client/build/client"
echo "install test passed"
