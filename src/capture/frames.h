// Recording length arithmetic and generated file names.
#pragma once

#include <cstdint>
#include <string>

// The period the device is asked for; the front end checks durations against it before
// the device has granted its own.
constexpr int kRequestedPeriod = 4096;

// Seconds between the Unix epoch and the epoch of generated file names.
constexpr long kNamingEpoch = 1349885340;

// Largest whole number of `period`-frame periods whose frame count fits a signed 64-bit
// count: the longest recording.
int64_t MaxFrames(int period);

// The longest duration in whole seconds that MaxFrames allows at `rate`.
int64_t MaxWholeSeconds(int period, unsigned rate);

// Frames one file holds at most, at `blockAlign` bytes per frame: header and data stay
// below 4 GiB, so the file fits a FAT32 card and the header's 32-bit sizes. A longer
// recording goes on in further files.
int64_t FileFrames(unsigned blockAlign);

// Stores in `frames` the recording length: rate x duration, computed in single precision,
// rounded up to whole periods (at least one); 0 when the product is not above zero.
// Returns false, leaving `frames` unchanged, when that length exceeds MaxFrames.
bool QUANTIZE(int period, unsigned rate, const float* duration, int64_t* frames);

// Seconds since the naming epoch.
long NewTime();

// "rec_chan_<input>_<seconds>.wav".
std::string GeneratedName(int input, long seconds);

// The name of the `number`-th file (2, 3, ...) of a recording given the name `first`: the
// number goes before the extension of the last path component ("a.wav": "a-2.wav"; "take":
// "take-2").
std::string ContinuationName(const std::string& first, int number);
