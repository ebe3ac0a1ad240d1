// The capture loop: reads the device period by period into the writer's queue, keeps the
// timeline whole across overruns and suspends, measures the peaks and redraws the console.
// It runs on the capture thread, which never waits on storage, the console or another
// thread while the device could overflow: the device is read without blocking and waited
// for in a poll that a stop signal also wakes, with a deadline for a source that falls
// silent.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "device.h"
#include "queue.h"
#include "timeline.h"

// Set by SIGINT and SIGTERM: the recording ends after the period in progress.
extern volatile sig_atomic_t gStopRequested;

enum class Ending { Completed, Stopped, DeviceFailed, WriteFailed };

// How a capture device failed.
enum class DeviceFailure {
    Error,             // an ALSA error: `deviceError`
    DeadAfterRestart,  // it overran again at once after a restart, delivering nothing
    NoAudio,           // it delivered nothing for `silentLimitNs`
    OtherParameters,   // it came back unable to record as before
};

// What the capture thread owns.
struct CaptureState {
    // The device and what it granted.
    snd_pcm_t* pcm = nullptr;
    std::string device;  // its name, for messages
    unsigned rate = 0;
    unsigned sampleBytes = 2;
    int period = 0;
    snd_pcm_uframes_t bufferSize = 0;
    // Frames arrive interleaved (one buffer of stereo frames) rather than as one run of
    // samples per input (two halves of the buffer).
    bool interleavedAccess = false;
    int inputs = 1;     // inputs measured and shown: 1 or 2
    int meterMode = 1;  // the meter's layout: 1 mono, 2 two files, 2 stereo as well
    int64_t totalFrames = 0;
    // Peaks per input: whole recording, period just measured, current hold window.
    int32_t recPeak[2] = {0, 0};
    int32_t periodPeak[2] = {0, 0};
    int32_t holdPeak[2] = {0, 0};
    int overruns = 0;
    int deviceError = 0;  // negative ALSA code that ended the capture
    DeviceFailure failure = DeviceFailure::Error;
    Timeline timeline;
    // Silence the timeline still owes for time the device lost, in frames: written before
    // the next frames read.
    int64_t owedSilence = 0;
    // When the device last delivered a frame, on the monotonic clock; when it was last
    // restarted after an overrun or a suspend, -1 once it delivered a frame since.
    int64_t lastFrameNs = 0;
    int64_t restartNs = -1;
    // A device that delivers nothing for this long has failed (a sound server whose
    // session manager is gone, a source that jammed): far longer than any period.
    int64_t silentLimitNs = 0;
    bool handedOver = false;  // the audio before the current silence went to the writer
    // The device's descriptors and, last, the one a stop signal makes readable.
    std::vector<pollfd> pollFds;
    // No set length: the console shows the time recorded instead of the time left.
    bool untilStopped = false;
    // The files are long-run ones (a set file length or time names): the console names
    // each file as it is finished.
    bool announceFiles = false;
    // A device that fails is opened again, as `request` asked, into `handle`, about once a
    // second until it comes back; `gaps` counts the times it was gone, `gapNs` their length.
    bool reconnect = false;
    const RecordRequest* request = nullptr;
    PcmHandle* handle = nullptr;
    int gaps = 0;
    int64_t gapNs = 0;
};

// Bytes of one period as the device delivers it: both inputs.
inline size_t PeriodBytes(const CaptureState& c) {
    return 2 * static_cast<size_t>(c.period) * c.sampleBytes;
}

// Sets the device to non-blocking reads and allocates what the waits use, `wakeFd` among
// the descriptors. False when the device cannot be waited for.
bool PrepareWaits(CaptureState& c, int wakeFd);

// Captures into `q` until the planned length, a stop, or a failure. `spare` are two
// period buffers for periods the queue has no room for.
Ending CaptureLoop(CaptureState& c, PeriodQueue& q, uint8_t* spare[2]);

// Shows, each on a line of its own, where the writer went on since the last call (and,
// with `finished`, the file it left).
void ShowJoins(PeriodQueue& q, bool finished);
