#include "record.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "console.h"
#include "device.h"
#include "display.h"
#include "frames.h"
#include "queue.h"
#include "samples.h"
#include "session.h"
#include "wav.h"

namespace {

// Set by SIGINT and SIGTERM: the recording ends after the period in progress.
volatile sig_atomic_t gStopRequested = 0;
// Made readable by the same signals: the capture thread waits for the device and for it
// together, so a stop is heard at once even from a device that delivers nothing.
int gWakeFd = -1;

extern "C" void OnStopSignal(int sig) {
    if (gStopRequested) {
        // Asked again while the end is on its way (storage may take long to take the
        // queue): the user wants out now. The headers stand as last brought up to date,
        // true for the audio before them.
        signal(sig, SIG_DFL);
        (void)raise(sig);
        return;
    }
    gStopRequested = 1;
    if (gWakeFd >= 0) {
        const uint64_t one = 1;
        (void)!write(gWakeFd, &one, sizeof one);
    }
}

void InstallSignalHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read blocked on the device returns at once, so a stop does not
    // wait for the next period.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or a dropped ssh session must not end an unattended recording: its
    // length is the one asked for, and the console text after it goes nowhere.
    signal(SIGHUP, SIG_IGN);
    // A file size limit must surface as a write error we can end cleanly on, not a kill
    // that leaves a header announcing data that never came.
    signal(SIGXFSZ, SIG_IGN);
    // A console that goes away (a closed pipe) must not kill the recording with it, nor may
    // a terminal that stops background writers (stty tostop) stop it.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

enum class Ending { Completed, Stopped, DeviceFailed, WriteFailed };

// Measures the period read one iteration earlier (the meter and the peaks run one
// period behind the files).
void MeasurePeriod(Session& s, const uint8_t* prev) {
    const RecordRequest& req = *s.request;
    if (s.interleavedAccess) {
        const bool both = req.interleave == 1 || s.slots[1].enabled;
        int32_t peak[2] = {0, 0};
        if (both) {
            MaxMagnitudePair(prev, s.period, req.sampleBytes, peak);
        } else {
            peak[0] = MaxMagnitudeOfInput(prev, s.period, req.sampleBytes, 0);
        }
        for (int ch = 0; ch < (both ? 2 : 1); ++ch) {
            s.periodPeak[ch] = 0;
            RaisePeak(ch, peak[ch], req.sampleBytes, s.recPeak, s.periodPeak);
        }
        return;
    }
    const uint8_t* right = prev + static_cast<size_t>(s.period) * req.sampleBytes;
    if (req.interleave) {
        s.periodPeak[0] = 0;
        s.periodPeak[1] = 0;
        CheckPeak(0, s.period, req.sampleBytes, s.recPeak, prev, s.periodPeak);
        CheckPeak(1, s.period, req.sampleBytes, s.recPeak, right, s.periodPeak);
        return;
    }
    if (s.slots[0].enabled) {
        s.periodPeak[0] = 0;
        CheckPeak(0, s.period, req.sampleBytes, s.recPeak, prev, s.periodPeak);
    }
    if (s.slots[1].enabled) {
        s.periodPeak[1] = 0;
        CheckPeak(1, s.period, req.sampleBytes, s.recPeak, right, s.periodPeak);
    }
}

void MarkOverrun(Session& s) {
    static const char kMark[] = "\nRX\n";
    ConsoleText(kMark, sizeof kMark - 1, ConsoleLine::Droppable);
    ++s.overruns;
}

int64_t MonotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

constexpr int64_t kSecondNs = 1000000000;

// How long the device may deliver nothing before the audio captured so far is handed to the
// writer without waiting for the next period.
constexpr int64_t kHandOverNs = kSecondNs;

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

// Where the capture stands in time: the timeline frame `frame` was captured at `ns` on the
// monotonic clock. Taken after reads that left the device's ring nearly empty, so that
// only a short stretch of the device's clock is ever compared with ours.
void NoteCaptureTime(Session& s, int64_t frame) {
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(s.pcm);
    if (avail < 0 ||
        static_cast<snd_pcm_uframes_t>(avail) + static_cast<snd_pcm_uframes_t>(s.period) >=
            s.bufferSize) {
        // A source that always has its ring full is not paced by a clock (a file, a fast
        // test device): its time says nothing.
        return;
    }
    s.anchorNs = MonotonicNs() - static_cast<int64_t>(avail) * kSecondNs / s.request->rate;
    s.anchorFrame = frame;
}

// Whether the capture's timeline up to `frame` runs ahead of the time since it started, by
// more than a period: a source faster than real time (a file, a test device), which has no
// clock that could bound anything.
bool AheadOfClock(const Session& s, int64_t frame, int64_t now) {
    const int64_t elapsed = (now - s.startNs) / 1000 * s.request->rate / 1000000;
    return frame > elapsed + s.period;
}

// Frames of silence that stand for what an overrun or a suspend cost, when the device
// restarts now after delivering up to timeline frame `lastFrameRead`: the time that passed
// since that frame was captured, by the monotonic clock, never more. A source faster than
// real time lost, by its own timeline, the rest of the period; so did a source whose capture
// time is not known yet.
int64_t LostFrames(Session& s, int64_t lastFrameRead, int restOfPeriod) {
    const int64_t now = MonotonicNs();
    int64_t lost = restOfPeriod;
    if (s.anchorNs >= 0 && !AheadOfClock(s, lastFrameRead, now)) {
        const int64_t passed = (now - s.anchorNs) / 1000 * s.request->rate / 1000000;
        lost = std::max<int64_t>(0, passed - (lastFrameRead - s.anchorFrame));
    }
    // The device starts again with the next read.
    s.anchorNs = now;
    s.anchorFrame = lastFrameRead + lost;
    return lost;
}

// Zeros frames [from, from + n) of a period buffer, in the device's layout.
void SilenceFrames(const Session& s, uint8_t* buf, int from, int n) {
    const size_t sb = s.request->sampleBytes;
    if (s.interleavedAccess) {
        memset(buf + 2 * from * sb, 0, 2 * n * sb);
        return;
    }
    const size_t half = static_cast<size_t>(s.period) * sb;
    memset(buf + from * sb, 0, n * sb);
    memset(buf + half + from * sb, 0, n * sb);
}

enum class Wait { Ready, Stopped, TimedOut };

// Waits until the device has something to say (frames or an error), a stop is asked for,
// or `untilNs` on the monotonic clock.
Wait WaitForDevice(Session& s, int64_t untilNs) {
    const int64_t left = untilNs - MonotonicNs();
    if (left <= 0) {
        return Wait::TimedOut;
    }
    pollfd* fds = s.pollFds.data();
    const int n = static_cast<int>(s.pollFds.size()) - 1;
    if (snd_pcm_poll_descriptors(s.pcm, fds, static_cast<unsigned>(n)) != n) {
        // No descriptors to wait on: poll the device every few milliseconds instead.
        usleep(5000);
        return gStopRequested ? Wait::Stopped : Wait::Ready;
    }
    const int ms = static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, 1000000));
    const int r = poll(fds, static_cast<nfds_t>(n + 1), ms);
    if (gStopRequested) {
        return Wait::Stopped;
    }
    if (r == 0) {
        return MonotonicNs() >= untilNs ? Wait::TimedOut : Wait::Ready;
    }
    // Plugins translate what their descriptors said (and acknowledge it) here; the read
    // that follows reports frames or the error either way.
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(s.pcm, fds, static_cast<unsigned>(n), &revents);
    return Wait::Ready;
}

