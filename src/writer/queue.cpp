#include "queue.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

void Unmapper::operator()(uint8_t* p) const {
    munmap(p, bytes);
}

namespace {

QueueEntry& EntryAt(PeriodQueue& q, uint32_t position) {
    return q.ring.get()[position % (q.shape.slots + 1)];
}

uint8_t* SlotData(PeriodQueue& q, uint32_t slot) {
    return q.data.get() + static_cast<size_t>(slot) * q.shape.slotBytes;
}

// Brings the headers up to date when the interval has passed since the last update, then
// hands `count` parts to storage. Each update's sync makes the previous header and all the
// audio before this batch durable, and the new header announces that audio: once a second,
// a header trails the synced audio by about a second, and a source faster than real time
// is not slowed down by syncs. Before the batch, not after it: storage starts writing a
// batch back as it takes it, so the sync a second later finds it on the disk already
// instead of waiting for it.
void WriteParts(PeriodQueue& q, int count) {
    if (q.failed.load(std::memory_order_relaxed)) {
        return;
    }
    bool ok = true;
    const int64_t now = q.clock.nowNs(q.clock.context);
    if (now - q.lastHeaderNs >= q.shape.headerIntervalNs) {
        q.lastHeaderNs = now;
        ok = q.storage.updateHeaders(q.storage.context, false);
        q.unannounced = false;
    }
    if (ok && count > 0) {
        ok = q.storage.write(q.storage.context, q.parts, count);
        q.unannounced = true;
        q.lastWriteNs = now;
    }
    if (!ok) {
        q.failed.store(true, std::memory_order_release);
    }
}

// Writes every entry handed over so far, kBatchMaxPeriods at a time, and frees their slots.
// Returns true once the end entry is written.
bool Drain(PeriodQueue& q) {
    const uint32_t until = q.announced.load(std::memory_order_acquire);
    uint32_t t = q.tail.load(std::memory_order_relaxed);
    bool end = false;
    while (t != until) {
        int count = 0;
        unsigned slots = 0;
        for (int taken = 0; t != until && taken < kBatchMaxPeriods; ++t, ++taken) {
            const QueueEntry& e = EntryAt(q, t);
            const bool audio = e.slot != kNoSlot;
            if (e.silenceBefore > 0 || (audio && e.frames > 0)) {
                q.parts[count++] = {e.silenceBefore, audio ? SlotData(q, e.slot) : nullptr,
                                    audio ? e.frames : 0, e.utcNs};
            }
            slots += audio ? 1 : 0;
            end = end || e.end;
        }
        WriteParts(q, count);
        // The entries are the capture side's again from here on: only what was counted
        // before is posted.
        q.tail.store(t, std::memory_order_release);
        for (; slots > 0; --slots) {
            sem_post(&q.freed);
        }
    }
    return end;
}

// Waits for the next batch. While audio written is not yet announced by a header, only
// until half an interval more than a batch takes to come has passed since the last write:
// then the headers are brought up to date and made durable, so audio written before a
// source stopped delivering is safe within an interval or two. While batches keep coming
// (about one an interval) they bring the updates, and the wait costs no wake-up of its own.
// Returns false when it timed out.
bool WaitForBatch(PeriodQueue& q) {
    if (!q.unannounced || q.failed.load(std::memory_order_relaxed)) {
        while (sem_wait(&q.wake) != 0) {
        }
        return true;
    }
    // The writer's clock gives the time left; the wait itself runs on the monotonic clock,
    // which a wall clock set meanwhile cannot move.
    const int64_t interval = q.shape.headerIntervalNs;
    const int64_t due = std::max(q.lastHeaderNs + interval, q.lastWriteNs + interval * 3 / 2);
    const int64_t left = due - q.clock.nowNs(q.clock.context);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const int64_t ns = deadline.tv_nsec + (left > 0 ? left : 0);
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    int r;
    while ((r = sem_clockwait(&q.wake, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
    }
    return r == 0;
}

void RefreshHeaders(PeriodQueue& q) {
    const int64_t now = q.clock.nowNs(q.clock.context);
    if (now - q.lastHeaderNs < q.shape.headerIntervalNs) {
        return;
    }
    q.lastHeaderNs = now;
    q.unannounced = false;
    if (!q.storage.updateHeaders(q.storage.context, true)) {
        q.failed.store(true, std::memory_order_release);
    }
}

void* WriterMain(void* arg) {
    PeriodQueue& q = *static_cast<PeriodQueue*>(arg);
    bool end = false;
    while (!end) {
        if (WaitForBatch(q)) {
            end = Drain(q);
        } else {
            RefreshHeaders(q);
        }
    }
    return nullptr;
}

// Hands the entries before `until` to the writer.
void Announce(PeriodQueue& q, uint32_t until) {
    q.announced.store(until, std::memory_order_release);
    if (q.threaded) {
        sem_post(&q.wake);
    } else {
        Drain(q);
    }
}

// Takes a free slot; the caller has taken its count from `freed`. The slots the writer
// freed go on the stack in the order it wrote them, so the one freed last is taken first.
// The period handed over last stays off the stack: the capture side still measures it.
uint8_t* TakeSlot(PeriodQueue& q) {
    const uint32_t t = q.tail.load(std::memory_order_acquire);
    const uint32_t bound = q.head == 0 ? 0 : (t < q.head - 1 ? t : q.head - 1);
    for (; q.reclaimed < bound; ++q.reclaimed) {
        const uint32_t slot = EntryAt(q, q.reclaimed).slot;
        if (slot != kNoSlot) {
            q.stack.get()[q.stacked++] = slot;
        }
    }
    q.current = q.stack.get()[--q.stacked];
    return SlotData(q, q.current);
}

}  // namespace

bool StartWriter(PeriodQueue& q, const QueueShape& shape, const QueueStorage& storage,
                 const QueueClock& clock) {
    q.shape = shape;
    q.storage = storage;
    q.clock = clock;
    const size_t bytes = static_cast<size_t>(shape.slots) * shape.slotBytes;
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) {
        return false;
    }
    q.data = Mapping(static_cast<uint8_t*>(data), Unmapper{bytes});
    q.ring.reset(static_cast<QueueEntry*>(calloc(shape.slots + 1, sizeof(QueueEntry))));
    q.stack.reset(static_cast<uint32_t*>(calloc(shape.slots, sizeof(uint32_t))));
    if (!q.ring || !q.stack) {
        return false;
    }
    // The first slot on top: a writer that keeps up only ever sees the first few.
    for (uint32_t i = 0; i < shape.slots; ++i) {
        q.stack.get()[i] = shape.slots - 1 - i;
    }
    q.stacked = shape.slots;
    // Each page is locked in memory once touched: a page of the queue swapped out would
    // stall the capture like the storage it is there to hide, and pages never touched cost
    // nothing. Not allowed everywhere; it works without.
    mlock2(data, bytes, MLOCK_ONFAULT);

    if (sem_init(&q.wake, 0, 0) != 0) {
        return false;
    }
    if (sem_init(&q.freed, 0, shape.slots - 1) != 0) {
        sem_destroy(&q.wake);
        return false;
    }
    q.semaphores = true;
    q.lastHeaderNs = clock.nowNs(clock.context);
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
    if (q.current != kNoSlot) {
        return SlotData(q, q.current);
    }
    return sem_trywait(&q.freed) == 0 ? TakeSlot(q) : nullptr;
}

uint8_t* WaitForFreeSlot(PeriodQueue& q, int ms) {
    if (uint8_t* slot = FreeSlot(q)) {
        return slot;
    }
    if (!q.threaded) {
        return nullptr;
    }
    // On the monotonic clock: boards without a battery-backed clock often have their wall
    // clock set while recording, and a deadline on it could then lie hours away.
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(ms) * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return sem_clockwait(&q.freed, CLOCK_MONOTONIC, &deadline) == 0 ? TakeSlot(q) : nullptr;
}

void Publish(PeriodQueue& q, int frames, int64_t utcNs) {
    EntryAt(q, q.head) = {q.current, frames, q.pendingSilence, false, utcNs};
    q.current = kNoSlot;
    q.pendingSilence = 0;
    ++q.head;
    // The period just published stays back: the capture side measures it after reading the
    // next one, and storage may rearrange what it is handed.
    const uint32_t ready = q.head - 1;
    // Signed: after HandOverAll the writer may have been handed more than `ready`.
    const auto waiting = static_cast<int32_t>(ready - q.announced.load(std::memory_order_relaxed));
    if (waiting >= static_cast<int32_t>(q.shape.batchPeriods)) {
        Announce(q, ready);
    }
}

void HandOverAll(PeriodQueue& q) {
    if (q.announced.load(std::memory_order_relaxed) != q.head) {
        Announce(q, q.head);
    }
}

bool PostJoin(JoinNotes& notes, const std::string& finished, const std::string& name) {
    const uint32_t posted = notes.posted.load(std::memory_order_relaxed);
    if (posted - notes.shown.load(std::memory_order_acquire) >= JoinNotes::kNotes) {
        return false;
    }
    notes.names[posted % JoinNotes::kNotes] = name;
    notes.finished[posted % JoinNotes::kNotes] = finished;
    notes.posted.store(posted + 1, std::memory_order_release);
    return true;
}

const std::string* NextJoin(JoinNotes& notes, const std::string** finished) {
    const uint32_t shown = notes.shown.load(std::memory_order_relaxed);
    if (shown == notes.posted.load(std::memory_order_acquire)) {
        return nullptr;
    }
    if (finished != nullptr) {
        *finished = &notes.finished[shown % JoinNotes::kNotes];
    }
    return &notes.names[shown % JoinNotes::kNotes];
}

void ShownJoin(JoinNotes& notes) {
    notes.shown.store(notes.shown.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void StopWriter(PeriodQueue& q) {
    if (!q.semaphores) {
        return;
    }
    // The end needs no slot: the ring has one entry more than there are slots.
    EntryAt(q, q.head) = {kNoSlot, 0, q.pendingSilence, true, 0};
    q.pendingSilence = 0;
    ++q.head;
    Announce(q, q.head);
    if (q.threaded) {
        pthread_join(q.thread, nullptr);
        q.threaded = false;
    }
    sem_destroy(&q.wake);
    sem_destroy(&q.freed);
    q.semaphores = false;
}
