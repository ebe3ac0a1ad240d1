#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Text held for the console, in the order it came: filled by the thread that produces
// console text and emptied by the one that writes it (the same one, or the console's own
// thread). The positions count bytes from the start; their difference survives the wrap.
constexpr std::size_t kHeldBytes = 16384;  // a power of two
static_assert((kHeldBytes & (kHeldBytes - 1)) == 0, "positions wrap at a multiple");

struct Held {
    char data[kHeldBytes];
    std::atomic<std::size_t> in{0};   // written by the producer only
    std::atomic<std::size_t> out{0};  // written by the writer only
} gHeld;

// Lines that must be shown and could not be held: kept aside until the console takes
// text again, the latest two (one per file of a recording into two files). Each has room
// for a name as long as a path can be.
constexpr int kAsideLines = 2;
constexpr std::size_t kAsideBytes = 4352;

struct AsideLine {
    std::size_t n;
    char text[kAsideBytes];
};

// The console is one resource of the process, like standard output's stdio stream.
struct Live {
    bool on = false;
    int fd = 1;              // where the text goes
    int writeFd = 1;         // what the producer writes it through: `fd`, or a description
    bool ownFd = false;      // of our own, non-blocking
    bool pollFirst = false;  // none could be had: ask poll before each write
    bool threaded = false;   // a file or a block device: the console's own thread writes
    // The console failed for good (hung up, closed, a file that cannot be written): text
    // is dropped. Set by whichever thread writes.
    std::atomic<bool> gone{false};

    // Producer side: what is owed to the console before anything newer.
    unsigned long dropped = 0;
    int asideCount = 0;
    AsideLine aside[kAsideLines];
    int64_t wokenNs = 0;  // when the console's thread was last woken

    pthread_t thread{};
    sem_t wake;
    std::atomic<bool> woken{false};  // posted, and not yet looked at by the thread
    std::atomic<bool> stopping{false};
} gLive;

constexpr int64_t kSecondNs = 1000000000;

int64_t NowNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * kSecondNs + t.tv_nsec;
}

void Reset() {
    gLive.on = false;
    gLive.fd = gLive.writeFd = 1;
    gLive.ownFd = gLive.pollFirst = gLive.threaded = false;
    gLive.gone = false;
    gLive.dropped = 0;
    gLive.asideCount = 0;
    gLive.wokenNs = 0;
    gLive.woken = false;
    gLive.stopping = false;
    gHeld.in = 0;
    gHeld.out = 0;
}

// ----------------------------------------------------------------- the producer's side

std::size_t HeldBytes() {
    return gHeld.in.load(std::memory_order_relaxed) - gHeld.out.load(std::memory_order_acquire);
}

// Holds `text` whole when that leaves `spare` bytes free; false, holding nothing, when not.
bool Hold(const char* text, std::size_t n, std::size_t spare) {
    const std::size_t used = HeldBytes();
    if (used + spare > kHeldBytes || n > kHeldBytes - used - spare) {
        return false;
    }
    const std::size_t in = gHeld.in.load(std::memory_order_relaxed);
    const std::size_t at = in % kHeldBytes;
    const std::size_t first = std::min(n, kHeldBytes - at);
    memcpy(gHeld.data + at, text, first);
    memcpy(gHeld.data, text + first, n - first);
    gHeld.in.store(in + n);  // sequentially consistent: see Wake
    return true;
}

// "\n(<n> console lines dropped)\n", formatted without stdio on the capture thread.
std::size_t DroppedLine(char* out, unsigned long dropped) {
    const char* tail = dropped == 1 ? " console line dropped)\n" : " console lines dropped)\n";
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + dropped % 10);
        dropped /= 10;
    } while (dropped != 0);
    std::size_t n = 0;
    out[n++] = '\n';
    out[n++] = '(';
    while (count > 0) {
        out[n++] = digits[--count];
    }
    for (; *tail != '\0'; ++tail) {
        out[n++] = *tail;
    }
    return n;
}

