/* A C11 client of the C interface: builds a share through the C++ API (test
 * support), then opens it as a point-in-time view from C and browses and reads
 * it by GUID. Everything the view shows is restored from the index and the
 * backup, since the live container is gone by then. */
#define _XOPEN_SOURCE 700

#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "ObjectStore/objectStoreCIntf.h"
#include "support/ShareSetup.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

#define CHECK_EQ_INT(expected, actual)                                                         \
  do {                                                                                         \
    long long e_ = (long long)(expected), a_ = (long long)(actual);                            \
    if (e_ != a_) {                                                                            \
      fprintf(stderr, "%s:%d: %s: expected %lld, got %lld\n", __FILE__, __LINE__, #actual, e_, \
              a_);                                                                             \
      ++failures;                                                                              \
    }                                                                                          \
  } while (0)

#define CHECK_EQ_STR(expected, actual)                                                             \
  do {                                                                                             \
    const char* e_ = (expected);                                                                   \
    const char* a_ = (actual);                                                                     \
    if (strcmp(e_, a_) != 0) {                                                                     \
      fprintf(stderr, "%s:%d: %s: expected \"%s\", got \"%s\"\n", __FILE__, __LINE__, #actual, e_, \
              a_);                                                                                 \
      ++failures;                                                                                  \
    }                                                                                              \
  } while (0)

#define SHARE_NAME "cshare"
#define SUBCLIENT 77
#define INVALID_INDEX 4242

static char workDir[PATH_MAX];

static int removeEntry(const char* path, const struct stat* st, int flag, struct FTW* ftw) {
  (void)st;
  (void)flag;
  (void)ftw;
  return remove(path);
}

static void joinPath(char* out, const char* a, const char* b) {
  int n = snprintf(out, PATH_MAX, "%s/%s", a, b);
  if (n < 0 || n >= PATH_MAX) {
    fprintf(stderr, "path too long: %s/%s\n", a, b);
    exit(1);
  }
}

/* ---- init ---------------------------------------------------------------- */

static void testInitFailsForUncreatableDirectory(void) {
  /* A directory below a regular file can never be created. */
  char file[PATH_MAX], dir[PATH_MAX];
  joinPath(file, workDir, "plain-file");
  FILE* f = fopen(file, "w");
  CHECK(f != NULL);
  if (f != NULL) fclose(f);
  joinPath(dir, file, "container");
  CHECK(ObjectStoreCIntf_init(dir, NULL, 1000, false) == NULL);
  CHECK(ObjectStoreCIntf_init(NULL, NULL, 1000, false) == NULL);
  /* Destroying nothing is harmless. */
  ObjectStoreCIntf_destroy(NULL);
}

/* ---- helpers on an open view ---------------------------------------------- */

typedef struct View {
  ObjectStoreCIntf_ObjectContainer container;
  uint64_t index;
} View;

/* Lists a whole directory into entries (capacity max), page by page when
 * pageSize is smaller; returns the number of entries or -1. */
static long listAll(const View* v, const char* dirGuid, ObjectStoreCIntf_DirEntry* entries,
                    size_t max, uint64_t pageSize) {
  size_t total = 0;
  bool done = false;
  int pages = 0;
  while (!done) {
    if (total + pageSize > max || ++pages > 100) return -1;
    uint64_t count = pageSize;
    int rc = ObjectStoreCIntf_readdir(v->container, v->index, dirGuid, entries + total, &count,
                                      (unsigned long)total, &done);
    if (rc != 0) {
      fprintf(stderr, "readdir failed: %d\n", rc);
      return -1;
    }
    CHECK(count <= pageSize);
    if (count == 0 && !done) return -1; /* no progress */
    total += count;
  }
  return (long)total;
}

static const ObjectStoreCIntf_DirEntry* findEntry(const ObjectStoreCIntf_DirEntry* entries, long n,
                                                  const char* name) {
  for (long i = 0; i < n; ++i)
    if (strcmp(entries[i].name, name) == 0) return &entries[i];
  return NULL;
}

static bool isGuidText(const char* guid) {
  size_t n = strlen(guid);
  return n >= 32 && n <= OBJECTSTORE_CINTF_MAX_GUID_CHARS;
}

/* ---- browsing -------------------------------------------------------------- */