enum class ReadResult { Complete, Stopped, Failed, Idle };

// Handles an overrun or a suspend (`r`) met at timeline frame `at`: restarts the device and
// owes the timeline silence for the time it lost. A device that overruns again before it
// delivered a frame, sooner than its ring could have filled, is a dead source (a sound
// server that is gone yet accepts the restart), not a slow reader.
ReadResult RestartAfter(Session& s, int r, int64_t at, int got) {
    const int64_t now = MonotonicNs();
    const int64_t ringNs = static_cast<int64_t>(std::max<snd_pcm_uframes_t>(
                               s.bufferSize, static_cast<snd_pcm_uframes_t>(s.period))) *
                           kSecondNs / s.request->rate;
    if (s.restartNs >= 0 && now - s.restartNs < ringNs) {
        s.failure = DeviceFailure::DeadAfterRestart;
        s.deviceError = r;
        return ReadResult::Failed;
    }
    const int err = r == -ESTRPIPE ? Recover(s.pcm) : snd_pcm_prepare(s.pcm);
    if (err == kRecoveryStopped) {
        return ReadResult::Stopped;
    }
    if (err < 0) {
        s.deviceError = err;
        return ReadResult::Failed;
    }
    s.restartNs = MonotonicNs();
    MarkOverrun(s);
    s.owedSilence += LostFrames(s, at + got, s.period - got);
    return ReadResult::Complete;
}