void ForgetOldestAside() {
    --gLive.asideCount;
    for (int i = 0; i < gLive.asideCount; ++i) {
        gLive.aside[i].n = gLive.aside[i + 1].n;
        memcpy(gLive.aside[i].text, gLive.aside[i + 1].text, gLive.aside[i].n);
    }
}

// Holds what is owed to the console before anything newer: how many lines were dropped,
// then the lines kept aside. True once nothing is owed.
bool Settle() {
    if (gLive.dropped > 0) {
        char line[64];
        const std::size_t n = DroppedLine(line, gLive.dropped);
        if (!Hold(line, n, 0)) {
            return false;
        }
        gLive.dropped = 0;
    }
    while (gLive.asideCount > 0) {
        if (!Hold(gLive.aside[0].text, gLive.aside[0].n, 0)) {
            return false;
        }
        ForgetOldestAside();
    }
    return true;
}

// A line that must be shown and cannot be held now. Where more than the room aside come,
// the oldest makes way for the newest: the latest say where the recording goes on.
void KeepAside(const char* text, std::size_t n) {
    if (n > kAsideBytes) {
        ++gLive.dropped;
        return;
    }
    if (gLive.asideCount == kAsideLines) {
        ++gLive.dropped;
        ForgetOldestAside();
    }
    AsideLine& line = gLive.aside[gLive.asideCount++];
    line.n = n;
    memcpy(line.text, text, n);
}

// Wakes the console's thread. The flag makes one post do until the thread looks: the
// thread clears it before it takes the held text, and this sets it after holding more,
// both sequentially consistent, so a call that posts nothing comes before that look and
// the look finds what was held before the call.
void Wake() {
    if (!gLive.woken.exchange(true)) {
        sem_post(&gLive.wake);
    }
}

// A file is written about once a second, or as soon as a quarter of the room is held:
// each wake-up of a thread costs the board, and a file is read after the fact, if at all.
void WakeWhenDue() {
    const int64_t now = NowNs();
    if (now - gLive.wokenNs >= kSecondNs || HeldBytes() >= kHeldBytes / 4) {
        gLive.wokenNs = now;
        Wake();
    }
}

// ----------------------------------------------------------------- the writer's side

// The held text up to the end of the buffer; the rest follows from its start.
std::size_t Peek(const char** text) {
    const std::size_t out = gHeld.out.load(std::memory_order_relaxed);
    const std::size_t at = out % kHeldBytes;
    *text = gHeld.data + at;
    return std::min(gHeld.in.load() - out, kHeldBytes - at);
}

void Take(std::size_t n) {
    gHeld.out.store(gHeld.out.load(std::memory_order_relaxed) + n, std::memory_order_release);
}

void Discard() {
    gLive.gone = true;
    gHeld.out.store(gHeld.in.load(), std::memory_order_release);
}

