#include "writer.h"

#include <sys/mman.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

constexpr int64_t kHeaderIntervalNs = 1000000000;

int64_t MonotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void WriteEntry(PeriodQueue& q, const QueueEntry& e, const uint8_t* audio) {
    Session& s = *q.session;
    if (q.failed.load(std::memory_order_relaxed)) {
        return;
    }
    bool ok = true;
    for (int i = 0; ok && i < e.silenceBefore; ++i) {
        ok = WritePeriod(s, q.zeros.get(), s.period, q.scratch.get());
    }
    if (ok && e.frames > 0) {
        ok = WritePeriod(s, audio, e.frames, q.scratch.get());
    }
    // Once a second of wall-clock time, so that a power cut costs at most about two
    // seconds of a file's header (one sync per update: it makes the previous header and
    // all audio before this one durable), and a source faster than real time is not
    // slowed down by syncs.
    const int64_t now = MonotonicNs();
    if (ok && now - q.lastHeaderNs >= kHeaderIntervalNs) {
        q.lastHeaderNs = now;
        ok = UpdateHeaders(s, false);
    }
    if (!ok) {
        q.failed.store(true, std::memory_order_release);
    }
}

void* WriterMain(void* arg) {
    PeriodQueue& q = *static_cast<PeriodQueue*>(arg);
    for (;;) {
        while (sem_wait(&q.filled) != 0) {
        }
        const uint32_t t = q.tail.load(std::memory_order_relaxed);
        const QueueEntry e = q.entries[t % q.capacity];
        WriteEntry(q, e, q.data.get() + static_cast<size_t>(t % q.capacity) * q.slotBytes);
        q.tail.store(t + 1, std::memory_order_release);
        sem_post(&q.freed);
        if (e.end) {
            return nullptr;
        }
    }
}

uint8_t* SlotAt(PeriodQueue& q, uint32_t index) {
    return q.data.get() + static_cast<size_t>(index % q.capacity) * q.slotBytes;
}

Buffer Allocate(size_t bytes) {
    return Buffer(static_cast<uint8_t*>(calloc(bytes, 1)));
}

}  // namespace

bool StartWriter(PeriodQueue& q, Session& s, double seconds) {
    q.session = &s;
    q.slotBytes = PeriodBytes(s);
    const double periods = seconds * s.request->rate / s.period;
    q.capacity = static_cast<uint32_t>(periods) + 3;
    q.data = Allocate(q.capacity * q.slotBytes);
    q.entryData = Allocate(q.capacity * sizeof(QueueEntry));
    q.scratch = Allocate(q.slotBytes);
    q.zeros = Allocate(q.slotBytes);
    if (!q.data || !q.entryData || !q.scratch || !q.zeros) {
        return false;
    }
    q.entries = reinterpret_cast<QueueEntry*>(q.entryData.get());
    q.lastHeaderNs = MonotonicNs();
    // Keep the queue in memory: a page fault on it would stall the capture like the
    // storage it is there to hide. Not allowed everywhere; it works without.
    mlock(q.data.get(), q.capacity * q.slotBytes);

    if (sem_init(&q.filled, 0, 0) != 0 || sem_init(&q.freed, 0, 0) != 0) {
        return true;  // written as captured
    }
    q.semaphores = true;
    // The capture thread takes the stop signals: its blocked read must be the call they
    // interrupt.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    q.threaded = pthread_create(&q.thread, nullptr, WriterMain, &q) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

uint8_t* FreeSlot(PeriodQueue& q) {
    const uint32_t h = q.head.load(std::memory_order_relaxed);
    // One slot stays unused: the capture side still measures the period before this one.
    if (h - q.tail.load(std::memory_order_acquire) >= q.capacity - 1) {
        return nullptr;
    }
    return SlotAt(q, h);
}

uint8_t* WaitForFreeSlot(PeriodQueue& q, int ms) {
    if (!q.threaded) {
        return FreeSlot(q);
    }
    // On the monotonic clock: boards without a battery-backed clock often have their wall
    // clock set while recording, and a deadline on it could then lie hours away.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(ms) * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    uint8_t* slot;
    while ((slot = FreeSlot(q)) == nullptr) {
        if (sem_clockwait(&q.freed, CLOCK_MONOTONIC, &deadline) != 0 && errno == ETIMEDOUT) {
            return FreeSlot(q);
        }
    }
    return slot;
}

void Publish(PeriodQueue& q, int frames) {
    const uint32_t h = q.head.load(std::memory_order_relaxed);
    q.entries[h % q.capacity] = {frames, q.pendingSilence, false};
    q.pendingSilence = 0;
    if (!q.threaded) {
        WriteEntry(q, q.entries[h % q.capacity], SlotAt(q, h));
        q.head.store(h + 1, std::memory_order_relaxed);
        q.tail.store(h + 1, std::memory_order_relaxed);
        return;
    }
    q.head.store(h + 1, std::memory_order_release);
    sem_post(&q.filled);
}

void StopWriter(PeriodQueue& q) {
    if (!q.threaded) {
        if (q.pendingSilence > 0) {
            WriteEntry(q, {0, q.pendingSilence, true}, nullptr);
        }
    } else {
        // The end marker needs a slot like any period: the capture is over, so waiting for
        // the writer costs nothing now.
        while (FreeSlot(q) == nullptr) {
            while (sem_wait(&q.freed) != 0) {
            }
        }
        const uint32_t h = q.head.load(std::memory_order_relaxed);
        q.entries[h % q.capacity] = {0, q.pendingSilence, true};
        q.pendingSilence = 0;
        q.head.store(h + 1, std::memory_order_release);
        sem_post(&q.filled);
        pthread_join(q.thread, nullptr);
        q.threaded = false;
    }
    if (q.semaphores) {
        sem_destroy(&q.filled);
        sem_destroy(&q.freed);
        q.semaphores = false;
    }
    if (q.data) {
        munlock(q.data.get(), q.capacity * q.slotBytes);
    }
}
