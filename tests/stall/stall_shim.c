/* Test tool: makes the program's writes to regular files stall, as SD cards and USB sticks
 * do, so a test can measure how long a stall recording survives without losing audio.
 * Loaded with LD_PRELOAD by the tests only, and driven by their environment:
 *   NALVO_STALL_AFTER_BYTES  the stall starts with the write that takes the bytes written to
 *                            regular files past this count (default 0)
 *   NALVO_STALL_MS           how long that one write blocks (default 0: never)
 *   NALVO_STALL_FD           when set, only writes to this descriptor count and stall (1: a
 *                            console redirected to a file on the same card as the recording)
 *   NALVO_FAIL_SYNCS         the first this many fdatasync calls on files fail with EIO, as
 *                            on a card whose controller reports a flush error
 *   NALVO_FAIL_PWRITE_AT     pwrite to a file at this offset fails with EIO, as on a card
 *                            whose first sector can no longer be rewritten
 *   NALVO_FAIL_CLOSE         fclose of a file written to reports EIO once it is closed, as a
 *                            network or FUSE file system reports a write it accepted but
 *                            could not complete
 *   NALVO_FAIL_THREADS       pthread_create fails with EAGAIN, as on a system at its limit of
 *                            threads
 *   NALVO_STALL_LOG          a file that gets one line per fdatasync and pwrite on a file,
 *                            in the order they happen: "sync FD SIZE" (the size it made
 *                            durable) and "pwrite FD OFFSET HEX" (the bytes written)
 * Writes to terminals, pipes and other non-files are never delayed. */
#define _GNU_SOURCE
/* The build defines _FILE_OFFSET_BITS=64, under which glibc's headers on 32-bit systems
 * rename pwrite to pwrite64: a pwrite defined here would then replace pwrite64 while
 * forwarding to the 32-bit-offset pwrite found by name, and write at a wrong offset. Both
 * are defined explicitly instead, each forwarding to its own. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t written;
static int configured;
static uint64_t stall_after;
static long long stall_ms;
static int only_fd;

static long long env_number(const char* name, long long otherwise) {
    const char* v = getenv(name);
    return v ? strtoll(v, NULL, 10) : otherwise;
}

static int is_file(int fd) {
    struct stat64 st; /* a file past 2 GiB is a file too */
    return fstat64(fd, &st) == 0 && S_ISREG(st.st_mode);
}

/* The libc function this one stands in for, looked up the first time it is needed. */
#define REAL(name)                                         \
    static __typeof__(name)* real;                         \
    if (!real) {                                           \
        real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name); \
    }

static ssize_t real_write(int fd, const void* buf, size_t count) {
    REAL(write);
    return real(fd, buf, count);
}

/* Appends one line to NALVO_STALL_LOG: `what` and `fd`, then `number` and `bytes` in hex. */
static void log_call(const char* what, int fd, long long number, const void* bytes, size_t n) {
    static int log_fd = -2;
    const char* path = getenv("NALVO_STALL_LOG");
    if (!path) {
        return;
    }
    pthread_mutex_lock(&lock);
    if (log_fd == -2) {
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (log_fd >= 0 && fd != log_fd) {
        char line[256];
        int len = snprintf(line, sizeof line, "%s %d %lld", what, fd, number);
        if (bytes) {
            len += snprintf(line + len, sizeof line - len, " ");
            for (size_t i = 0; i < n && len < (int)sizeof line - 3; ++i) {
                len += snprintf(line + len, sizeof line - len, "%02x",
                                ((const unsigned char*)bytes)[i]);
            }
        }
        line[len++] = '\n';
        real_write(log_fd, line, (size_t)len);
    }
    pthread_mutex_unlock(&lock);
}

/* Counts `bytes` about to go to a file and sleeps when they cross the stall point. */
static void account(int fd, size_t bytes) {
    if (!is_file(fd)) {
        return;
    }
    long long sleep_ms = 0;
    pthread_mutex_lock(&lock);
    if (!configured) {
        stall_after = (uint64_t)env_number("NALVO_STALL_AFTER_BYTES", 0);
        stall_ms = env_number("NALVO_STALL_MS", 0);
        only_fd = (int)env_number("NALVO_STALL_FD", -1);
        configured = 1;
    }
    if (only_fd < 0 || fd == only_fd) {
        written += bytes;
        if (stall_ms > 0 && written > stall_after) {
            sleep_ms = stall_ms;
            stall_after = UINT64_MAX; /* one stall */
        }
    }
    pthread_mutex_unlock(&lock);
    if (sleep_ms > 0) {
        struct timespec t = {sleep_ms / 1000, (sleep_ms % 1000) * 1000000L};
        while (nanosleep(&t, &t) != 0) {
        }
    }
}

ssize_t write(int fd, const void* buf, size_t count) {
    account(fd, count);
    return real_write(fd, buf, count);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    REAL(writev);
    size_t bytes = 0;
    for (int i = 0; i < iovcnt; ++i) {
        bytes += iov[i].iov_len;
    }
    account(fd, bytes);
    return real(fd, iov, iovcnt);
}

/* pwrite and pwrite64 after the write: a whole write to a file is logged. */
static ssize_t logged_pwrite(ssize_t n, int fd, const void* buf, size_t count, long long offset) {
    if (n == (ssize_t)count && is_file(fd)) {
        log_call("pwrite", fd, offset, buf, count);
    }
    return n;
}

/* ... and before it: it fails (1) where NALVO_FAIL_PWRITE_AT says, or counts as any write. */
static int pwrite_fails(int fd, size_t count, long long offset) {
    if (is_file(fd) && env_number("NALVO_FAIL_PWRITE_AT", -1) == offset) {
        errno = EIO;
        return 1;
    }
    account(fd, count);
    return 0;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    REAL(pwrite);
    return pwrite_fails(fd, count, offset)
               ? -1
               : logged_pwrite(real(fd, buf, count, offset), fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
    REAL(pwrite64);
    return pwrite_fails(fd, count, offset)
               ? -1
               : logged_pwrite(real(fd, buf, count, offset), fd, buf, count, offset);
}

/* stdio writes reach the kernel through libc's internal write, not the exported one. */
size_t fwrite(const void* ptr, size_t size, size_t n, FILE* stream) {
    REAL(fwrite);
    account(fileno(stream), size * n);
    return real(ptr, size, n, stream);
}

int fdatasync(int fd) {
    REAL(fdatasync);
    static long long failed;
    if (is_file(fd) &&
        __atomic_fetch_add(&failed, 1, __ATOMIC_RELAXED) < env_number("NALVO_FAIL_SYNCS", 0)) {
        errno = EIO;
        return -1;
    }
    const int result = real(fd);
    if (result == 0 && is_file(fd)) {
        struct stat64 st; /* the size it made durable */
        log_call("sync", fd, fstat64(fd, &st) == 0 ? (long long)st.st_size : -1, NULL, 0);
    }
    return result;
}

int fclose(FILE* stream) {
    REAL(fclose);
    const int fd = fileno(stream);
    const int written = is_file(fd) && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY;
    const int result = real(stream);
    if (result == 0 && written && getenv("NALVO_FAIL_CLOSE")) {
        errno = EIO;
        return EOF;
    }
    return result;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
    REAL(pthread_create);
    if (getenv("NALVO_FAIL_THREADS")) {
        return EAGAIN;
    }
    return real(thread, attr, start, arg);
}
