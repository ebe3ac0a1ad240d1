// The queue between capture and writer, in-process: storage and clock are stand-ins, each
// period carries its number in its first bytes.
#include "queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

namespace {

struct FakeStorage {
    std::mutex m;
    std::condition_variable cv;
    bool open = true;  // closed: every write waits, as on a stalled card
    bool fail = false;
    std::vector<int> periods;           // what was written: each period's number, -1 for silence
    std::vector<int> batches;           // periods per write, silence included
    std::vector<size_t> headerUpdates;  // periods written at each update
    std::atomic<int64_t> now{0};
};

bool Write(void* context, const BatchPart* parts, int count) {
    FakeStorage& f = *static_cast<FakeStorage*>(context);
    std::unique_lock<std::mutex> lock(f.m);
    f.cv.wait(lock, [&] { return f.open; });
    const size_t before = f.periods.size();
    for (int i = 0; i < count; ++i) {
        f.periods.insert(f.periods.end(), static_cast<size_t>(parts[i].silenceBefore), -1);
        if (parts[i].audio != nullptr) {
            int number;
            memcpy(&number, parts[i].audio, sizeof number);
            EXPECT_EQ(parts[i].frames, number + 1);
            f.periods.push_back(number);
        }
    }
    f.batches.push_back(static_cast<int>(f.periods.size() - before));
    return !f.fail;
}

bool Headers(void* context, bool) {
    FakeStorage& f = *static_cast<FakeStorage*>(context);
    std::lock_guard<std::mutex> lock(f.m);
    f.headerUpdates.push_back(f.periods.size());
    return true;
}

int64_t Now(void* context) {
    return static_cast<FakeStorage*>(context)->now.load();
}

void Start(PeriodQueue& q, FakeStorage& f, uint32_t slots, uint32_t batch) {
    const QueueShape shape = {sizeof(int), slots, batch, 1000};
    ASSERT_TRUE(StartWriter(q, shape, {&f, Write, Headers}, {&f, Now}));
    ASSERT_TRUE(q.threaded);
}

// Captures period `number` as the capture loop does. Returns its slot, null when none is
// free.
uint8_t* Capture(PeriodQueue& q, int number, const uint8_t* handedOver = nullptr) {
    uint8_t* slot = FreeSlot(q);
    if (slot != nullptr) {
        // The period handed over last is still measured after the next one is read.
        EXPECT_NE(slot, handedOver);
        memcpy(slot, &number, sizeof number);
        Publish(q, number + 1);
    }
    return slot;
}

// Waits until the writer is done with what it was handed.
void Settle(const PeriodQueue& q) {
    while (q.tail.load() != q.announced.load()) {
        std::this_thread::yield();
    }
}

TEST(PeriodQueue, PeriodsAndSilenceInOrderInFewSlotsAndBatches) {
    struct Case {
        const char* name;
        uint32_t slots, batch;
        const char* script;  // P: a period captured, D: one dropped
        size_t slotsUsed;    // the writer keeps up: the slots freed last come back
        std::vector<int> batches;
    };
    const Case cases[] = {
        {"one per batch, wrapping", 8, 1, "PPPPPPPPPP", 2, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"batches of three", 12, 3, "PPPPPPPPPP", 4, {3, 3, 3, 1}},
        {"silence between and at the end", 5, 2, "PPDPPDDPDD", 3, {2, 3, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStorage f;
        PeriodQueue q;
        Start(q, f, c.slots, c.batch);
        std::vector<int> expected;
        std::set<const uint8_t*> used;
        const uint8_t* last = nullptr;
        int number = 0;
        for (const char* a = c.script; *a != '\0'; ++a) {
            if (*a == 'D') {
                NoteDropped(q);
                expected.push_back(-1);
                continue;
            }
            last = Capture(q, number, last);
            ASSERT_NE(last, nullptr);
            used.insert(last);
            expected.push_back(number);
            Settle(q);
            // The period just published stays with the capture side until the next one is.
            std::lock_guard<std::mutex> lock(f.m);
            EXPECT_EQ(std::count(f.periods.begin(), f.periods.end(), number++), 0);
        }
        StopWriter(q);
        EXPECT_EQ(f.periods, expected);
        EXPECT_EQ(used.size(), c.slotsUsed);
        EXPECT_EQ(f.batches, c.batches);
    }
}

TEST(PeriodQueue, FullQueueHoldsEveryPeriodThenSilenceForWhatItCouldNotTake) {
    FakeStorage f;
    f.open = false;
    PeriodQueue q;
    Start(q, f, 100, 1);
    int number = 0;
    while (Capture(q, number) != nullptr) {
        ++number;
    }
    EXPECT_EQ(number, 99);  // one slot stays with the capture side
    EXPECT_EQ(WaitForFreeSlot(q, 5), nullptr);
    for (int i = 0; i < 3; ++i) {
        NoteDropped(q);
    }
    {
        std::lock_guard<std::mutex> lock(f.m);
        f.open = true;
    }
    f.cv.notify_all();
    ASSERT_NE(WaitForFreeSlot(q, 5000), nullptr);
    ASSERT_NE(Capture(q, number), nullptr);
    NoteDropped(q);
    StopWriter(q);

    std::vector<int> expected(99);
    std::iota(expected.begin(), expected.end(), 0);
    expected.insert(expected.end(), {-1, -1, -1, 99, -1});
    EXPECT_EQ(f.periods, expected);
    // The backlog goes to storage in batches as large as it may take.
    EXPECT_EQ(*std::max_element(f.batches.begin(), f.batches.end()), kBatchMaxPeriods);
}

TEST(PeriodQueue, HeadersFollowTheWrittenAudioOncePerInterval) {
    FakeStorage f;
    PeriodQueue q;
    Start(q, f, 4, 1);
    const int64_t times[] = {500, 999, 1000, 1500, 2000, 2999, 3100};
    int number = 0;
    for (int64_t t : times) {
        f.now = t;
        ASSERT_NE(Capture(q, number++), nullptr);
        Settle(q);
    }
    StopWriter(q);
    // Each update comes before the batch that is due (a period is handed over once the
    // next one is published): it announces what earlier batches stored.
    EXPECT_EQ(f.headerUpdates, (std::vector<size_t>{1, 3, 5}));
}

TEST(PeriodQueue, AudioLeftWithoutANextPeriodIsWrittenAndAnnouncedByTime) {
    FakeStorage f;
    PeriodQueue q;
    Start(q, f, 8, 4);
    for (int number = 0; number < 3; ++number) {
        ASSERT_NE(Capture(q, number), nullptr);
    }
    // No batch is due and no period follows: the capture side hands over what it has, and
    // once an interval passes the writer announces it by itself.
    HandOverAll(q);
    Settle(q);
    f.now = 1000;
    for (int tries = 0; tries < 5000; ++tries) {
        std::lock_guard<std::mutex> lock(f.m);
        if (!f.headerUpdates.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> lock(f.m);
        EXPECT_EQ(f.periods, (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(f.headerUpdates, std::vector<size_t>{3});
    }
    // Nothing is handed over twice.
    ASSERT_NE(Capture(q, 3), nullptr);
    StopWriter(q);
    EXPECT_EQ(f.periods, (std::vector<int>{0, 1, 2, 3}));
}

TEST(PeriodQueue, FailedStorageGetsNothingMoreAndTheCaptureGoesOn) {
    FakeStorage f;
    f.fail = true;
    PeriodQueue q;
    Start(q, f, 4, 1);
    for (int number = 0; number < 10; ++number) {
        ASSERT_NE(Capture(q, number), nullptr) << number;
        Settle(q);
    }
    EXPECT_TRUE(WriterFailed(q));
    StopWriter(q);
    EXPECT_EQ(f.periods, std::vector<int>{0});
    EXPECT_TRUE(f.headerUpdates.empty());
}

}  // namespace
