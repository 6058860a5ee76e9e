/* A disk that is nearly full, for the files of one folder: loaded with LD_PRELOAD, it lets each
 * file opened under a path that holds ORVEL_DISK_FULL_MATCH (a nameless file made in such a
 * folder too) grow to ORVEL_DISK_FULL_AFTER bytes, then fails its writes with ENOSPC, the last
 * one short as a real disk does. A file is counted from its opening; every other write passes
 * untouched. Without ORVEL_DISK_FULL_MATCH it changes nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

/* The open descriptors of such files, and what each has stored. */
enum { trackedFds = 4096 };
static atomic_bool filling[trackedFds];
static atomic_llong stored[trackedFds];

static void track(int fd, const char* path) {
    const char* match = getenv("ORVEL_DISK_FULL_MATCH");
    if (fd < 0 || fd >= trackedFds)
        return;
    atomic_store(&stored[fd], 0);
    atomic_store(&filling[fd], match && *match && path && strstr(path, match));
}

/* How many of `count` bytes for `fd` may still be stored: all of them when the file is not
 * one of those, else what is left of its room (0: the disk is full). */
static size_t room(int fd, size_t count) {
    if (count == 0 || fd < 0 || fd >= trackedFds || !atomic_load(&filling[fd]))
        return count;
    const char* after = getenv("ORVEL_DISK_FULL_AFTER");
    const long long limit = after ? atoll(after) : 0;
    long long before = atomic_load(&stored[fd]);
    for (;;) {
        const long long left = limit > before ? limit - before : 0;
        const long long take = (long long)count < left ? (long long)count : left;
        if (atomic_compare_exchange_weak(&stored[fd], &before, before + take))
            return (size_t)take;
    }
}

/* Points `into` (a function pointer) at the C library's own function of that name. */
static void real(const char* name, void* into, size_t size) {
    void* found = dlsym(RTLD_NEXT, name);
    memcpy(into, &found, size);
}

/* The files are known by the path they are opened under; a nameless one (O_TMPFILE) by its
 * folder's. */
#define OPEN_MODE(flags, mode)                                                                 \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                                                     \
        va_list args;                                                                          \
        va_start(args, flags);                                                                 \
        mode = va_arg(args, mode_t);                                                           \
        va_end(args);                                                                          \
    }

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode)
    int (*f)(const char*, int, ...);
    real("open", &f, sizeof f);
    const int fd = f(path, flags, mode);
    track(fd, path);
    return fd;
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode)
    int (*f)(const char*, int, ...);
    real("open64", &f, sizeof f);
    const int fd = f(path, flags, mode);
    track(fd, path);
    return fd;
}

int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode)
    int (*f)(int, const char*, int, ...);
    real("openat", &f, sizeof f);
    const int fd = f(dir, path, flags, mode);
    track(fd, path);
    return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    OPEN_MODE(flags, mode)
    int (*f)(int, const char*, int, ...);
    real("openat64", &f, sizeof f);
    const int fd = f(dir, path, flags, mode);
    track(fd, path);
    return fd;
}

int close(int fd) {
    track(fd, NULL);
    int (*f)(int);
    real("close", &f, sizeof f);
    return f(fd);
}

ssize_t write(int fd, const void* data, size_t count) {
    const size_t n = room(fd, count);
    if (count > 0 && n == 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t (*f)(int, const void*, size_t);
    real("write", &f, sizeof f);
    return f(fd, data, n);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    const size_t n = room(fd, count);
    if (count > 0 && n == 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t (*f)(int, const void*, size_t, off_t);
    real("pwrite", &f, sizeof f);
    return f(fd, data, n, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
    const size_t n = room(fd, count);
    if (count > 0 && n == 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t (*f)(int, const void*, size_t, off64_t);
    real("pwrite64", &f, sizeof f);
    return f(fd, data, n, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += parts[i].iov_len;
    ssize_t (*f)(int, const struct iovec*, int);
    real("writev", &f, sizeof f);
    const size_t n = room(fd, total);
    if (n == total)
        return f(fd, parts, count);
    if (n == 0) {
        errno = ENOSPC;
        return -1;
    }
    /* Only the first n bytes: the parts they fill, and a short one. */
    struct iovec shortened[count];
    size_t left = n;
    int used = 0;
    for (; used < count && left > 0; ++used) {
        shortened[used] = parts[used];
        if (shortened[used].iov_len > left)
            shortened[used].iov_len = left;
        left -= shortened[used].iov_len;
    }
    return f(fd, shortened, used);
}
