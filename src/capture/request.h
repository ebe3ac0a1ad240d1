// What the front end asks the capture engine to record.
#pragma once

#include <cstdint>
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

    // Options for long unattended recordings; none of them changes a recording made
    // without them.
    int64_t fileSeconds = 0;    // > 0: each file holds this many seconds, then the next one
    bool alignFiles = false;    // file boundaries fall on multiples of fileSeconds, UTC
    bool timeNames = false;     // generated names carry the UTC time of the first frame
    bool untilStopped = false;  // no set length: until SIGINT or SIGTERM
    bool reconnect = false;     // a device that fails is opened again until it comes back
};