static void testRootAndListing(const View* v, char* docsGuid, char* dataGuid) {
  char root[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE];
  memset(root, 'x', sizeof root);
  ObjectStoreCIntf_getRootGuid(v->container, v->index, root);
  CHECK(isGuidText(root));
  CHECK_EQ_INT(0, root[OBJECTSTORE_CINTF_MAX_GUID_CHARS]);

  char byPath[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE];
  CHECK_EQ_INT(0, ObjectStoreCIntf_pathToGuid(v->container, v->index, byPath, "/"));
  CHECK_EQ_STR(root, byPath);

  ObjectStoreCIntf_DirEntry entries[10];
  long n = listAll(v, root, entries, 10, 10);
  CHECK_EQ_INT(3, n);
  if (n < 0) return;
  CHECK(findEntry(entries, n, ".") != NULL);
  CHECK(findEntry(entries, n, "..") != NULL);
  const ObjectStoreCIntf_DirEntry* docs = findEntry(entries, n, "docs");
  CHECK(docs != NULL);
  if (docs == NULL) return;
  CHECK(isGuidText(docs->guid));
  strcpy(docsGuid, docs->guid);

  CHECK_EQ_INT(0, ObjectStoreCIntf_pathToGuid(v->container, v->index, byPath, "/docs"));
  CHECK_EQ_STR(docsGuid, byPath);

  n = listAll(v, docsGuid, entries, 10, 10);
  CHECK_EQ_INT(5, n);
  if (n < 0) return;
  const char* expected[] = {".", "..", "data.bin", "empty", "small.txt"};
  for (size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
    const ObjectStoreCIntf_DirEntry* e = findEntry(entries, n, expected[i]);
    if (e == NULL) fprintf(stderr, "missing entry %s\n", expected[i]);
    CHECK(e != NULL);
  }
  const ObjectStoreCIntf_DirEntry* data = findEntry(entries, n, "data.bin");
  if (data == NULL) return;
  strcpy(dataGuid, data->guid);
  CHECK_EQ_INT(0, ObjectStoreCIntf_pathToGuid(v->container, v->index, byPath, "/docs/data.bin"));
  CHECK_EQ_STR(dataGuid, byPath);

  /* One entry at a time gives the same listing, in the same order. */
  ObjectStoreCIntf_DirEntry paged[10];
  long m = listAll(v, docsGuid, paged, 10, 1);
  CHECK_EQ_INT(n, m);
  for (long i = 0; i < n && i < m; ++i) {
    CHECK_EQ_STR(entries[i].name, paged[i].name);
    CHECK_EQ_STR(entries[i].guid, paged[i].guid);
  }

  /* Pages of two and three entries too; and a page never runs past the
   * capacity given, however much more the directory holds. */
  for (uint64_t pageSize = 2; pageSize <= 3; ++pageSize) {
    m = listAll(v, docsGuid, paged, 10, pageSize);
    CHECK_EQ_INT(n, m);
    for (long i = 0; i < n && i < m; ++i) CHECK_EQ_STR(entries[i].name, paged[i].name);
  }
  memset(paged, 0x5a, sizeof paged);
  uint64_t count = 3;
  bool done = true;
  CHECK_EQ_INT(0,
               ObjectStoreCIntf_readdir(v->container, v->index, docsGuid, paged, &count, 0, &done));
  CHECK_EQ_INT(3, count);
  CHECK(!done);
  CHECK_EQ_STR(".", paged[0].name);
  CHECK_EQ_STR("..", paged[1].name);
  CHECK_EQ_INT(0x5a, (unsigned char)paged[3].guid[0]);
  /* Past the end: nothing, and done. */
  count = 10;
  CHECK_EQ_INT(0, ObjectStoreCIntf_readdir(v->container, v->index, docsGuid, paged, &count,
                                           (unsigned long)n, &done));
  CHECK_EQ_INT(0, count);
  CHECK(done);

  /* An empty directory holds just "." and "..". */
  const ObjectStoreCIntf_DirEntry* empty = findEntry(entries, n, "empty");
  if (empty == NULL) return;
  ObjectStoreCIntf_DirEntry few[10];
  count = 10;
  done = false;
  CHECK_EQ_INT(
      0, ObjectStoreCIntf_readdir(v->container, v->index, empty->guid, few, &count, 0, &done));
  CHECK_EQ_INT(2, count);
  CHECK(done);
  CHECK(findEntry(few, 2, ".") != NULL);
  CHECK(findEntry(few, 2, "..") != NULL);

  /* No room: refused, nothing written. */
  count = 0;
  memset(few, 0x5a, sizeof few[0]);
  CHECK_EQ_INT(
      EINVAL, ObjectStoreCIntf_readdir(v->container, v->index, empty->guid, few, &count, 0, &done));
  CHECK_EQ_INT(0, count);
  CHECK_EQ_INT(0x5a, (unsigned char)few[0].guid[0]);
}

