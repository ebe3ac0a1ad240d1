// What one recording works on, shared by the capture loop, the writer and the output files.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "queue.h"
#include "record.h"

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One input's output file. While capturing, only the writer touches it.
struct Slot {
    int enabled = 0;
    std::string name;
    // The one descriptor the file was opened with, for the audio and every header write:
    // nothing reopens the name, which may have been renamed or replaced meanwhile.
    File stream;
    bool regular = false;  // a regular file: its header can be revisited, its data synced
    int64_t framesWritten = 0;
    int writeError = 0;   // errno of the first failed write, sync or close
    int headerError = 0;  // errno of a failed final header correction
    // A recording longer than one file holds goes on in consecutive files.
    int fileNumber = 1;        // of the file being written: 1, 2, ...
    int64_t framesBefore = 0;  // frames in the run's earlier files
    long nameSeconds = 0;      // generated names: the first file's seconds number
    std::string firstName;     // given names: what the continuations are numbered after
    File next;                 // the next file, created ahead of the join by the writer
    std::string nextName;
    int nextNumber = 0;
    std::string failedName;  // the file a failure is about, when not `name`
};

// How a capture device failed.
enum class DeviceFailure {
    Error,             // an ALSA error: `deviceError`
    DeadAfterRestart,  // it overran again at once after every restart, delivering nothing
    NoAudio,           // it delivered nothing for `silentLimitNs`
};

struct Session {
    const RecordRequest* request = nullptr;
    snd_pcm_t* pcm = nullptr;
    int period = 0;
    snd_pcm_uframes_t bufferSize = 0;
    // Frames arrive interleaved (one buffer of stereo frames) rather than as one run of
    // samples per input (two halves of the buffer).
    bool interleavedAccess = false;
    int64_t totalFrames = 0;
    // Frames a regular file holds before the recording goes on in the next one.
    int64_t fileFrames = 0;
    Slot slots[2];
    // Peaks per input: whole recording, period just measured, current hold window.
    int32_t recPeak[2] = {0, 0};
    int32_t periodPeak[2] = {0, 0};
    int32_t holdPeak[2] = {0, 0};
    int overruns = 0;
    int deviceError = 0;  // negative ALSA code that ended the capture
    DeviceFailure failure = DeviceFailure::Error;
    int failedSlot = -1;  // slot whose file failed
    // The timeline frame whose capture time is known, and that time (monotonic clock);
    // -1 while unknown. An overrun's silence is measured from it.
    int64_t anchorNs = -1;
    int64_t anchorFrame = 0;
    // Silence the timeline still owes for time the device lost, in frames: written before
    // the next frames read.
    int64_t owedSilence = 0;
    // When the capture started and the device last delivered a frame, on the monotonic
    // clock; when it was last
    // restarted after an overrun or a suspend, -1 once it delivered a frame since.
    int64_t startNs = 0;
    int64_t lastFrameNs = 0;
    int64_t restartNs = -1;
    // A device that delivers nothing for this long has failed (a sound server whose
    // session manager is gone, a source that jammed): far longer than any period.
    int64_t silentLimitNs = 0;
    bool handedOver = false;  // the audio before the current silence went to the writer
    // The device's descriptors and, last, the one a stop signal makes readable.
    std::vector<pollfd> pollFds;
};

// Bytes of one period as the device delivers it: both inputs.
inline size_t PeriodBytes(const Session& s) {
    return 2 * static_cast<size_t>(s.period) * s.request->sampleBytes;
}

unsigned FileBlockAlign(const RecordRequest& r);

// Opens or creates every output file, then writes each one's header. On failure prints
// the message, removes what this run created, leaves what existed untouched where it
// can, and returns false.
bool PrepareFiles(Session& s, RecordRequest& req);

// Warns on standard error when a file system cannot hold the planned recording.
void WarnIfShortOfSpace(const Session& s);

// The writer's own memory: room to rearrange a period, and a period of silence (both
// PeriodBytes).
struct WriteBuffers {
    uint8_t* scratch;
    const uint8_t* zeros;
};

// Appends a batch of periods (in the device's layout, rearranged in place where the files'
// differs) to the output files, each file's share with as few writes as it takes. Returns
// false when a file took less; the slot notes the error.
bool WriteBatch(Session& s, const BatchPart* parts, int count, const WriteBuffers& buffers);

// Makes the audio written so far durable and writes headers that announce it, so a power
// cut leaves files that are valid up to a moment ago. The new sizes become durable with
// the next update, or at once with `syncHeaders`. Returns false on a failure.
bool UpdateHeaders(Session& s, bool syncHeaders);

// Closes the files and rewrites each header to the whole frames really stored (cutting a
// partial frame a failed write may have left). Returns false when a file could not be
// written, closed or mended.
bool CloseFiles(Session& s);

// Prints, on standard error, each header CloseFiles could not correct.
void ReportHeaderFixes(const Session& s);