bool Writable() {
    if (!gLive.pollFirst) {
        return true;
    }
    struct pollfd p = {gLive.writeFd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// Writes what it can of `text` without blocking (a pipe or a terminal may take part of
// it). Returns the bytes taken, or -1 when the console is gone.
long TryWrite(const char* text, std::size_t n) {
    if (!Writable()) {
        return 0;
    }
    const ssize_t w = write(gLive.writeFd, text, n);
    if (w >= 0) {
        return w;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return 0;
    }
    Discard();
    return -1;
}

// Writes the held text as far as the console takes it at once.
void DrainNow() {
    const char* text;
    while (std::size_t n = Peek(&text)) {
        const long w = TryWrite(text, n);
        if (w <= 0) {
            return;
        }
        Take(static_cast<std::size_t>(w));
    }
}

// Writes all of `text` to `fd`, waiting for it as long as it takes. False once it failed.
bool WriteAll(int fd, const char* text, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, text, n);
        if (w > 0) {
            text += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, -1);
        } else if (w == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Writes all the held text to `fd`, waiting if need be.
void DrainWaiting(int fd) {
    const char* text;
    while (std::size_t n = Peek(&text)) {
        if (gLive.gone || !WriteAll(fd, text, n)) {
            Discard();
            return;
        }
        Take(n);
    }
}

// The console's own thread, for a file or a block device: a write there waits for the
// storage, however the descriptor is opened, and only this thread may wait for it.
void* ConsoleMain(void*) {
    for (;;) {
        while (sem_wait(&gLive.wake) != 0) {
        }
        gLive.woken = false;
        const bool last = gLive.stopping;
        DrainWaiting(gLive.fd);
        if (last) {
            return nullptr;
        }
    }
}

bool StartThread() {
    if (sem_init(&gLive.wake, 0, 0) != 0) {
        return false;
    }
    // Not the capture's real-time priority, which it would inherit: this thread waits for
    // storage, and runs when the capture can spare the processor.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    struct sched_param normal;
    memset(&normal, 0, sizeof normal);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
    pthread_attr_setschedparam(&attr, &normal);
    // The capture thread takes the stop signals: its wait for the device is the call they
    // interrupt.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    gLive.threaded = pthread_create(&gLive.thread, &attr, ConsoleMain, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!gLive.threaded) {
        sem_destroy(&gLive.wake);
    }
    return gLive.threaded;
}

}  // namespace

void ConsoleBegin(int fd) {
    fflush(stdout);
    Reset();
    gLive.on = true;
    gLive.fd = gLive.writeFd = fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return;  // written as it comes, and gone at the first failure
    }
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        // Written through the descriptor we were given, at its offset: a description of
        // our own would start at the beginning. Without a thread, written as it comes,
        // waiting for the storage like any program printing to a file.
        StartThread();
        return;
    }
    // The non-blocking flag belongs to an open file description, which the shell and the
    // programs around us share: set it on a description of our own.
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        gLive.writeFd = own;
        gLive.ownFd = true;
    } else {
        gLive.pollFirst = true;
    }
}

void ConsoleText(const char* text, std::size_t n, ConsoleLine line) {
    if (!gLive.on) {
        fwrite(text, 1, n, stdout);
        return;
    }
    if (gLive.gone) {
        return;
    }
    if (!gLive.threaded) {
        DrainNow();
    }
    if (!Settle() || !Hold(text, n, 0)) {
        if (line == ConsoleLine::Kept) {
            KeepAside(text, n);
        } else {
            ++gLive.dropped;
        }
    }
    if (gLive.threaded) {
        WakeWhenDue();
    } else {
        DrainNow();
    }
}

void ConsoleRedraw(const char* text, std::size_t n) {
    if (!gLive.on) {
        fwrite(text, 1, n, stdout);
        fflush(stdout);
        return;
    }
    if (gLive.gone || n > kHeldBytes) {
        return;
    }
    if (gLive.threaded) {
        // Redraws are held while half the room stays free for the lines.
        if (Settle()) {
            Hold(text, n, kHeldBytes / 2);
        }
        WakeWhenDue();
        return;
    }
    DrainNow();
    const bool settled = Settle();
    DrainNow();
    if (!settled || gLive.gone || HeldBytes() > 0) {
        return;
    }
    const long w = TryWrite(text, n);
    if (w > 0 && static_cast<std::size_t>(w) < n) {
        // Part of the line is out: the rest must follow, or the console line is torn. It
        // fits, as nothing else is held.
        Hold(text + w, n - static_cast<std::size_t>(w), 0);
    }
}

void ConsoleEnd() {
    if (!gLive.on) {
        return;
    }
    if (gLive.threaded) {
        gLive.stopping = true;
        Wake();
        pthread_join(gLive.thread, nullptr);
        sem_destroy(&gLive.wake);
    }
    // The text is this thread's alone now; what is owed fits once the rest is out.
    DrainWaiting(gLive.fd);
    if (!gLive.gone && Settle()) {
        DrainWaiting(gLive.fd);
    }
    if (gLive.ownFd) {
        close(gLive.writeFd);
    }
    Reset();
}