// Reads one whole period into `buf`, topping up short reads; `got` is the number of frames
// in the buffer, kept across calls that return Idle. Frames the device lost to an overrun or
// a suspend become silence so the files keep their timeline and never receive stale audio:
// as much of this period as the time lost calls for, and in `gap` the whole periods beyond
// it; the rest goes at the start of the next period. `at` is the timeline frame the period
// starts at. Returns Idle once when the device has delivered nothing for a while, and fails
// when it delivers nothing for `s.silentLimitNs`.
ReadResult ReadPeriod(Session& s, uint8_t* buf, int64_t at, int& got, int64_t& gap) {
    const size_t sb = s.request->sampleBytes;
    const size_t half = static_cast<size_t>(s.period) * sb;
    gap = 0;
    while (got < s.period) {
        if (gStopRequested) {
            return ReadResult::Stopped;
        }
        if (s.owedSilence > 0) {
            const int n = static_cast<int>(std::min<int64_t>(s.owedSilence, s.period - got));
            SilenceFrames(s, buf, got, n);
            got += n;
            s.owedSilence -= n;
            continue;
        }
        const auto want = static_cast<snd_pcm_uframes_t>(s.period - got);
        snd_pcm_sframes_t r;
        if (s.interleavedAccess) {
            r = snd_pcm_readi(s.pcm, buf + 2 * got * sb, want);
        } else {
            void* channels[2] = {buf + got * sb, buf + half + got * sb};
            r = snd_pcm_readn(s.pcm, channels, want);
        }
        if (r > 0) {
            got += static_cast<int>(r);
            s.startNs = s.lastFrameNs = MonotonicNs();
            s.restartNs = -1;
            s.handedOver = false;
            NoteCaptureTime(s, at + got);
            continue;
        }
        if (r == 0 || r == -EAGAIN || r == -EINTR) {
            const int64_t handOver = s.lastFrameNs + kHandOverNs;
            const int64_t limit = s.lastFrameNs + s.silentLimitNs;
            const Wait w = WaitForDevice(s, s.handedOver ? limit : std::min(handOver, limit));
            if (w == Wait::Stopped) {
                return ReadResult::Stopped;
            }
            if (w == Wait::TimedOut && MonotonicNs() >= limit) {
                s.failure = DeviceFailure::NoAudio;
                return ReadResult::Failed;
            }
            if (w == Wait::TimedOut && !s.handedOver) {
                s.handedOver = true;
                return ReadResult::Idle;
            }
            continue;
        }
        if (r == -EPIPE || r == -ESTRPIPE) {
            const ReadResult restart = RestartAfter(s, static_cast<int>(r), at, got);
            if (restart != ReadResult::Complete) {
                return restart;
            }
            continue;
        }
        s.deviceError = static_cast<int>(r);
        return ReadResult::Failed;
    }
    gap = s.owedSilence / s.period;
    s.owedSilence -= gap * s.period;
    return ReadResult::Complete;
}

void ShowProgress(Session& s, int64_t framesDone, int& meterReset) {
    const RecordRequest& req = *s.request;
    // One write per period: the remaining time and the meter share the console line.
    char line[2 * kDisplayTextMax];
    int n = FormatRemaining(line, sizeof line, s.totalFrames - framesDone, req.rate);
    const int meterMode = req.interleave ? 2 : req.channels;
    n += FormatMeter(line + n, sizeof line - static_cast<size_t>(n), s.periodPeak, 45.0f,
                     meterReset, 11.25f, static_cast<int>(req.sampleBytes), meterMode, s.holdPeak);
    ConsoleRedraw(line, static_cast<size_t>(n));
}

// Where the next period goes: a free slot of the writer's queue. When the writer is that
// far behind, waiting for it is safe as long as the device can hold what arrives in the
// meantime: always for a source that delivers faster than real time (a file, a test
// device), and while its ring buffer has room for a real one. Past that, the period is
// read into `spare` and dropped, so the device itself never overflows and the files keep
// their timeline (the writer puts silence in its place).
uint8_t* NextBuffer(Session& s, PeriodQueue& q, int64_t framesDone,
                    const struct timespec& started) {
    if (uint8_t* slot = FreeSlot(q)) {
        return slot;
    }
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed = static_cast<double>(now.tv_sec - started.tv_sec) +
                               static_cast<double>(now.tv_nsec - started.tv_nsec) / 1e9;
        const bool aheadOfTime =
            static_cast<double>(framesDone) >
            elapsed * s.request->rate + static_cast<double>(s.bufferSize + s.period);
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(s.pcm);
        const bool room = avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) +
                                                2 * static_cast<snd_pcm_uframes_t>(s.period) <
                                            s.bufferSize;
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

