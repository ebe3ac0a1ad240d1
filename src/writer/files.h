// The writer's files: created with their headers, the audio appended batch by batch, the
// headers kept true while recording, a full file joined to the next one, and all closed.
// Everything here runs on the writer thread (before and after the capture, on the only
// thread there is); the engine hands it an OutputPlan and reads the outcome from Outputs
// once the writer has stopped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "queue.h"

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// What the engine asks the writer to make.
struct OutputPlan {
    unsigned rate = 0;         // Hz, as the headers announce it
    unsigned sampleBytes = 2;  // 2: 16-bit, 3: packed 24-bit
    bool stereo = false;       // both inputs in one file
    int files = 1;             // output files: 1 or 2 (one per input)
    int period = 0;            // frames of one period as the queue hands it over
    // The periods come as stereo frames (else as one run of samples per input).
    bool deviceInterleaved = true;
    int64_t totalFrames = 0;  // the planned length
    // Names are generated from the time; else `names` holds one per file, and `existed`
    // says of each that it existed and the user agreed to overwrite it.
    bool generatedNames = true;
    std::vector<std::string> names;
    std::vector<bool> existed;
    // Each file holds this many seconds (0: as much as a file can); `alignFiles` ends them
    // on multiples of it on the UTC clock instead, the first one shorter.
    int64_t fileSeconds = 0;
    bool alignFiles = false;
    // Generated names carry the UTC time of the file's first frame; each file gets its name
    // once that frame is there.
    bool timeNames = false;
};

// One file of the recording and the ones that follow it.
struct Slot {
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
    // Frames the current file holds before the next one: 0 until its first frame is known
    // (an aligned file's length depends on its capture time).
    int64_t fileLimit = 0;
    bool created = false;  // this run created the current file
    // Time names: the first file is named when its first frame comes; until then `stream`
    // is empty and `next` holds the file made for it.
    bool awaitingFirst = false;
    std::string dir;         // where the next files are made
    File next;               // the next file: made ahead, unnamed, until the join names it
    bool noUnnamed = false;  // the file system cannot make files ahead without a name
    std::string nextName;
    int nextNumber = 0;
    std::string failedName;  // the file a failure is about, when not `name`
};

// The writer's own state.
struct Outputs {
    OutputPlan plan;
    // Frames a regular file holds before the recording goes on in the next one.
    int64_t fileFrames = 0;
    Slot slots[2];  // plan.files of them in use
    int failedSlot = -1;
    JoinNotes* joins = nullptr;  // where each join is reported; none: not reported
    // Timeline frame `originFrame` was captured at `originNs` (UTC, 0: not known yet): the
    // files' times are counted from there.
    int64_t originFrame = 0;
    int64_t originNs = 0;
};

// Bytes of one frame in a file.
unsigned FileBlockAlign(const OutputPlan& plan);

// Frames one file holds at most, at `blockAlign` bytes per frame: header and data stay
// below 4 GiB, so the file fits a FAT32 card and the header's 32-bit sizes. A longer
// recording goes on in further files.
int64_t FileFrames(unsigned blockAlign);

// Opens or creates every output file, then writes each one's header. On failure prints
// the message, removes what this run created, leaves what existed untouched where it
// can, and returns false.
bool PrepareFiles(Outputs& o);

// Warns on standard error when a file system cannot hold the planned recording.
void WarnIfShortOfSpace(const Outputs& o);

// The writer's own memory: room to rearrange a period, and a period of silence (both
// two inputs' worth).
struct WriteBuffers {
    uint8_t* scratch;
    const uint8_t* zeros;
};

// Appends a batch of periods (in the device's layout, rearranged in place where the files'
// differs) to the output files, each file's share with as few writes as it takes. Returns
// false when a file took less; the slot notes the error.
bool WriteBatch(Outputs& o, const BatchPart* parts, int count, const WriteBuffers& buffers);

// Makes the audio written so far durable and writes headers that announce it, so a power
// cut leaves files that are valid up to a moment ago. The new sizes become durable with
// the next update, or at once with `syncHeaders`. Returns false on a failure.
bool UpdateHeaders(Outputs& o, bool syncHeaders);

// Closes the files and rewrites each header to the whole frames really stored (cutting a
// partial frame a failed write may have left). A recording that `failed` before any frame
// reached a file this run created leaves no such empty file behind. Returns false when a
// file could not be written, closed or mended.
bool CloseFiles(Outputs& o, bool failed = false);

// Prints, on standard error, each header CloseFiles could not correct.
void ReportHeaderFixes(const Outputs& o);
