#include "loop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "console.h"
#include "display.h"
#include "samples.h"

volatile sig_atomic_t gStopRequested = 0;

namespace {

constexpr int64_t kSecondNs = 1000000000;

// How long the device may deliver nothing before the audio captured so far goes to the
// writer without waiting for the next period.
constexpr int64_t kHandOverNs = kSecondNs;

int64_t MonotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * kSecondNs + t.tv_nsec;
}

void WarnClipping(int input) {
    char text[48];
    const int n = snprintf(text, sizeof text, "\nInput Channel %i is Peaking!\n", input + 1);
    ConsoleText(text, static_cast<size_t>(n), ConsoleLine::Droppable);
}

// Measures the period read one iteration earlier (the meter and the peaks run one
// period behind the files), and warns of each input that clipped in it.
void MeasurePeriod(CaptureState& c, const uint8_t* prev) {
    const unsigned sb = c.sampleBytes;
    const bool both = c.inputs == 2;
    if (c.interleavedAccess) {
        int32_t peak[2] = {0, 0};
        if (both) {
            MaxMagnitudePair(prev, c.period, sb, peak);
        } else {
            peak[0] = MaxMagnitudeOfInput(prev, c.period, sb, 0);
        }
        for (int ch = 0; ch < c.inputs; ++ch) {
            c.periodPeak[ch] = 0;
            if (RaisePeak(ch, peak[ch], sb, c.recPeak, c.periodPeak)) {
                WarnClipping(ch);
            }
        }
        return;
    }
    for (int ch = 0; ch < c.inputs; ++ch) {
        const uint8_t* samples = prev + static_cast<size_t>(ch) * c.period * sb;
        c.periodPeak[ch] = 0;
        if (CheckPeak(ch, c.period, sb, c.recPeak, samples, c.periodPeak)) {
            WarnClipping(ch);
        }
    }
}

void MarkOverrun(CaptureState& c) {
    static const char kMark[] = "\nRX\n";
    ConsoleText(kMark, sizeof kMark - 1, ConsoleLine::Droppable);
    ++c.overruns;
}

constexpr int kRecoveryStopped = 1;

// Brings a suspended device back: resume where the driver can, else start afresh.
// Returns 0, kRecoveryStopped when a stop was asked for meanwhile, or the error that
// leaves the device unusable.
int Recover(snd_pcm_t* pcm) {
    int err;
    while ((err = snd_pcm_resume(pcm)) == -EAGAIN) {
        if (gStopRequested) {
            return kRecoveryStopped;
        }
        usleep(10000);
    }
    return err < 0 ? snd_pcm_prepare(pcm) : 0;
}

// When timeline frame `frame` was captured, in nanoseconds since the Unix epoch: by the
// device's own pace where it is known, else by the frames since the start.
int64_t CaptureUtcNs(const CaptureState& c, int64_t frame) {
    const Timeline& t = c.timeline;
    const int64_t from = t.anchorNs >= 0 ? t.anchorFrame : 0;
    const int64_t monoNs = (t.anchorNs >= 0 ? t.anchorNs : t.startNs) +
                           static_cast<int64_t>(static_cast<double>(frame - from) * 1e9 / c.rate);
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t realNs = static_cast<int64_t>(real.tv_sec) * kSecondNs + real.tv_nsec;
    return monoNs + (realNs - MonotonicNs());
}

// Notes where the capture stands in time after a read.
void NoteCaptureTime(CaptureState& c, int64_t frame) {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(c.pcm);
    NoteCaptureTime(c.timeline, frame, avail, static_cast<int64_t>(c.bufferSize), MonotonicNs());
}

// Zeros frames [from, from + n) of a period buffer, in the device's layout.
void SilenceFrames(const CaptureState& c, uint8_t* buf, int from, int n) {
    const size_t sb = c.sampleBytes;
    if (c.interleavedAccess) {
        memset(buf + 2 * from * sb, 0, 2 * n * sb);
        return;
    }
    const size_t half = static_cast<size_t>(c.period) * sb;
    memset(buf + from * sb, 0, n * sb);
    memset(buf + half + from * sb, 0, n * sb);
}

enum class Wait { Ready, Stopped, TimedOut };