static void testAttributesAndPaths(const View* v, const char* docsGuid, const char* dataGuid) {
  struct stat st;
  memset(&st, 0, sizeof st);
  CHECK_EQ_INT(0, ObjectStoreCIntf_getattr(v->container, v->index, dataGuid, &st));
  CHECK(S_ISREG(st.st_mode));
  CHECK_EQ_INT(SHARE_SETUP_DATA_SIZE, st.st_size);
  CHECK_EQ_INT(0, ObjectStoreCIntf_getattr(v->container, v->index, docsGuid, &st));
  CHECK(S_ISDIR(st.st_mode));

  /* A GUID the share never had: an error, and the caller's stat untouched. */
  struct stat untouched;
  memset(&untouched, 0x6b, sizeof untouched);
  struct stat copy = untouched;
  int rc = ObjectStoreCIntf_getattr(v->container, v->index, "0123456789abcdef0123456789abcdef",
                                    &untouched);
  CHECK(rc != 0);
  CHECK(memcmp(&copy, &untouched, sizeof copy) == 0);

  char path[64];
  CHECK_EQ_INT(0, ObjectStoreCIntf_guidToPath(v->container, v->index, dataGuid, path, 63));
  CHECK_EQ_STR("/docs/data.bin", path);

  /* Truncated to the length given, zero-terminated at that index, and not a
   * byte written beyond it. */
  memset(path, '#', sizeof path);
  CHECK_EQ_INT(0, ObjectStoreCIntf_guidToPath(v->container, v->index, dataGuid, path, 5));
  CHECK_EQ_STR("/docs", path);
  CHECK_EQ_INT('#', path[6]);
  memset(path, '#', sizeof path);
  CHECK_EQ_INT(0, ObjectStoreCIntf_guidToPath(v->container, v->index, dataGuid, path, 0));
  CHECK_EQ_STR("", path);
  CHECK_EQ_INT('#', path[1]);
  CHECK_EQ_INT(EINVAL, ObjectStoreCIntf_guidToPath(v->container, v->index, dataGuid, path, -1));

  char guid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE];
  memset(guid, '#', sizeof guid);
  CHECK(ObjectStoreCIntf_pathToGuid(v->container, v->index, guid, "/docs/no-such-file") != 0);
  CHECK_EQ_INT('#', guid[0]);
}

/* ---- reading --------------------------------------------------------------- */

static bool matchesData(const char* buf, uint64_t offset, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    if ((unsigned char)buf[i] != shareSetupByte(offset + i)) {
      fprintf(stderr, "byte %llu differs\n", (unsigned long long)(offset + i));
      return false;
    }
  return true;
}

