/* Test support for the C programs in tests/c: builds a share through the
 * library's public C++ API (the C interface can only read), so that a C test
 * has something to browse. Valid C11 and C++. */
#ifndef OBJSTORE_TESTS_C_SHARESETUP_H
#define OBJSTORE_TESTS_C_SHARESETUP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The share that shareSetupCreate builds, as of the moment it returns:
 *   /docs/                  directory
 *   /docs/data.bin          SHARE_SETUP_DATA_SIZE bytes, byte i = shareSetupByte(i)
 *   /docs/empty/            empty directory
 *   /docs/small.txt         the text SHARE_SETUP_SMALL_TEXT
 * Files are cut into SHARE_SETUP_EXTENT_SIZE-byte extents. */
#define SHARE_SETUP_DATA_SIZE 10000
#define SHARE_SETUP_EXTENT_SIZE 4096
#define SHARE_SETUP_SMALL_TEXT "hello from the live share\n"

unsigned char shareSetupByte(uint64_t offset);

/* Creates the share `name` of `subclient` in a container below containerDir,
 * lets the live store back everything up and closes the container again, so
 * that the share then lives only in the index and the backup. Returns 0, or
 * an errno value after printing what failed to stderr. */
int shareSetupCreate(const char* containerDir, const char* name, uint64_t subclient);

#ifdef __cplusplus
}
#endif

#endif /* OBJSTORE_TESTS_C_SHARESETUP_H */
