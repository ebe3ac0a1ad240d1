#include "record.h"

#include <alsa/asoundlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device.h"
#include "display.h"
#include "frames.h"
#include "samples.h"
#include "wav.h"

namespace {

// Set by SIGINT, SIGTERM and SIGHUP: the recording ends after the period in progress.
volatile sig_atomic_t gStopRequested = 0;

extern "C" void OnStopSignal(int) {
    gStopRequested = 1;
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
    sigaction(SIGHUP, &action, nullptr);
    // A file size limit must surface as a write error we can end cleanly on, not a kill
    // that leaves a header announcing data that never came.
    signal(SIGXFSZ, SIG_IGN);
    // A console that goes away (a closed pipe) must not kill the recording with it.
    signal(SIGPIPE, SIG_IGN);
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One input's output file.
struct Slot {
    int enabled = 0;
    std::string name;
    File stream;
    int writeError = 0;  // errno of the first failed write or close
};

enum class Ending { Completed, Stopped, DeviceFailed, WriteFailed };

// Everything one recording works on, set up before the capture loop.
struct Session {
    const RecordRequest* request = nullptr;
    snd_pcm_t* pcm = nullptr;
    int period = 0;
    // Frames arrive interleaved (one buffer of stereo frames) rather than as one run of
    // samples per input (two halves of the buffer).
    bool interleavedAccess = false;
    int32_t totalFrames = 0;
    Slot slots[2];
    Buffer periodBuf[2];
    Buffer stereoBuf;
    // Peaks per input: whole recording, period just measured, current hold window.
    int32_t recPeak[2] = {0, 0};
    int32_t periodPeak[2] = {0, 0};
    int32_t holdPeak[2] = {0, 0};
    int overruns = 0;
    int deviceError = 0;  // negative ALSA code that ended the capture
    int failedSlot = -1;  // slot whose file failed
};

unsigned FileBlockAlign(const RecordRequest& r) {
    return BlockAlign(r.sampleBytes, r.interleave);
}

void RemoveFiles(const std::vector<std::string>& names) {
    for (const auto& name : names) {
        remove(name.c_str());
    }
}

// Creates every output file with its header, then opens each for appending. On failure
// prints the message, removes what this run created and returns false.
bool PrepareFiles(Session& s, RecordRequest& req) {
    s.slots[0].enabled = 1;
    s.slots[1].enabled = req.channels == 2 ? 1 : 0;

    std::vector<std::string> created;
    auto fail = [&](const std::string& name) {
        printf("Can't open %s for recording\n", name.c_str());
        fflush(stdout);
        for (auto& slot : s.slots) {
            slot.stream.reset();
        }
        RemoveFiles(created);
        return false;
    };

    if (req.autoName) {
        req.fileList.clear();
    }
    size_t next = 0;  // next given name
    for (int i = 0; i < 2; ++i) {
        if (!s.slots[i].enabled) {
            continue;
        }
        std::string name;
        bool opened = false;
        int err = 0;
        if (req.autoName) {
            // Never replace an existing recording: two runs started within the same
            // second take the next free number instead.
            long seconds = NewTime();
            for (int attempt = 0; attempt < 100000; ++attempt, ++seconds) {
                name = GeneratedName(i + 1, seconds);
                err = MAKE_HEADER(name.c_str(), req.rate, s.totalFrames, req.sampleBytes,
                                  req.interleave, true, &opened);
                if (err != EEXIST) {
                    break;
                }
            }
            req.fileList.push_back(name);
        } else {
            if (next >= req.fileList.size()) {
                return fail("");
            }
            name = req.fileList[next++];
            err = MAKE_HEADER(name.c_str(), req.rate, s.totalFrames, req.sampleBytes,
                              req.interleave, false, &opened);
        }
        if (opened) {
            created.push_back(name);
        }
        if (err != 0) {
            return fail(name);
        }
        s.slots[i].name = name;
    }
    for (auto& slot : s.slots) {
        if (!slot.enabled) {
            continue;
        }
        slot.stream.reset(fopen(slot.name.c_str(), "ab"));
        if (!slot.stream) {
            return fail(slot.name);
        }
    }
    return true;
}

// Appends `frames` frames to a slot's file. Returns false (and notes the error) when the
// file took less.
bool Append(Session& s, int slotIndex, const uint8_t* data, size_t frames, size_t frameBytes) {
    Slot& slot = s.slots[slotIndex];
    if (frames == 0) {
        return true;
    }
    if (fwrite(data, frameBytes, frames, slot.stream.get()) != frames) {
        slot.writeError = errno != 0 ? errno : EIO;
        s.failedSlot = slotIndex;
        return false;
    }
    return true;
}

// Writes the first `frames` frames of a period buffer to the output files.
bool WritePeriod(Session& s, const uint8_t* buf, int frames) {
    const RecordRequest& req = *s.request;
    const size_t sb = req.sampleBytes;
    if (s.interleavedAccess) {
        if (req.interleave) {
            // The device's frames already are the stereo file's frames.
            return Append(s, 0, buf, static_cast<size_t>(frames), 2 * sb);
        }
        uint8_t* left = s.stereoBuf.get();
        uint8_t* right = s.slots[1].enabled ? left + static_cast<size_t>(s.period) * sb : nullptr;
        Deinterleave(frames, static_cast<int>(sb), buf, left, right);
        if (!Append(s, 0, left, static_cast<size_t>(frames), sb)) {
            return false;
        }
        return right == nullptr || Append(s, 1, right, static_cast<size_t>(frames), sb);
    }
    const uint8_t* left = buf;
    const uint8_t* right = buf + static_cast<size_t>(s.period) * sb;
    if (req.interleave) {
        Interleave(frames, static_cast<int>(sb), left, right, s.stereoBuf.get());
        return Append(s, 0, s.stereoBuf.get(), static_cast<size_t>(frames), 2 * sb);
    }
    if (s.slots[0].enabled && !Append(s, 0, left, static_cast<size_t>(frames), sb)) {
        return false;
    }
    if (s.slots[1].enabled && !Append(s, 1, right, static_cast<size_t>(frames), sb)) {
        return false;
    }
    return true;
}

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
    puts("\nRX");
    ++s.overruns;
}

// Brings a suspended device back: resume where the driver can, else start afresh.
void Recover(snd_pcm_t* pcm) {
    int err;
    while ((err = snd_pcm_resume(pcm)) == -EAGAIN) {
        usleep(10000);
    }
    if (err < 0) {
        snd_pcm_prepare(pcm);
    }
}

enum class ReadResult { Complete, Stopped, Failed };

// Reads one whole period into `buf`, topping up short reads. Frames the device lost to
// an overrun or a suspend are filled with silence so the files keep their timeline and
// never receive stale audio. `got` is the number of frames in the buffer.
ReadResult ReadPeriod(Session& s, uint8_t* buf, int& got) {
    const size_t sb = s.request->sampleBytes;
    const size_t half = static_cast<size_t>(s.period) * sb;
    got = 0;
    while (got < s.period) {
        if (gStopRequested) {
            return ReadResult::Stopped;
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
            continue;
        }
        if (r == 0 || r == -EAGAIN || r == -EINTR) {
            continue;
        }
        if (r == -EPIPE || r == -ESTRPIPE) {
            MarkOverrun(s);
            if (r == -ESTRPIPE) {
                Recover(s.pcm);
            } else {
                snd_pcm_prepare(s.pcm);
            }
            const size_t filled = static_cast<size_t>(got) * sb;
            if (s.interleavedAccess) {
                memset(buf + 2 * filled, 0, 2 * (half - filled));
            } else {
                memset(buf + filled, 0, half - filled);
                memset(buf + half + filled, 0, half - filled);
            }
            got = s.period;
            return ReadResult::Complete;
        }
        s.deviceError = static_cast<int>(r);
        return ReadResult::Failed;
    }
    return ReadResult::Complete;
}

void ShowProgress(Session& s, int32_t framesDone, int& meterReset) {
    const RecordRequest& req = *s.request;
    // One write per period: the remaining time and the meter share the console line.
    char line[2 * kDisplayTextMax];
    int n = FormatClock(line, sizeof line, s.totalFrames, -framesDone, req.rate);
    const int meterMode = req.interleave ? 2 : req.channels;
    n += FormatMeter(line + n, sizeof line - static_cast<size_t>(n), s.periodPeak, 45.0f,
                     meterReset, 11.25f, static_cast<int>(req.sampleBytes), meterMode, s.holdPeak);
    fwrite(line, 1, static_cast<size_t>(n), stdout);
    fflush(stdout);
}

Ending CaptureLoop(Session& s) {
    const RecordRequest& req = *s.request;
    const size_t bufBytes = 2 * static_cast<size_t>(s.period) * req.sampleBytes;
    memset(s.periodBuf[0].get(), 0, bufBytes);
    memset(s.periodBuf[1].get(), 0, bufBytes);
    snd_pcm_prepare(s.pcm);

    int fill = 0;
    int32_t framesDone = 0;
    int holdCount = 0;
    const unsigned holdLen = (3 * req.rate) >> 12;
    const bool twoInputs = req.interleave == 1 || req.channels == 2;
    int meterReset = 1;

    while (framesDone < s.totalFrames) {
        if (gStopRequested) {
            return Ending::Stopped;
        }
        snd_pcm_avail_update(s.pcm);
        snd_pcm_wait(s.pcm, 1);
        uint8_t* current = s.periodBuf[fill].get();
        const uint8_t* previous = s.periodBuf[1 - fill].get();
        int got = 0;
        const ReadResult read = ReadPeriod(s, current, got);
        if (read != ReadResult::Complete) {
            // Keep what the device delivered before the stop or the failure.
            if (!WritePeriod(s, current, got)) {
                return Ending::WriteFailed;
            }
            return read == ReadResult::Stopped ? Ending::Stopped : Ending::DeviceFailed;
        }
        fill = 1 - fill;

        MeasurePeriod(s, previous);
        if (!WritePeriod(s, current, s.period)) {
            return Ending::WriteFailed;
        }
        framesDone += s.period;
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

// Makes a file's header tell the truth about the whole frames that follow it, cutting a
// partial frame left by a failed write. Returns 0 or an errno.
int FixHeader(const std::string& name, const RecordRequest& req) {
    File f(fopen(name.c_str(), "r+b"));
    if (!f) {
        return errno;
    }
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0) {
        return errno;
    }
    const int64_t blockAlign = FileBlockAlign(req);
    const int64_t data = st.st_size > kWavHeaderBytes ? st.st_size - kWavHeaderBytes : 0;
    const int64_t frames = data / blockAlign;
    if (frames * blockAlign != data &&
        ftruncate(fileno(f.get()), kWavHeaderBytes + frames * blockAlign) != 0) {
        return errno;
    }
    rewind(f.get());
    if (!WriteHeader(f.get(), req.rate, static_cast<long>(frames), req.sampleBytes,
                     req.interleave) ||
        fflush(f.get()) != 0) {
        return errno != 0 ? errno : EIO;
    }
    FILE* raw = f.release();
    return fclose(raw) == 0 ? 0 : errno;
}

// Closes the files and, after any ending but a complete recording, rewrites each header
// to the frames really stored. Returns false when a file could not be closed or mended.
bool CloseFiles(Session& s, Ending ending) {
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled || !slot.stream) {
            continue;
        }
        if (fclose(slot.stream.release()) != 0 && slot.writeError == 0) {
            slot.writeError = errno != 0 ? errno : EIO;
            if (s.failedSlot < 0) {
                s.failedSlot = i;
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        Slot& slot = s.slots[i];
        if (!slot.enabled) {
            continue;
        }
        if (ending != Ending::Completed || slot.writeError != 0) {
            const int err = FixHeader(slot.name, *s.request);
            if (err != 0) {
                fprintf(stderr, "nalvo: cannot correct the header of %s: %s\n", slot.name.c_str(),
                        strerror(err));
                ok = false;
            }
        }
        if (slot.writeError != 0) {
            ok = false;
        }
    }
    return ok;
}

void ReportWriteFailure(const Session& s) {
    const Slot& slot = s.slots[s.failedSlot];
    fprintf(stderr, "nalvo: recording stopped, cannot write %s: %s\n", slot.name.c_str(),
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

    // The buffers are sized once here; the loop allocates nothing.
    const size_t bufBytes = 2 * static_cast<size_t>(period) * request.sampleBytes;
    for (auto& buf : s.periodBuf) {
        buf.reset(static_cast<uint8_t*>(malloc(bufBytes)));
    }
    s.stereoBuf.reset(static_cast<uint8_t*>(malloc(bufBytes)));
    if (!s.periodBuf[0] || !s.periodBuf[1] || !s.stereoBuf) {
        fprintf(stderr, "nalvo: cannot allocate %zu bytes for the period buffers\n", 3 * bufBytes);
        return 1;
    }

    // The device may have granted another period than the front end assumed: check the
    // length again with the real one.
    if (!QUANTIZE(s.period, request.rate, &request.duration, &s.totalFrames,
                  FileBlockAlign(request))) {
        printf("Improper duration request: at most %li seconds in this format\n",
               MaxWholeSeconds(s.period, request.rate, FileBlockAlign(request)));
        return 1;
    }

    InstallSignalHandlers();
    if (!PrepareFiles(s, request)) {
        return 1;
    }
    puts(request.interleave ? "Recording in Stereo" : "Recording");
    fflush(stdout);

    const Ending ending = CaptureLoop(s);
    const bool failed = ending == Ending::DeviceFailed || ending == Ending::WriteFailed;
    fflush(stdout);
    if (ending == Ending::DeviceFailed) {
        fprintf(stderr, "nalvo: recording stopped, the capture device failed: %s\n",
                snd_strerror(s.deviceError));
    } else if (ending == Ending::WriteFailed) {
        ReportWriteFailure(s);
    }
    PrintReport(s);
    const bool filesOk = CloseFiles(s, ending);
    if (ending != Ending::WriteFailed && s.failedSlot >= 0) {
        fflush(stdout);
        ReportWriteFailure(s);
    }
    const bool ok = !failed && filesOk;
    if (ok) {
        puts("Done");
        fflush(stdout);
        snd_pcm_drain(s.pcm);
    } else {
        snd_pcm_drop(s.pcm);
    }
    pcm.reset();
    return ok ? 0 : 1;
}