static void testSequentialAndPositionedReads(const View* v, const char* dataGuid) {
  void* handle = NULL;
  CHECK_EQ_INT(0, ObjectStoreCIntf_open(v->container, v->index, &handle, dataGuid));
  CHECK(handle != NULL);
  if (handle == NULL) return;

  /* Chunks that do not divide the extent size: reads straddle extents. */
  enum { CHUNK = 3000 };
  static char buf[CHUNK];
  uint64_t got = 0, total = 0;
  CHECK_EQ_INT(0, ObjectStoreCIntf_read(v->container, v->index, handle, buf, CHUNK, &got));
  CHECK_EQ_INT(CHUNK, got);
  CHECK(matchesData(buf, 0, got));
  total += got;

  /* A positioned read anywhere leaves the read position alone. */
  char pbuf[600];
  CHECK_EQ_INT(0, ObjectStoreCIntf_pread(v->container, v->index, handle, pbuf, 500, &got, 4090));
  CHECK_EQ_INT(500, got);
  CHECK(matchesData(pbuf, 4090, got));
  CHECK_EQ_INT(0, ObjectStoreCIntf_pread(v->container, v->index, handle, pbuf, 600, &got,
                                         SHARE_SETUP_DATA_SIZE - 10));
  CHECK_EQ_INT(10, got);
  CHECK(matchesData(pbuf, SHARE_SETUP_DATA_SIZE - 10, got));
  CHECK_EQ_INT(0, ObjectStoreCIntf_pread(v->container, v->index, handle, pbuf, 600, &got,
                                         SHARE_SETUP_DATA_SIZE));
  CHECK_EQ_INT(0, got);

  for (int calls = 0; calls < 10; ++calls) {
    got = 12345;
    CHECK_EQ_INT(0, ObjectStoreCIntf_read(v->container, v->index, handle, buf, CHUNK, &got));
    if (got == 0) break;
    CHECK(got <= CHUNK);
    CHECK(matchesData(buf, total, got));
    total += got;
  }
  CHECK_EQ_INT(SHARE_SETUP_DATA_SIZE, total);
  /* At the end: nothing more, however often asked. */
  CHECK_EQ_INT(0, ObjectStoreCIntf_read(v->container, v->index, handle, buf, CHUNK, &got));
  CHECK_EQ_INT(0, got);
  CHECK_EQ_INT(EINVAL, ObjectStoreCIntf_read(v->container, v->index, handle, buf, CHUNK, NULL));

  CHECK_EQ_INT(0, ObjectStoreCIntf_close(v->container, v->index, handle));
}

/* Several threads share one handle: between them they read every byte
 * exactly once, as with one file descriptor. */
typedef struct ReaderArgs {
  const View* view;
  void* handle;
  uint64_t bytes;
  uint64_t checksum;
  int errors;
} ReaderArgs;

static void* readerThread(void* arg) {
  ReaderArgs* a = (ReaderArgs*)arg;
  char buf[97];
  /* Bounded: a handle that never reaches the end must fail, not hang. */
  for (int calls = 0; calls < 2 * SHARE_SETUP_DATA_SIZE / (int)sizeof buf + 10; ++calls) {
    uint64_t got = 0;
    int rc =
        ObjectStoreCIntf_read(a->view->container, a->view->index, a->handle, buf, sizeof buf, &got);
    if (rc != 0) {
      ++a->errors;
      break;
    }
    if (got == 0) break;
    a->bytes += got;
    for (uint64_t i = 0; i < got; ++i) a->checksum += (unsigned char)buf[i];
  }
  return NULL;
}

static void testConcurrentReadersShareThePosition(const View* v, const char* dataGuid) {
  void* handle = NULL;
  CHECK_EQ_INT(0, ObjectStoreCIntf_open(v->container, v->index, &handle, dataGuid));
  if (handle == NULL) return;
  enum { THREADS = 4 };
  pthread_t threads[THREADS];
  ReaderArgs args[THREADS];
  for (int i = 0; i < THREADS; ++i) {
    ReaderArgs init = {v, handle, 0, 0, 0};
    args[i] = init;
    CHECK_EQ_INT(0, pthread_create(&threads[i], NULL, readerThread, &args[i]));
  }
  uint64_t bytes = 0, checksum = 0, expected = 0;
  for (int i = 0; i < THREADS; ++i) {
    pthread_join(threads[i], NULL);
    bytes += args[i].bytes;
    checksum += args[i].checksum;
    CHECK_EQ_INT(0, args[i].errors);
  }
  for (uint64_t i = 0; i < SHARE_SETUP_DATA_SIZE; ++i) expected += shareSetupByte(i);
  CHECK_EQ_INT(SHARE_SETUP_DATA_SIZE, bytes);
  CHECK_EQ_INT(expected, checksum);
  CHECK_EQ_INT(0, ObjectStoreCIntf_close(v->container, v->index, handle));
}

static void testOpenFailures(const View* v) {
  void* sentinel = (void*)&failures;
  void* handle = sentinel;
  int rc =
      ObjectStoreCIntf_open(v->container, v->index, &handle, "0123456789abcdef0123456789abcdef");
  CHECK(rc != 0);
  CHECK(handle == sentinel);
  CHECK_EQ_INT(ENOENT, ObjectStoreCIntf_open(v->container, INVALID_INDEX, &handle, "x"));
  CHECK(handle == sentinel);
  CHECK_EQ_INT(EINVAL, ObjectStoreCIntf_open(v->container, v->index, &handle, NULL));
  CHECK(handle == sentinel);
}