Ending CaptureLoop(Session& s, PeriodQueue& q, uint8_t* spare[2]) {
    const RecordRequest& req = *s.request;
    memset(spare[0], 0, PeriodBytes(s));
    memset(spare[1], 0, PeriodBytes(s));
    // The device is prepared already: installing the hardware parameters prepares it. A
    // second prepare, whose result nothing used, made PulseAudio's plugin build its stream
    // anew, and the first read then spun for seconds on a descriptor that stayed readable.

    // The first measurement sees silence.
    const uint8_t* previous = spare[1];
    bool previousMeasured = false;
    int64_t framesDone = 0;
    int holdCount = 0;
    const unsigned holdLen = (3 * req.rate) >> 12;
    const bool twoInputs = req.interleave == 1 || req.channels == 2;
    int meterReset = 1;
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    s.lastFrameNs = MonotonicNs();

    while (framesDone < s.totalFrames) {
        if (gStopRequested) {
            return Ending::Stopped;
        }
        if (WriterFailed(q)) {
            return Ending::WriteFailed;
        }
        uint8_t* slot = NextBuffer(s, q, framesDone, started);
        uint8_t* current = slot != nullptr ? slot : (previous == spare[0] ? spare[1] : spare[0]);
        int got = 0;
        int64_t gap = 0;
        ReadResult read;
        while ((read = ReadPeriod(s, current, framesDone, got, gap)) == ReadResult::Idle) {
            // Nothing has come for a while: what was captured before goes to the writer
            // now, measured first, as the writer may rearrange it.
            if (!previousMeasured) {
                MeasurePeriod(s, previous);
                previousMeasured = true;
            }
            HandOverAll(q);
        }
        if (read != ReadResult::Complete) {
            // Keep what the device delivered before the stop or the failure.
            if (slot != nullptr) {
                Publish(q, got);
            }
            return read == ReadResult::Stopped ? Ending::Stopped : Ending::DeviceFailed;
        }
        if (slot == nullptr) {
            MarkOverrun(s);
            NoteDropped(q);
        }

        if (!previousMeasured) {
            MeasurePeriod(s, previous);
        }
        previousMeasured = false;
        if (slot != nullptr) {
            Publish(q, s.period);
        }
        previous = current;
        framesDone += s.period;
        // An overrun longer than the period: silence for the time lost, so what follows
        // sits where it was captured. Never past the planned length.
        for (; gap > 0 && framesDone < s.totalFrames; --gap) {
            NoteDropped(q);
            framesDone += s.period;
        }
        ShowProgress(s, framesDone, meterReset);

        ++holdCount;
        if (s.periodPeak[0] > s.holdPeak[0]) {
            s.holdPeak[0] = s.periodPeak[0];
        }
        if (twoInputs && s.periodPeak[1] > s.holdPeak[1]) {
            s.holdPeak[1] = s.periodPeak[1];
        }
        if (static_cast<unsigned>(holdCount) > holdLen) {
            // The new window starts from the peak of the period that closed the old one.
            s.holdPeak[0] = s.periodPeak[0];
            if (twoInputs) {
                s.holdPeak[1] = s.periodPeak[1];
            }
            holdCount = 0;
        }
    }
    return gStopRequested ? Ending::Stopped : Ending::Completed;
}

