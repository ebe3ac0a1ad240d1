// Hands captured periods to a writer thread, so that a storage stall never holds up the
// reads from the device. The queue is allocated once, before capturing; the capture side
// never waits for the writer while the device could overflow.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>

#include "session.h"

struct QueueEntry {
    int frames;         // frames of audio in the slot
    int silenceBefore;  // periods the capture side had to drop just before this one
    bool end;           // nothing follows
};

struct PeriodQueue {
    Session* session = nullptr;
    size_t slotBytes = 0;
    uint32_t capacity = 0;
    Buffer data;       // capacity x slotBytes
    Buffer entryData;  // capacity x QueueEntry
    QueueEntry* entries = nullptr;
    std::atomic<uint32_t> head{0};  // next slot the capture side fills
    std::atomic<uint32_t> tail{0};  // next slot the writer empties
    sem_t filled;
    sem_t freed;
    bool semaphores = false;
    pthread_t thread{};
    bool threaded = false;
    std::atomic<bool> failed{false};
    int pendingSilence = 0;    // capture side: dropped periods not yet announced
    Buffer scratch;            // writer side: rearranged frames
    Buffer zeros;              // writer side: a period of silence
    int64_t lastHeaderNs = 0;  // writer side: when the headers were last brought up to date
};

// Sizes the queue for at least `seconds` of the session's periods and starts the writer.
// Without a thread the periods are written as they come. Returns false when the memory
// cannot be had.
bool StartWriter(PeriodQueue& q, Session& s, double seconds);

// The next free slot to capture into, or null when the writer is that far behind.
uint8_t* FreeSlot(PeriodQueue& q);

// Waits up to `ms` milliseconds for the writer to free a slot.
uint8_t* WaitForFreeSlot(PeriodQueue& q, int ms);

// Hands the slot returned by FreeSlot, holding `frames` frames, to the writer.
void Publish(PeriodQueue& q, int frames);

// A period the queue had no room for: the writer puts silence in its place.
inline void NoteDropped(PeriodQueue& q) {
    ++q.pendingSilence;
}

// True once a file could not be written; the writer then writes nothing more.
inline bool WriterFailed(const PeriodQueue& q) {
    return q.failed.load(std::memory_order_acquire);
}

// Lets the writer finish what is queued and waits for it.
void StopWriter(PeriodQueue& q);
