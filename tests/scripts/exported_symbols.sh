#!/usr/bin/env bash
# What libobjectstore.so exports: the C interface, the C++ API and the
# configuration store (tools find the command port through it), and none of
# the internals (disk cache, index service, backup queue and controller, the
# store itself). Also checks that the C interface header is plain C11 and
# valid C++ on its own.
set -euo pipefail
src=$1
build=$2
lib="$build/libobjectstore.so"
test -f "$lib"

work=$(mktemp -d "${TMPDIR:-/tmp}/objstore-symbols-XXXXXX")
trap 'rm -rf "$work"' EXIT
nm -D --defined-only "$lib" > "$work/raw"
nm -D --defined-only -C "$lib" > "$work/demangled"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Every C entry point, unmangled (C linkage).
for fn in init destroy openObjectStore closeObjectStore getRootGuid open close read pread \
          getattr guidToPath pathToGuid readdir; do
  grep -Eq " T ObjectStoreCIntf_${fn}\$" "$work/raw" || fail "ObjectStoreCIntf_${fn} not exported"
done

# The C++ API a client of the chief header needs.
for sym in 'ObjectStore::ObjectContainer::ObjectContainer()' \
           'ObjectStore::ObjectContainer::~ObjectContainer()' \
           'ObjectStore::ObjectContainer::init(' \
           'ObjectStore::ObjectContainer::openObjectStore(' \
           'ObjectStore::ObjectContainer::read(' \
           'ObjectStore::ObjectContainer::getRootGuid' \
           'ObjectStore::CZnError::Push(' \
           'ObjectStore::CZnError::text' \
           'ObjectStore::FXErrorUtil::ErrorErrNo(' \
           'ObjectStore::g_ptrLogWriter' \
           'ObjectStore::CLogWriterInterface::write(' \
           'ObjectStore::HxCriticalSection::enter()' \
           'typeinfo for ObjectStore::CLogWriterInterface' \
           'ObjectStore::HXPlatformInfo::getString('; do
  grep -Fq " $sym" "$work/demangled" || fail "$sym not exported"
done

# Internals stay inside the library.
for prefix in 'ObjectStore::DiskCache' 'ObjectStore::BackupQueue' \
              'ObjectStore::BackupControllerThread' 'ObjectStore::index_iface' \
              'ObjectStore::ObjectStore::' 'ObjectStore::RestoreInterface' \
              'ObjectStore::CommandInterface' 'ObjectStore::GuidCache' \
              'ObjectStore::IndexDatabase' \
              'ObjectStore::{anonymous}' 'OBJECTOPSAPI::' 'sqlite3_'; do
  if grep -F " $prefix" "$work/demangled" | grep -v ' ObjectStore::ObjectContainer' |
      grep -q .; then
    fail "internal symbols exported: $(grep -F " $prefix" "$work/demangled" | head -3)"
  fi
done

# The C header alone, first in its translation unit: strict C11, and C++.
printf '#include "ObjectStore/objectStoreCIntf.h"\nint main(void) { return 0; }\n' > "$work/c.c"
cc -std=c11 -pedantic -Wall -Wextra -Werror -I"$src" -fsyntax-only "$work/c.c" ||
  fail "objectStoreCIntf.h is not valid C11"
cp "$work/c.c" "$work/cxx.cpp"
c++ -std=c++20 -Wall -Wextra -Werror -I"$src" -fsyntax-only "$work/cxx.cpp" ||
  fail "objectStoreCIntf.h is not valid C++"

if [ "$failed" -ne 0 ]; then exit 1; fi
echo "exported symbols ok: $(wc -l < "$work/raw") symbols"