// Capture matters more than anything else on the board: ask for real-time scheduling
// for this thread. Where the system refuses, recording goes on as it is.
void RaisePriority() {
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = 20;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// The writer's storage: the session's files, with the memory it needs for them.
struct FileStorage {
    Session* session;
    Buffer scratch;  // a period, to rearrange one
    Buffer zeros;    // a period of silence
};

bool StoreBatch(void* context, const BatchPart* parts, int count) {
    FileStorage& files = *static_cast<FileStorage*>(context);
    return WriteBatch(*files.session, parts, count, {files.scratch.get(), files.zeros.get()});
}

bool StoreHeaders(void* context, bool sync) {
    return UpdateHeaders(*static_cast<FileStorage*>(context)->session, sync);
}

int64_t ClockNs(void*) {
    return MonotonicNs();
}

// The writer wakes for a second of audio, as often as it brings the headers up to date: on
// a board each sync costs a few wake-ups of its own (waiting for the disk), so a writer
// woken more often than it syncs would cost more wake-ups than the capture itself at
// 44.1 kHz. At most 256 KiB of it, though: a batch is memory in use, and at 96 kHz the
// periods come often enough for the wake-ups of smaller batches not to count.
uint32_t BatchPeriods(unsigned rate, int period, size_t periodBytes) {
    constexpr size_t kBatchBytes = 256 * 1024;
    uint32_t periods = (rate + static_cast<unsigned>(period) - 1) / period;
    periods = std::min<uint32_t>(periods, kBatchBytes / periodBytes);
    return std::clamp<uint32_t>(periods, 1, kBatchMaxPeriods);
}

void PrintReport(const Session& s) {
    const RecordRequest& req = *s.request;
    printf("\n\nInput Channel Peaks:\n");
    const double fullScale = FullScale(req.sampleBytes);
    for (int i = 0; i < 2; ++i) {
        if (!s.slots[i].enabled && !(req.interleave == 1 && i == 1)) {
            continue;
        }
        // A peak of 0 gives -inf, full scale gives -0.00: both are what they say.
        const float db =
            static_cast<float>(-20.0 * log10(fullScale / static_cast<double>(s.recPeak[i])));
        printf("\tchannel %i: %.2f dBFS\n", i + 1, static_cast<double>(db));
    }
    if (s.overruns != 0) {
        printf("\nRecord Overruns = %i\n", s.overruns);
    }
    fflush(stdout);
}

void ReportDeviceFailure(const Session& s) {
    static const char kPrefix[] = "nalvo: recording stopped, the capture device failed";
    const char* device = s.request->device.c_str();
    switch (s.failure) {
        case DeviceFailure::DeadAfterRestart:
            fprintf(stderr, "%s: %s gave no audio after a restart\n", kPrefix, device);
            break;
        case DeviceFailure::NoAudio:
            fprintf(stderr, "%s: %s gave no audio for %lld s\n", kPrefix, device,
                    static_cast<long long>(s.silentLimitNs / kSecondNs));
            break;
        case DeviceFailure::Error:
            fprintf(stderr, "%s: %s\n", kPrefix, snd_strerror(s.deviceError));
            break;
    }
}

// The descriptor stop signals wake the capture thread with, closed however RECORD ends.
struct WakeDescriptor {
    WakeDescriptor() { gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~WakeDescriptor() {
        if (gWakeFd >= 0) {
            close(gWakeFd);
            gWakeFd = -1;
        }
    }
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;
};

// Reads never block: the capture thread waits in its own poll, on the device and on the
// stop signals' descriptor together, with a deadline. A blocking read would wait inside
// libasound, which restarts its poll after a signal, so a device that delivers nothing
// could neither be stopped nor given up on. Everything the waits use is allocated here.
bool PrepareWaits(Session& s, const WakeDescriptor&) {
    const int n = snd_pcm_poll_descriptors_count(s.pcm);
    if (gWakeFd < 0 || n < 0 || snd_pcm_nonblock(s.pcm, 1) < 0) {
        return false;
    }
    s.pollFds.assign(static_cast<size_t>(n) + 1, pollfd{});
    s.pollFds.back() = {gWakeFd, POLLIN, 0};
    // Five seconds is far beyond any period or ring a device grants; a ring longer than
    // half of that still gets twice its length.
    const int64_t ringNs = static_cast<int64_t>(s.bufferSize) * kSecondNs / s.request->rate;
    s.silentLimitNs =
        std::max<int64_t>(5 * kSecondNs, (2 * ringNs + kSecondNs - 1) / kSecondNs * kSecondNs);
    return true;
}

void ReportWriteFailure(const Session& s) {
    const Slot& slot = s.slots[s.failedSlot];
    const std::string& name = slot.failedName.empty() ? slot.name : slot.failedName;
    fprintf(stderr, "nalvo: recording stopped, cannot write %s: %s\n", name.c_str(),
            strerror(slot.writeError));
}

}  // namespace

int RECORD(RecordRequest& request) {
    // Declared first, so it runs last: libasound keeps the parsed configuration for the
    // life of the process unless asked to drop it once every handle is closed.
    struct AlsaConfigRelease {
        ~AlsaConfigRelease() { snd_config_update_free_global(); }
    } releaseConfig;
    PcmHandle pcm;
    snd_pcm_uframes_t period = 0;
    Session s;
    if (!SetupDevice(request, pcm, period, s.interleavedAccess)) {
        return 1;
    }
    s.request = &request;
    s.pcm = pcm.get();
    s.period = static_cast<int>(period);
    snd_pcm_uframes_t grantedPeriod = 0;
    if (snd_pcm_get_params(s.pcm, &s.bufferSize, &grantedPeriod) < 0) {
        s.bufferSize = 0;
    }
    WakeDescriptor wake;
    if (!PrepareWaits(s, wake)) {
        fprintf(stderr, "nalvo: cannot set up waiting for the capture device\n");
        return 1;
    }

    // The device may have granted another period than the front end assumed: check the
    // length again with the real one.
    if (!QUANTIZE(s.period, request.rate, &request.duration, &s.totalFrames)) {
        printf("Improper duration request: at most %lld seconds in this format\n",
               static_cast<long long>(MaxWholeSeconds(s.period, request.rate)));
        return 1;
    }

    // Everything the loop works on is allocated here: two spare periods, and a queue that
    // rides out twelve seconds of stalled storage.
    Buffer spareBuf[2] = {Buffer(static_cast<uint8_t*>(malloc(PeriodBytes(s)))),
                          Buffer(static_cast<uint8_t*>(malloc(PeriodBytes(s))))};
    FileStorage files{&s, Buffer(static_cast<uint8_t*>(malloc(PeriodBytes(s)))),
                      Buffer(static_cast<uint8_t*>(calloc(PeriodBytes(s), 1)))};
    QueueShape shape;
    shape.slotBytes = PeriodBytes(s);
    shape.slots = static_cast<uint32_t>(12.0 * request.rate / s.period) + 3;
    shape.batchPeriods = BatchPeriods(request.rate, s.period, PeriodBytes(s));
    PeriodQueue queue;
    InstallSignalHandlers();
    if (!spareBuf[0] || !spareBuf[1] || !files.scratch || !files.zeros ||
        !StartWriter(queue, shape, {&files, StoreBatch, StoreHeaders}, {nullptr, ClockNs})) {
        StopWriter(queue);
        fprintf(stderr, "nalvo: cannot allocate the recording buffers\n");
        return 1;
    }
    uint8_t* spare[2] = {spareBuf[0].get(), spareBuf[1].get()};
    if (!PrepareFiles(s, request)) {
        StopWriter(queue);
        return 1;
    }
    WarnIfShortOfSpace(s);
    puts(request.interleave ? "Recording in Stereo" : "Recording");
    fflush(stdout);
    // Made durable before the capture starts, and checked like every later update.
    if (!UpdateHeaders(s, true)) {
        queue.failed.store(true, std::memory_order_release);
    }
    RaisePriority();

    ConsoleBegin(STDOUT_FILENO);
    Ending ending = CaptureLoop(s, queue, spare);
    StopWriter(queue);
    if (ending != Ending::DeviceFailed && WriterFailed(queue)) {
        ending = Ending::WriteFailed;
    }
    const bool failed = ending == Ending::DeviceFailed || ending == Ending::WriteFailed;
    // The files are finished before anything more is said: a console that does not read
    // may hold up the report, never the headers.
    const bool filesOk = CloseFiles(s);
    ConsoleEnd();
    fflush(stdout);
    if (ending == Ending::DeviceFailed) {
        ReportDeviceFailure(s);
    } else if (ending == Ending::WriteFailed) {
        ReportWriteFailure(s);
    }
    PrintReport(s);
    ReportHeaderFixes(s);
    if (ending != Ending::WriteFailed && s.failedSlot >= 0) {
        fflush(stdout);
        ReportWriteFailure(s);
    }
    const bool ok = !failed && filesOk;
    if (ok) {
        puts("Done");
        fflush(stdout);
    }
    // Stopped, not drained, whatever the ending: a capture stream has nothing left to finish
    // (what the device captured after the last period is not wanted), and PulseAudio's
    // plugin can spin in a drain for ever.
    snd_pcm_drop(s.pcm);
    pcm.reset();
    return ok ? 0 : 1;
}
