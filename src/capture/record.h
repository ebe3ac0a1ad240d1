// The capture engine: one recording from device setup to the final report.
#pragma once

#include <string>
#include <vector>

// What the front end asks the engine to record.
struct RecordRequest {
    std::string device;        // ALSA PCM name, passed on unchanged
    unsigned rate = 0;         // Hz; also what the WAV headers announce
    float duration = 0;        // seconds, > 0
    int channels = 1;          // number of output files: 1 or 2
    unsigned sampleBytes = 2;  // 2: 16-bit, 3: packed 24-bit
    int autoName = 1;          // 1: the engine makes the file names
    // Output file names in slot order; filled by the engine when autoName is 1.
    std::vector<std::string> fileList;
    // Per given name: it existed when checked, and the user agreed to overwrite it. Only
    // such a name is opened as it stands; every other one is created afresh.
    std::vector<bool> fileExisted;
    int interleave = 0;  // 1: both inputs into one stereo file
};

// Records as requested. Returns the process exit status: 0 for a recording that ran to its
// end or was stopped by the user, 1 when the device could not be set up, a file could not
// be prepared, or capturing failed (the files then hold what was captured, with true
// headers).
int RECORD(RecordRequest& request);
