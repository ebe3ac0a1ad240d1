#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Standard output is one resource of the process, like its stdio stream.
struct Live {
    bool on = false;
    int fd = 1;
    bool ownFd = false;      // a description of standard output of our own, non-blocking
    bool pollFirst = false;  // none could be had: ask poll before each write
    bool gone = false;       // the console failed for good (hung up, closed): text is dropped
    char pending[4096];
    std::size_t pendingLen = 0;
} gLive;

// The writer thread may say where a recording goes on while the capture thread redraws.
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;

struct Locked {
    Locked() { pthread_mutex_lock(&gLock); }
    ~Locked() { pthread_mutex_unlock(&gLock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

bool Writable() {
    if (!gLive.pollFirst) {
        return true;
    }
    struct pollfd p = {gLive.fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// Writes what it can of `text` without blocking. Returns the bytes taken, or -1 when the
// console is gone.
long TryWrite(const char* text, std::size_t n) {
    if (!Writable()) {
        return 0;
    }
    const ssize_t w = write(gLive.fd, text, n);
    if (w >= 0) {
        return w;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return 0;
    }
    gLive.gone = true;
    gLive.pendingLen = 0;
    return -1;
}

void Drain() {
    while (gLive.pendingLen > 0) {
        const long w = TryWrite(gLive.pending, gLive.pendingLen);
        if (w <= 0) {
            return;
        }
        gLive.pendingLen -= static_cast<std::size_t>(w);
        memmove(gLive.pending, gLive.pending + w, gLive.pendingLen);
    }
}

void Keep(const char* text, std::size_t n) {
    if (n <= sizeof gLive.pending - gLive.pendingLen) {
        memcpy(gLive.pending + gLive.pendingLen, text, n);
        gLive.pendingLen += n;
    }
}

}  // namespace

void ConsoleBegin() {
    const Locked lock;
    fflush(stdout);
    gLive = Live();
    gLive.on = true;
    struct stat st;
    if (fstat(1, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        return;  // a file never keeps us waiting
    }
    // The non-blocking flag belongs to an open file description, which the shell and the
    // programs around us share: set it on a description of our own.
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        gLive.fd = fd;
        gLive.ownFd = true;
    } else {
        gLive.pollFirst = true;
    }
}

void ConsoleText(const char* text, std::size_t n) {
    const Locked lock;
    if (!gLive.on) {
        fwrite(text, 1, n, stdout);
        return;
    }
    if (gLive.gone) {
        return;
    }
    Keep(text, n);
    Drain();
}

void ConsoleRedraw(const char* text, std::size_t n) {
    const Locked lock;
    if (!gLive.on) {
        fwrite(text, 1, n, stdout);
        fflush(stdout);
        return;
    }
    Drain();
    if (gLive.gone || gLive.pendingLen > 0) {
        return;
    }
    const long w = TryWrite(text, n);
    if (w > 0) {
        // Part of the line is out: the rest must follow, or the console line is torn.
        Keep(text + w, n - static_cast<std::size_t>(w));
    }
}

void ConsoleEnd() {
    const Locked lock;
    if (!gLive.on) {
        return;
    }
    std::size_t done = 0;
    while (!gLive.gone && done < gLive.pendingLen) {
        const ssize_t w = write(1, gLive.pending + done, gLive.pendingLen - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && errno != EINTR) {
            break;
        }
    }
    if (gLive.ownFd) {
        close(gLive.fd);
    }
    gLive = Live();
}
