/* Storage faults that no file system gives on demand, for the fault tests to preload into the built dictate
 * (LD_PRELOAD), each set by an environment variable:
 *   DICTATE_SLOW_SYNC_MS=n  every fdatasync() waits n ms before it syncs, as on a slow or overloaded disk;
 *   DICTATE_FAIL_RENAME=e   renaming a take's journal fails with error number e (5 EIO, 18 EXDEV, ...).
 * dlsym() hands back an object pointer; it is stored through one, as POSIX's own example does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long setting(const char* name) {
    const char* value = getenv(name);
    return value != NULL ? strtol(value, NULL, 10) : 0;
}

int fdatasync(int fd) {
    static int (*real)(int) = NULL;
    if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "fdatasync");
    const long ms = setting("DICTATE_SLOW_SYNC_MS");
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return real(fd);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    static int (*real)(int, const char*, int, const char*, unsigned int) = NULL;
    if (real == NULL) *(void**)&real = dlsym(RTLD_NEXT, "renameat2");
    const long error = setting("DICTATE_FAIL_RENAME");
    if (error != 0 && strstr(from, "_unfinished_") != NULL) {
        errno = (int)error;
        return -1;
    }
    return real(from_dir, from, to_dir, to, flags);
}