// Waits until the device has something to say (frames or an error), a stop is asked for,
// or `untilNs` on the monotonic clock.
Wait WaitForDevice(CaptureState& c, int64_t untilNs) {
    const int64_t left = untilNs - MonotonicNs();
    if (left <= 0) {
        return Wait::TimedOut;
    }
    pollfd* fds = c.pollFds.data();
    const int n = static_cast<int>(c.pollFds.size()) - 1;
    if (snd_pcm_poll_descriptors(c.pcm, fds, static_cast<unsigned>(n)) != n) {
        // No descriptors to wait on: look at the device every few milliseconds instead.
        usleep(5000);
        return gStopRequested ? Wait::Stopped : Wait::Ready;
    }
    const int ms = static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, 1000000));
    const int r = poll(fds, static_cast<nfds_t>(n) + 1, ms);
    if (gStopRequested) {
        return Wait::Stopped;
    }
    if (r == 0) {
        return MonotonicNs() >= untilNs ? Wait::TimedOut : Wait::Ready;
    }
    // Plugins translate what their descriptors said (and acknowledge it) here; the read
    // that follows reports frames or the error either way.
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(c.pcm, fds, static_cast<unsigned>(n), &revents);
    return Wait::Ready;
}

enum class ReadResult { Complete, Stopped, Failed, Idle };

// Handles an overrun or a suspend (`r`) met at timeline frame `at`: restarts the device and
// owes the timeline silence for the time it lost. A device that overruns again before it
// delivered a frame, sooner than its ring could have filled, is a dead source (a sound
// server that is gone yet accepts the restart), not a slow reader.
ReadResult RestartAfter(CaptureState& c, int r, int64_t at) {
    const int64_t now = MonotonicNs();
    const auto ring = std::max<snd_pcm_uframes_t>(c.bufferSize, c.period);
    const int64_t ringNs = static_cast<int64_t>(ring) * kSecondNs / c.rate;
    if (c.restartNs >= 0 && now - c.restartNs < ringNs) {
        c.failure = DeviceFailure::DeadAfterRestart;
        c.deviceError = r;
        return ReadResult::Failed;
    }
    const int err = r == -ESTRPIPE ? Recover(c.pcm) : snd_pcm_prepare(c.pcm);
    if (err == kRecoveryStopped) {
        return ReadResult::Stopped;
    }
    if (err < 0) {
        c.deviceError = err;
        return ReadResult::Failed;
    }
    c.restartNs = MonotonicNs();
    MarkOverrun(c);
    const int restOfPeriod = c.period - static_cast<int>(at % c.period);
    c.owedSilence += LostFrames(c.timeline, at, restOfPeriod, c.restartNs);
    return ReadResult::Complete;
}

// Waits for a device that had nothing to read. Idle once it has delivered nothing for a
// while; Failed once that lasts `silentLimitNs`.
ReadResult AwaitFrames(CaptureState& c) {
    const int64_t handOver = c.lastFrameNs + kHandOverNs;
    const int64_t limit = c.lastFrameNs + c.silentLimitNs;
    const Wait w = WaitForDevice(c, c.handedOver ? limit : std::min(handOver, limit));
    if (w == Wait::Stopped) {
        return ReadResult::Stopped;
    }
    if (w == Wait::TimedOut && MonotonicNs() >= limit) {
        c.failure = DeviceFailure::NoAudio;
        return ReadResult::Failed;
    }
    if (w == Wait::TimedOut && !c.handedOver) {
        c.handedOver = true;
        return ReadResult::Idle;
    }
    return ReadResult::Complete;
}

snd_pcm_sframes_t ReadFrames(const CaptureState& c, uint8_t* buf, int got) {
    const size_t sb = c.sampleBytes;
    const auto want = static_cast<snd_pcm_uframes_t>(c.period - got);
    if (c.interleavedAccess) {
        return snd_pcm_readi(c.pcm, buf + 2 * got * sb, want);
    }
    const size_t half = static_cast<size_t>(c.period) * sb;
    void* channels[2] = {buf + got * sb, buf + half + got * sb};
    return snd_pcm_readn(c.pcm, channels, want);
}