static void testInvalidIndex(const View* v) {
  char guid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE];
  memset(guid, 'x', sizeof guid);
  ObjectStoreCIntf_getRootGuid(v->container, INVALID_INDEX, guid);
  CHECK_EQ_STR("", guid);
  CHECK_EQ_INT(0, guid[OBJECTSTORE_CINTF_MAX_GUID_CHARS]);

  struct stat st;
  CHECK_EQ_INT(ENOENT, ObjectStoreCIntf_getattr(v->container, INVALID_INDEX, "x", &st));
  ObjectStoreCIntf_DirEntry entries[2];
  uint64_t count = 2;
  bool done = false;
  CHECK_EQ_INT(ENOENT, ObjectStoreCIntf_readdir(v->container, INVALID_INDEX, "x", entries, &count,
                                                0, &done));
  CHECK_EQ_INT(2, count);
  CHECK_EQ_INT(EINVAL, ObjectStoreCIntf_closeObjectStore(v->container, INVALID_INDEX));
}

/* ---- the whole run --------------------------------------------------------- */

static void testView(const char* containerDir) {
  ObjectStoreCIntf_Watermarks marks = {95, 85, 90};
  ObjectStoreCIntf_ObjectContainer container =
      ObjectStoreCIntf_init(containerDir, &marks, 1000, true);
  CHECK(container != NULL);
  if (container == NULL) return;

  /* Before anything is open, no index names a view. */
  char guid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE];
  memset(guid, 'x', sizeof guid);
  ObjectStoreCIntf_getRootGuid(container, 0, guid);
  CHECK_EQ_STR("", guid);

  ObjectStoreCIntf_OpenParams params = {SHARE_NAME, SUBCLIENT, (uint64_t)time(NULL), 1u << 20,
                                        1u << 20};
  View v = {container, 12345};
  CHECK_EQ_INT(0, ObjectStoreCIntf_openObjectStore(container, &v.index, &params));
  /* The same share at the same time is the same view. */
  uint64_t again = 999;
  CHECK_EQ_INT(0, ObjectStoreCIntf_openObjectStore(container, &again, &params));
  CHECK_EQ_INT(v.index, again);

  char docsGuid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE] = "";
  char dataGuid[OBJECTSTORE_CINTF_GUID_BUFFER_SIZE] = "";
  testRootAndListing(&v, docsGuid, dataGuid);
  if (dataGuid[0] != '\0') {
    testAttributesAndPaths(&v, docsGuid, dataGuid);
    testSequentialAndPositionedReads(&v, dataGuid);
    testConcurrentReadersShareThePosition(&v, dataGuid);
  }
  testOpenFailures(&v);
  testInvalidIndex(&v);

  CHECK_EQ_INT(0, ObjectStoreCIntf_closeObjectStore(container, v.index));
  CHECK_EQ_INT(EINVAL, ObjectStoreCIntf_closeObjectStore(container, v.index));
  memset(guid, 'x', sizeof guid);
  ObjectStoreCIntf_getRootGuid(container, v.index, guid);
  CHECK_EQ_STR("", guid);

  ObjectStoreCIntf_destroy(container);
}

int main(void) {
  const char* base = getenv("TMPDIR");
  snprintf(workDir, sizeof workDir, "%s/cintf-test-XXXXXX", base != NULL ? base : "/tmp");
  if (mkdtemp(workDir) == NULL) {
    perror("mkdtemp");
    return 2;
  }
  /* A private configuration file: nothing of the user's own applies. */
  char registry[PATH_MAX];
  joinPath(registry, workDir, "registry");
  setenv("OBJSTORE_REGISTRY", registry, 1);

  testInitFailsForUncreatableDirectory();

  char containerDir[PATH_MAX];
  joinPath(containerDir, workDir, "container");
  int rc = shareSetupCreate(containerDir, SHARE_NAME, SUBCLIENT);
  CHECK_EQ_INT(0, rc);
  if (rc == 0) {
    /* The view's time must lie after the backup committed. */
    sleep(2);
    testView(containerDir);
  }

  if (failures == 0)
    nftw(workDir, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  else
    fprintf(stderr, "left %s for inspection\n", workDir);
  printf("%s: %d failure(s)\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
