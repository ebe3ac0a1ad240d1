#include "device.h"

#include <cstdio>

#include "frames.h"

namespace {

// The ring buffer asked for: eight periods, time enough for the capture thread to be
// scheduled late now and then without an overrun.
constexpr snd_pcm_uframes_t kBufferRequest = 32768;

struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};

// The values the device reports after the commit, 0 where it can't tell.
struct Granted {
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    unsigned channels = 0;
    unsigned rate = 0;
    bool accessKnown = false;
    snd_pcm_access_t access = SND_PCM_ACCESS_RW_NONINTERLEAVED;
};

// libasound prints its own diagnostics on standard error; the one line we print with
// its error text says the same, and scripts reading our standard error expect just that.
// The handler's type is libasound's, C variadic included.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}  // NOLINT(cert-dcl50-cpp)

Granted ReadGranted(const snd_pcm_hw_params_t* params) {
    Granted g;
    if (snd_pcm_hw_params_get_buffer_size(params, &g.buffer) < 0) {
        g.buffer = 0;
    }
    if (snd_pcm_hw_params_get_period_size(params, &g.period, nullptr) < 0) {
        g.period = 0;
    }
    if (snd_pcm_hw_params_get_channels(params, &g.channels) < 0) {
        g.channels = 0;
    }
    if (snd_pcm_hw_params_get_rate(params, &g.rate, nullptr) < 0) {
        g.rate = 0;
    }
    g.accessKnown = snd_pcm_hw_params_get_access(params, &g.access) >= 0;
    return g;
}

void PrintRefusal(const Granted& g) {
    printf("Could not set record hardware parameters:\n");
    printf("Returned Driver Parameters:\n");
    printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
    printf("Record\t%i\t%i\t%i\t%i\n", static_cast<int>(g.period), static_cast<int>(g.buffer),
           static_cast<int>(g.rate), static_cast<int>(g.channels));
    printf("-------------------------\n");
    fflush(stdout);
}

bool OpenCapture(const RecordRequest& request, PcmHandle& pcm, bool quiet) {
    snd_lib_error_set_handler(QuietAlsa);
    snd_pcm_t* raw = nullptr;
    const int err = snd_pcm_open(&raw, request.device.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0 && !quiet) {
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(err));
    }
    pcm.reset(err < 0 ? nullptr : raw);
    return err >= 0;
}

}  // namespace

bool SetupDevice(const RecordRequest& request, PcmHandle& pcm, snd_pcm_uframes_t& period,
                 bool& interleaved, bool quiet) {
    if (!OpenCapture(request, pcm, quiet)) {
        return false;
    }
    snd_pcm_t* raw = pcm.get();

    snd_pcm_hw_params_t* rawParams = nullptr;
    if (snd_pcm_hw_params_malloc(&rawParams) < 0) {
        fprintf(stderr, "nalvo: out of memory\n");
        return false;
    }
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> params(rawParams);

    // Only the format and the commit are decisive here: whatever the device refuses
    // among the rest shows up in the commit or in the values it grants.
    snd_pcm_hw_params_any(raw, rawParams);
    // Interleaved reads first: most cards' hw devices offer nothing else, and through a
    // plugin chain they spare libasound a generic per-sample conversion. Devices that
    // only deliver each channel separately are read that way.
    if (snd_pcm_hw_params_set_access(raw, rawParams, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
        snd_pcm_hw_params_set_access(raw, rawParams, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    }
    const int err = snd_pcm_hw_params_set_format(
        raw, rawParams, request.sampleBytes == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE);
    if (err < 0) {
        if (!quiet) {
            fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(err));
        }
        return false;
    }
    snd_pcm_hw_params_set_channels(raw, rawParams, 2);
    unsigned rate = request.rate;
    snd_pcm_hw_params_set_rate_near(raw, rawParams, &rate, nullptr);
    period = kRequestedPeriod;
    snd_pcm_hw_params_set_period_size_near(raw, rawParams, &period, nullptr);
    snd_pcm_uframes_t bufferSize = kBufferRequest;
    snd_pcm_hw_params_set_buffer_size_near(raw, rawParams, &bufferSize);
    const int commit = snd_pcm_hw_params(raw, rawParams);
    const Granted granted = ReadGranted(rawParams);

    // A device that settled on another rate, channel count or a layout we can't read would give
    // files that play at the wrong speed or hold garbage: refuse it like a failed commit.
    const bool knownLayout =
        granted.accessKnown && (granted.access == SND_PCM_ACCESS_RW_INTERLEAVED ||
                                granted.access == SND_PCM_ACCESS_RW_NONINTERLEAVED);
    const bool usable = commit >= 0 && granted.rate == request.rate && granted.channels == 2 &&
                        knownLayout && period > 0;
    if (!usable) {
        if (!quiet) {
            PrintRefusal(granted);
        }
        return false;
    }
    interleaved = granted.access == SND_PCM_ACCESS_RW_INTERLEAVED;
    return true;
}
