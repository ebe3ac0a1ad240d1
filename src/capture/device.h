// Opening and configuring the capture device.
#pragma once

#include <alsa/asoundlib.h>

#include <memory>

#include "request.h"

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Opens `request.device` for blocking capture and negotiates two channels, interleaved
// access (or non-interleaved where that is all the device offers), the sample format, the
// rate, a period near 4096 frames and a ring buffer near 32768 frames. On success stores
// the handle, the granted period and the layout and returns true; otherwise prints
// the failure (open and format failures on standard error, a refused configuration as a
// five-line report on standard output) and returns false.
// With `quiet` nothing is printed; `pcm` then tells a device that could not be opened
// (empty) from one that opened and refused what was asked (set).
bool SetupDevice(const RecordRequest& request, PcmHandle& pcm, snd_pcm_uframes_t& period,
                 bool& interleaved, bool quiet = false);
