// The queue between the capture thread and the writer thread: captured periods wait in
// slots until the writer hands them to storage, so that a storage stall never holds up the
// reads from the device. Everything is allocated before capturing; the capture side never
// waits for the writer while the device could overflow.
//
// Costs on a board that records in real time: the writer is woken once per batch, about a
// second of audio, not once per period, and hands storage the whole batch at once. The
// slot freed last is the one taken next, so the few slots in use stay in the cache and the
// rest of the queue is never touched: it becomes resident only when a stall needs it, and
// stays locked in memory from then on.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// The most periods the writer hands to storage at once.
constexpr int kBatchMaxPeriods = 64;

// One run of a batch: `silenceBefore` whole periods of silence (periods the capture side
// had to drop), then `frames` frames of audio in the device's layout (none when null).
// Storage may rearrange the audio in place: the slot is its own until the write returns.
struct BatchPart {
    int silenceBefore;
    uint8_t* audio;
    int frames;
    // When the first frame of `audio` was captured: nanoseconds since the Unix epoch, UTC;
    // 0 when not known.
    int64_t utcNs;
};

// Where the writer puts the audio. Called on the writer thread only (on the capture thread
// when no thread could be had).
struct QueueStorage {
    void* context = nullptr;
    // Writes `count` parts (at most kBatchMaxPeriods) in order. False once a file could not
    // be written.
    bool (*write)(void* context, const BatchPart* parts, int count) = nullptr;
    // Makes what was written durable and has the headers announce it, the headers
    // themselves made durable at once with `sync`. False on a failure. Called before a
    // batch is written, at most once per header interval, and with `sync` once an interval
    // after the last write when no batch follows it.
    bool (*updateHeaders)(void* context, bool sync) = nullptr;
};

// The time the writer goes by to update the headers: nanoseconds on a clock that only
// moves forward.
struct QueueClock {
    void* context = nullptr;
    int64_t (*nowNs)(void* context) = nullptr;
};

struct QueueShape {
    size_t slotBytes = 0;       // bytes of one period
    uint32_t slots = 0;         // periods the queue holds, at least 3
    uint32_t batchPeriods = 1;  // periods the writer is woken for, 1..kBatchMaxPeriods
    int64_t headerIntervalNs = 1000000000;
};

constexpr uint32_t kNoSlot = UINT32_MAX;

struct QueueEntry {
    uint32_t slot;      // slot holding the audio, kNoSlot for none
    int frames;         // frames of audio in the slot
    int silenceBefore;  // periods the capture side had to drop just before this one
    bool end;           // nothing follows
    int64_t utcNs;      // capture time of the first frame (BatchPart::utcNs)
};

struct Unmapper {
    size_t bytes = 0;
    void operator()(uint8_t* p) const;
};
using Mapping = std::unique_ptr<uint8_t, Unmapper>;

struct CFree {
    void operator()(void* p) const { free(p); }
};

// Where the recording went on: the writer reports each join to a file, and the capture
// thread shows it in order with its redraws, so the writer never touches the console. One
// producer (the writer), one consumer (the capture side). A join comes at most once a
// period per file and the capture side looks every period, so the notes outnumber what can
// pile up; when they are all unread the newest is dropped rather than waited for.
struct JoinNotes {
    static constexpr uint32_t kNotes = 64;
    std::string names[kNotes];     // where the recording went on
    std::string finished[kNotes];  // the file it left, now complete
    std::atomic<uint32_t> posted{0};
    std::atomic<uint32_t> shown{0};
};

// Writer side: reports a join from `finished` to `name`. False when every note is still
// unread.
bool PostJoin(JoinNotes& notes, const std::string& finished, const std::string& name);

// Capture side: where the oldest join not shown yet went on, or null; in `finished`, when
// given, the file it left. ShownJoin() once it is shown.
const std::string* NextJoin(JoinNotes& notes, const std::string** finished = nullptr);
void ShownJoin(JoinNotes& notes);

struct PeriodQueue {
    QueueStorage storage;
    QueueClock clock;
    QueueShape shape;
    Mapping data;                             // the slots
    std::unique_ptr<QueueEntry, CFree> ring;  // slots + 1 entries, in capture order
    std::unique_ptr<uint32_t, CFree> stack;   // capture side: free slots, freed last on top
    uint32_t stacked = 0;
    // Positions in the ring, counted from the start. Before `tail` the writer is done; before
    // `announced` the entries are the writer's; `head` is the next the capture side fills.
    std::atomic<uint32_t> announced{0};
    std::atomic<uint32_t> tail{0};
    uint32_t head = 0;           // capture side
    uint32_t reclaimed = 0;      // capture side: slots before it are back on the stack
    uint32_t current = kNoSlot;  // capture side: the slot being filled
    int pendingSilence = 0;      // capture side: dropped periods not yet announced
    // Posted once per batch for the writer; and the free slots the capture side may take,
    // one kept back for the period it still measures after handing it over.
    sem_t wake;
    sem_t freed;
    bool semaphores = false;
    pthread_t thread{};
    bool threaded = false;
    std::atomic<bool> failed{false};
    BatchPart parts[kBatchMaxPeriods];  // writer side
    JoinNotes joins;
    int64_t lastHeaderNs = 0;  // writer side: when the headers were last updated
    bool unannounced = false;  // writer side: audio written after that update
    int64_t lastWriteNs = 0;   // writer side: when audio was last written
};

// Sets the queue up and starts the writer. Without a thread the periods are written as they
// come. Returns false when the memory cannot be had.
bool StartWriter(PeriodQueue& q, const QueueShape& shape, const QueueStorage& storage,
                 const QueueClock& clock);

// The slot to capture the next period into, or null when the writer is that far behind.
// The same slot until it is published.
uint8_t* FreeSlot(PeriodQueue& q);

// Waits up to `ms` milliseconds for the writer to free a slot.
uint8_t* WaitForFreeSlot(PeriodQueue& q, int ms);

// Hands the slot returned by FreeSlot, holding `frames` frames captured from `utcNs` on
// (BatchPart::utcNs), to the writer. The capture
// side may still read it until it publishes the next one: only then does the writer see it.
void Publish(PeriodQueue& q, int frames, int64_t utcNs = 0);

// Hands everything published so far to the writer, the period published last included,
// when no period has come for a while: audio captured long ago must not wait in memory for
// the next one. The capture side must be done with that period.
void HandOverAll(PeriodQueue& q);

// A period the queue had no room for: the writer puts silence in its place.
inline void NoteDropped(PeriodQueue& q) {
    ++q.pendingSilence;
}

// True once storage failed; the writer then writes nothing more.
inline bool WriterFailed(const PeriodQueue& q) {
    return q.failed.load(std::memory_order_acquire);
}

// Lets the writer finish what is queued, the silence still pending included, and waits for
// it.
void StopWriter(PeriodQueue& q);
