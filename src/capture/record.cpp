#include "record.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "console.h"
#include "device.h"
#include "files.h"
#include "frames.h"
#include "loop.h"
#include "queue.h"
#include "samples.h"

namespace {

// Made readable by the stop signals: the capture thread waits for the device and for it
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

// The signals a recording handles, installed for its length and then put back as they
// were, with the descriptor a stop makes readable.
class StopSignals {
   public:
    StopSignals() {
        gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        struct sigaction stop;
        memset(&stop, 0, sizeof stop);
        stop.sa_handler = OnStopSignal;
        sigemptyset(&stop.sa_mask);
        struct sigaction ignore = stop;
        ignore.sa_handler = SIG_IGN;
        for (int i = 0; i < kCount; ++i) {
            // SIGINT and SIGTERM stop the recording. A closed terminal or a dropped ssh
            // session (SIGHUP) must not end an unattended recording: its length is the one
            // asked for, and the console text after it goes nowhere. A file size limit
            // (SIGXFSZ) must surface as a write error we can end cleanly on, not a kill that
            // leaves a header announcing data that never came. A console that goes away
            // (SIGPIPE) must not kill the recording with it, nor may a terminal that stops
            // background writers (SIGTTOU, stty tostop) stop it.
            const bool stops = kSignals[i] == SIGINT || kSignals[i] == SIGTERM;
            sigaction(kSignals[i], stops ? &stop : &ignore, &saved_[i]);
        }
    }
    ~StopSignals() {
        for (int i = 0; i < kCount; ++i) {
            sigaction(kSignals[i], &saved_[i], nullptr);
        }
        if (gWakeFd >= 0) {
            close(gWakeFd);
            gWakeFd = -1;
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int wakeFd() const { return gWakeFd; }

   private:
    static constexpr int kCount = 6;
    static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGPIPE, SIGTTOU};
    struct sigaction saved_[kCount];
};

// Capture matters more than anything else on the board: ask for real-time scheduling
// for this thread. Where the system refuses, recording goes on as it is.
void RaisePriority() {
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = 20;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// The writer's storage: the files, with the memory it needs for them.
struct FileStorage {
    Outputs* outputs;
    Buffer scratch;  // a period, to rearrange one
    Buffer zeros;    // a period of silence
};

bool StoreBatch(void* context, const BatchPart* parts, int count) {
    FileStorage& files = *static_cast<FileStorage*>(context);
    return WriteBatch(*files.outputs, parts, count, {files.scratch.get(), files.zeros.get()});
}

bool StoreHeaders(void* context, bool sync) {
    return UpdateHeaders(*static_cast<FileStorage*>(context)->outputs, sync);
}

int64_t ClockNs(void*) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
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

void PrintReport(const CaptureState& c) {
    printf("\n\nInput Channel Peaks:\n");
    const double fullScale = FullScale(c.sampleBytes);
    for (int i = 0; i < c.inputs; ++i) {
        // A peak of 0 gives -inf, full scale gives -0.00: both are what they say.
        const float db =
            static_cast<float>(-20.0 * log10(fullScale / static_cast<double>(c.recPeak[i])));
        printf("\tchannel %i: %.2f dBFS\n", i + 1, static_cast<double>(db));
    }
    if (c.overruns != 0) {
        printf("\nRecord Overruns = %i\n", c.overruns);
    }
    if (c.gaps != 0) {
        printf("\nDevice Gaps = %i (%.1f sec in all)\n", c.gaps,
               static_cast<double>(c.gapNs) / 1e9);
    }
    fflush(stdout);
}

void ReportWriteFailure(const Outputs& o) {
    const Slot& slot = o.slots[o.failedSlot];
    const std::string& name = slot.failedName.empty() ? slot.name : slot.failedName;
    fprintf(stderr, "nalvo: recording stopped, cannot write %s: %s\n", name.c_str(),
            strerror(slot.writeError));
}

void ReportDeviceFailure(const CaptureState& c) {
    static const char kPrefix[] = "nalvo: recording stopped, the capture device failed";
    switch (c.failure) {
        case DeviceFailure::DeadAfterRestart:
            fprintf(stderr, "%s: %s gave no audio after a restart\n", kPrefix, c.device.c_str());
            break;
        case DeviceFailure::NoAudio:
            fprintf(stderr, "%s: %s gave no audio for %lld s\n", kPrefix, c.device.c_str(),
                    static_cast<long long>(c.silentLimitNs / 1000000000));
            break;
        case DeviceFailure::OtherParameters:
            fprintf(stderr, "%s: %s came back unable to record as before\n", kPrefix,
                    c.device.c_str());
            break;
        case DeviceFailure::Error:
            fprintf(stderr, "%s: %s\n", kPrefix, snd_strerror(c.deviceError));
            break;
    }
}

// Opens and configures the device, and checks the length again with the period it
// granted (the front end assumed the usual one). Prints why when it cannot.
bool SetUpCapture(const RecordRequest& request, PcmHandle& pcm, CaptureState& c) {
    snd_pcm_uframes_t period = 0;
    if (!SetupDevice(request, pcm, period, c.interleavedAccess)) {
        return false;
    }
    c.pcm = pcm.get();
    c.device = request.device;
    c.rate = request.rate;
    c.sampleBytes = request.sampleBytes;
    c.period = static_cast<int>(period);
    c.inputs = request.interleave == 1 || request.channels == 2 ? 2 : 1;
    c.meterMode = request.interleave ? 2 : request.channels;
    c.timeline.rate = c.rate;
    c.timeline.period = c.period;
    snd_pcm_uframes_t grantedPeriod = 0;
    if (snd_pcm_get_params(c.pcm, &c.bufferSize, &grantedPeriod) < 0) {
        c.bufferSize = 0;
    }
    c.untilStopped = request.untilStopped;
    c.announceFiles = request.fileSeconds > 0 || request.timeNames;
    c.reconnect = request.reconnect;
    c.request = &request;
    c.handle = &pcm;
    float duration = request.duration;
    if (request.untilStopped) {
        c.totalFrames = MaxFrames(c.period);
    } else if (!QUANTIZE(c.period, c.rate, &duration, &c.totalFrames)) {
        printf("Improper duration request: at most %lld seconds in this format\n",
               static_cast<long long>(MaxWholeSeconds(c.period, c.rate)));
        return false;
    }
    return true;
}

OutputPlan PlanOutputs(const RecordRequest& request, const CaptureState& c) {
    OutputPlan plan;
    plan.rate = request.rate;
    plan.sampleBytes = request.sampleBytes;
    plan.stereo = request.interleave == 1;
    plan.files = request.channels == 2 ? 2 : 1;
    plan.period = c.period;
    plan.deviceInterleaved = c.interleavedAccess;
    plan.totalFrames = c.totalFrames;
    plan.generatedNames = request.autoName == 1;
    plan.names = request.fileList;
    plan.existed = request.fileExisted;
    plan.fileSeconds = request.fileSeconds;
    plan.alignFiles = request.alignFiles;
    plan.timeNames = request.timeNames;
    return plan;
}

// Everything the capture loop and the writer work on is allocated here: two spare
// periods, the writer's own, and a queue that rides out twelve seconds of stalled storage.
struct Memory {
    Buffer spare[2];
    FileStorage files;
    PeriodQueue queue;
};

bool StartWriting(const CaptureState& c, Outputs& outputs, Memory& m) {
    const size_t bytes = PeriodBytes(c);
    for (Buffer& b : m.spare) {
        b.reset(static_cast<uint8_t*>(calloc(bytes, 1)));
    }
    m.files = {&outputs, Buffer(static_cast<uint8_t*>(malloc(bytes))),
               Buffer(static_cast<uint8_t*>(calloc(bytes, 1)))};
    QueueShape shape;
    shape.slotBytes = bytes;
    shape.slots = static_cast<uint32_t>(12.0 * c.rate / c.period) + 3;
    shape.batchPeriods = BatchPeriods(c.rate, c.period, bytes);
    outputs.joins = &m.queue.joins;
    if (!m.spare[0] || !m.spare[1] || !m.files.scratch || !m.files.zeros ||
        !StartWriter(m.queue, shape, {&m.files, StoreBatch, StoreHeaders}, {nullptr, ClockNs})) {
        StopWriter(m.queue);
        fprintf(stderr, "nalvo: cannot allocate the recording buffers\n");
        return false;
    }
    return true;
}

// Long-run files are named as they are finished: the last ones once they are closed.
void AnnounceLastFiles(const CaptureState& c, const Outputs& o, bool failed) {
    for (int i = 0; c.announceFiles && i < o.plan.files; ++i) {
        const Slot& slot = o.slots[i];
        // Not a file a failed start removed, nor one time names never got to name.
        if (slot.framesBefore + slot.framesWritten > 0 || (!failed && !slot.awaitingFirst)) {
            char line[4200];
            const int n = snprintf(line, sizeof line, "\nFinished %s\n", slot.name.c_str());
            ConsoleText(line, std::min(static_cast<size_t>(n), sizeof line - 1), ConsoleLine::Kept);
        }
    }
}

// The files are finished before anything more is said: a console that does not read may
// hold up the report, never the headers. Returns the exit status.
int Finish(CaptureState& c, Outputs& outputs, Memory& m, Ending ending) {
    StopWriter(m.queue);
    if (ending != Ending::DeviceFailed && WriterFailed(m.queue)) {
        ending = Ending::WriteFailed;
    }
    const bool failed = ending == Ending::DeviceFailed || ending == Ending::WriteFailed;
    const bool filesOk = CloseFiles(outputs, ending == Ending::DeviceFailed);
    ShowJoins(m.queue, c.announceFiles);
    AnnounceLastFiles(c, outputs, failed);
    ConsoleEnd();
    fflush(stdout);
    if (ending == Ending::DeviceFailed) {
        ReportDeviceFailure(c);
    } else if (ending == Ending::WriteFailed) {
        ReportWriteFailure(outputs);
    }
    PrintReport(c);
    ReportHeaderFixes(outputs);
    if (ending != Ending::WriteFailed && outputs.failedSlot >= 0) {
        fflush(stdout);
        ReportWriteFailure(outputs);
    }
    const bool ok = !failed && filesOk;
    if (ok) {
        puts("Done");
        fflush(stdout);
    }
    return ok ? 0 : 1;
}

}  // namespace

int RECORD(RecordRequest& request) {
    // Declared first, so it runs last: libasound keeps the parsed configuration for the
    // life of the process unless asked to drop it once every handle is closed.
    struct AlsaConfigRelease {
        ~AlsaConfigRelease() { snd_config_update_free_global(); }
    } releaseConfig;
    PcmHandle pcm;
    CaptureState c;
    if (!SetUpCapture(request, pcm, c)) {
        return 1;
    }
    StopSignals signals;
    if (!PrepareWaits(c, signals.wakeFd())) {
        fprintf(stderr, "nalvo: cannot set up waiting for the capture device\n");
        return 1;
    }
    Outputs outputs;
    outputs.plan = PlanOutputs(request, c);
    Memory m;
    if (!StartWriting(c, outputs, m)) {
        return 1;
    }
    if (!PrepareFiles(outputs)) {
        StopWriter(m.queue);
        return 1;
    }
    if (!request.untilStopped) {
        WarnIfShortOfSpace(outputs);
    }
    puts(request.interleave ? "Recording in Stereo" : "Recording");
    fflush(stdout);
    // Made durable before the capture starts, and checked like every later update.
    if (!UpdateHeaders(outputs, true)) {
        m.queue.failed.store(true, std::memory_order_release);
    }
    RaisePriority();
    ConsoleBegin(STDOUT_FILENO);
    uint8_t* spare[2] = {m.spare[0].get(), m.spare[1].get()};
    const int status = Finish(c, outputs, m, CaptureLoop(c, m.queue, spare));
    // Stopped, not drained, whatever the ending: a capture stream has nothing left to finish
    // (what the device captured after the last period is not wanted), and PulseAudio's
    // plugin can spin in a drain for ever.
    if (c.pcm != nullptr) {
        snd_pcm_drop(c.pcm);
    }
    pcm.reset();
    return status;
}