// Reads one whole period into `buf`, topping up short reads; `got` is the number of frames
// in the buffer, kept across calls that return Idle. Frames the device lost to an overrun or
// a suspend become silence so the files keep their timeline and never receive stale audio:
// as much of this period as the time lost calls for, and in `gap` the whole periods beyond
// it; the rest goes at the start of the next period. `at` is the timeline frame the period
// starts at.
ReadResult ReadPeriod(CaptureState& c, uint8_t* buf, int64_t at, int& got, int64_t& gap) {
    gap = 0;
    while (got < c.period) {
        if (gStopRequested) {
            return ReadResult::Stopped;
        }
        if (c.owedSilence > 0) {
            const int n = static_cast<int>(std::min<int64_t>(c.owedSilence, c.period - got));
            SilenceFrames(c, buf, got, n);
            got += n;
            c.owedSilence -= n;
            continue;
        }
        const snd_pcm_sframes_t r = ReadFrames(c, buf, got);
        ReadResult result = ReadResult::Complete;
        if (r > 0) {
            got += static_cast<int>(r);
            c.lastFrameNs = MonotonicNs();
            c.restartNs = -1;
            c.handedOver = false;
            NoteCaptureTime(c, at + got);
        } else if (r == 0 || r == -EAGAIN || r == -EINTR) {
            result = AwaitFrames(c);
        } else if (r == -EPIPE || r == -ESTRPIPE) {
            result = RestartAfter(c, static_cast<int>(r), at + got);
        } else {
            c.deviceError = static_cast<int>(r);
            result = ReadResult::Failed;
        }
        if (result != ReadResult::Complete) {
            return result;
        }
    }
    // Whole periods of what is still owed go after this one; the rest opens the next.
    gap = c.period > 0 ? c.owedSilence / c.period : 0;
    c.owedSilence -= gap * c.period;
    return ReadResult::Complete;
}

// Opens the device again as it was opened first. Complete once it is back as before;
// Idle while it cannot be opened; Failed when it opened unable to record as before.
ReadResult Reopen(CaptureState& c) {
    PcmHandle fresh;
    snd_pcm_uframes_t period = 0;
    bool interleaved = false;
    if (!SetupDevice(*c.request, fresh, period, interleaved, true)) {
        if (!fresh) {
            return ReadResult::Idle;
        }
        c.failure = DeviceFailure::OtherParameters;
        return ReadResult::Failed;
    }
    // The queue's periods and the files' layout were made for what it granted first.
    snd_pcm_uframes_t ring = 0, granted = 0;
    if (static_cast<int>(period) != c.period || interleaved != c.interleavedAccess ||
        snd_pcm_get_params(fresh.get(), &ring, &granted) < 0) {
        c.failure = DeviceFailure::OtherParameters;
        return ReadResult::Failed;
    }
    *c.handle = std::move(fresh);
    c.pcm = c.handle->get();
    c.bufferSize = ring;
    return PrepareWaits(c, c.pollFds.back().fd) ? ReadResult::Complete : ReadResult::Failed;
}

// The device failed while reconnection is on: it is closed and opened again about once a
// second until it is back. The time it was gone becomes silence, measured by the clock from
// the last frame it captured, so that every frame after its return sits at its capture time.
// A stop is heard at once; a planned length that runs out meanwhile ends in silence.
ReadResult AwaitReturn(CaptureState& c, int64_t at) {
    static const char kGone[] = "\nDevice gone\n";
    static const char kBack[] = "\nDevice back\n";
    ConsoleText(kGone, sizeof kGone - 1, ConsoleLine::Kept);
    const int64_t goneNs = MonotonicNs();
    ++c.gaps;
    c.pcm = nullptr;
    c.handle->reset();
    pollfd wake = c.pollFds.back();
    for (;;) {
        (void)poll(&wake, 1, 1000);
        const int64_t now = MonotonicNs();
        if (gStopRequested) {
            c.gapNs += now - goneNs;
            return ReadResult::Stopped;
        }
        const int64_t restOfPeriod = c.period - at % c.period;
        const int64_t passed =
            static_cast<int64_t>(static_cast<double>(now - c.lastFrameNs) / 1e9 * c.rate);
        if (at + passed >= c.totalFrames) {
            c.owedSilence = c.totalFrames - at;  // the rest of the recording, whole periods
            c.gapNs += now - goneNs;
            return ReadResult::Complete;
        }
        const ReadResult back = Reopen(c);
        if (back == ReadResult::Idle) {
            continue;
        }
        c.gapNs += MonotonicNs() - goneNs;
        if (back != ReadResult::Complete) {
            return back;
        }
        c.owedSilence += LostFrames(c.timeline, at, static_cast<int>(restOfPeriod), MonotonicNs());
        c.lastFrameNs = MonotonicNs();
        c.restartNs = -1;
        c.handedOver = false;
        ConsoleText(kBack, sizeof kBack - 1, ConsoleLine::Kept);
        return ReadResult::Complete;
    }
}

void ShowProgress(CaptureState& c, int64_t framesDone, int& meterReset) {
    // One write per period: the remaining time and the meter share the console line.
    char line[2 * kDisplayTextMax];
    int n = c.untilStopped ? FormatElapsed(line, sizeof line, framesDone, c.rate)
                           : FormatRemaining(line, sizeof line, c.totalFrames - framesDone, c.rate);
    n += FormatMeter(line + n, sizeof line - static_cast<size_t>(n), c.periodPeak, 45.0f,
                     meterReset, 11.25f, static_cast<int>(c.sampleBytes), c.meterMode, c.holdPeak);
    ConsoleRedraw(line, static_cast<size_t>(n));
}

// Where the next period goes: a free slot of the writer's queue. When the writer is that
// far behind, waiting for it is safe as long as the device can hold what arrives in the
// meantime: always for a source that delivers faster than real time (a file, a test
// device), and while its ring buffer has room for a real one. Past that, the period is
// read into a spare buffer and dropped, so the device itself never overflows and the files
// keep their timeline (the writer puts silence in its place).
uint8_t* NextBuffer(CaptureState& c, PeriodQueue& q, int64_t framesDone) {
    if (uint8_t* slot = FreeSlot(q)) {
        return slot;
    }
    for (;;) {
        const int64_t elapsed = MonotonicNs() - c.timeline.startNs;
        const bool aheadOfTime =
            static_cast<double>(framesDone) > static_cast<double>(elapsed) / 1e9 * c.rate +
                                                  static_cast<double>(c.bufferSize + c.period);
        const snd_pcm_sframes_t avail = c.pcm != nullptr ? snd_pcm_avail_update(c.pcm) : -1;
        const bool room = avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) +
                                                2 * static_cast<snd_pcm_uframes_t>(c.period) <
                                            c.bufferSize;
        if (!aheadOfTime && !room) {
            return nullptr;
        }
        if (uint8_t* slot = WaitForFreeSlot(q, 2)) {
            return slot;
        }
        if (gStopRequested || WriterFailed(q)) {
            return nullptr;
        }
    }
}

// The held peaks shown on the console line: the loudest period of a window of redraws.
// The window is counted in redraws, about three seconds at the usual 4096-frame period;
// a device that grants shorter periods redraws more often and holds for less, so that the
// console reads the same, redraw by redraw, whatever the device.
void UpdateHold(CaptureState& c, int& holdCount) {
    const unsigned holdLen = (3 * c.rate) >> 12;
    ++holdCount;
    for (int ch = 0; ch < c.inputs; ++ch) {
        c.holdPeak[ch] = std::max(c.holdPeak[ch], c.periodPeak[ch]);
    }
    if (static_cast<unsigned>(holdCount) > holdLen) {
        // The new window starts from the peak of the period that closed the old one.
        for (int ch = 0; ch < c.inputs; ++ch) {
            c.holdPeak[ch] = c.periodPeak[ch];
        }
        holdCount = 0;
    }
}

// What the loop carries from one period to the next.
struct Progress {
    const uint8_t* previous;  // the period read last: measured after the next is read
    bool previousMeasured = false;
    int64_t framesDone = 0;
    int holdCount = 0;
    int meterReset = 1;
};

// Reads the next period into `current`. While nothing comes, what was captured before
// goes to the writer, measured first, as the writer may rearrange it. Reconnection is for
// a device that has recorded: one that fails before its first frame is a start that failed,
// left to whoever started nalvo to try again, without a file of silence.
ReadResult ReadNext(CaptureState& c, PeriodQueue& q, Progress& p, uint8_t* current, int& got,
                    int64_t& gap) {
    ReadResult read;
    while ((read = ReadPeriod(c, current, p.framesDone, got, gap)) == ReadResult::Idle ||
           (read == ReadResult::Failed && c.reconnect && p.framesDone + got > 0)) {
        if (!p.previousMeasured) {
            MeasurePeriod(c, p.previous);
            p.previousMeasured = true;
        }
        HandOverAll(q);
        if (read == ReadResult::Failed) {
            read = AwaitReturn(c, p.framesDone + got);
            if (read != ReadResult::Complete) {
                return read;
            }
        }
    }
    return read;
}

// Books a period read in full: measured one behind, handed to the writer (or dropped when
// it had no room), the silence an overrun called for after it, and the redraw.
void Advance(CaptureState& c, PeriodQueue& q, Progress& p, uint8_t* slot, uint8_t* current,
             int64_t gap) {
    if (slot == nullptr) {
        MarkOverrun(c);
        NoteDropped(q);
    }
    if (!p.previousMeasured) {
        MeasurePeriod(c, p.previous);
    }
    p.previousMeasured = false;
    if (slot != nullptr) {
        Publish(q, c.period, CaptureUtcNs(c, p.framesDone));
    }
    p.previous = current;
    p.framesDone += c.period;
    // An overrun longer than the period: silence for the time lost, so what follows sits
    // where it was captured. Never past the planned length.
    for (; gap > 0 && p.framesDone < c.totalFrames; --gap) {
        NoteDropped(q);
        p.framesDone += c.period;
    }
    ShowJoins(q, c.announceFiles);
    ShowProgress(c, p.framesDone, p.meterReset);
    UpdateHold(c, p.holdCount);
}

}  // namespace

bool PrepareWaits(CaptureState& c, int wakeFd) {
    const int n = snd_pcm_poll_descriptors_count(c.pcm);
    if (wakeFd < 0 || n < 0 || snd_pcm_nonblock(c.pcm, 1) < 0) {
        return false;
    }
    c.pollFds.assign(static_cast<size_t>(n) + 1, pollfd{});
    c.pollFds.back() = {wakeFd, POLLIN, 0};
    // Five seconds is far beyond any period or ring a device grants; a ring longer than
    // half of that still gets twice its length.
    const int64_t ringNs = static_cast<int64_t>(c.bufferSize) * kSecondNs / c.rate;
    const int64_t twoRings = (2 * ringNs + kSecondNs - 1) / kSecondNs * kSecondNs;
    c.silentLimitNs = std::max<int64_t>(5 * kSecondNs, twoRings);
    return true;
}

void ShowJoins(PeriodQueue& q, bool finished) {
    const std::string* left = nullptr;
    while (const std::string* name = NextJoin(q.joins, &left)) {
        // One piece, so that the console keeps or drops the line whole.
        char line[8400];
        const int n = finished ? snprintf(line, sizeof line, "\nFinished %s\nContinuing in %s\n",
                                          left->c_str(), name->c_str())
                               : snprintf(line, sizeof line, "\nContinuing in %s\n", name->c_str());
        ConsoleText(line, std::min(static_cast<size_t>(n), sizeof line - 1), ConsoleLine::Kept);
        ShownJoin(q.joins);
    }
}

Ending CaptureLoop(CaptureState& c, PeriodQueue& q, uint8_t* spare[2]) {
    memset(spare[0], 0, PeriodBytes(c));
    memset(spare[1], 0, PeriodBytes(c));
    // The device is already prepared by the hardware parameters; it starts with the first
    // read. Preparing it again would make PulseAudio's plugin build its stream anew, and
    // the first read then spins for seconds on a descriptor that stays readable.
    Progress p;
    p.previous = spare[1];  // the first measurement sees silence
    c.timeline.startNs = c.lastFrameNs = MonotonicNs();
    while (p.framesDone < c.totalFrames) {
        if (gStopRequested) {
            return Ending::Stopped;
        }
        if (WriterFailed(q)) {
            return Ending::WriteFailed;
        }
        uint8_t* slot = NextBuffer(c, q, p.framesDone);
        uint8_t* current = slot != nullptr ? slot : (p.previous == spare[0] ? spare[1] : spare[0]);
        int got = 0;
        int64_t gap = 0;
        const ReadResult read = ReadNext(c, q, p, current, got, gap);
        if (read != ReadResult::Complete) {
            // Keep what the device delivered before the stop or the failure.
            if (slot != nullptr) {
                Publish(q, got, CaptureUtcNs(c, p.framesDone));
            }
            return read == ReadResult::Stopped ? Ending::Stopped : Ending::DeviceFailed;
        }
        Advance(c, q, p, slot, current, gap);
    }
    return gStopRequested ? Ending::Stopped : Ending::Completed;
}
