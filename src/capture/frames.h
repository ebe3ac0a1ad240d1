// Recording length arithmetic and generated file names.
#pragma once

#include <cstdint>
#include <string>

// The period the device is asked for; the front end checks durations against it before
// the device has granted its own.
constexpr int kRequestedPeriod = 4096;

// Seconds between the Unix epoch and the epoch of generated file names.
constexpr long kNamingEpoch = 1349885340;

// Largest whole number of `period`-frame periods whose frame count fits a signed 32-bit
// count and whose data (at `blockAlign` bytes per frame) still fits the WAV header's
// 32-bit sizes.
int32_t MaxFrames(int period, unsigned blockAlign);

// The longest duration in whole seconds that MaxFrames allows at `rate`.
long MaxWholeSeconds(int period, unsigned rate, unsigned blockAlign);

// Stores in `frames` the recording length: rate x duration, computed in single precision,
// rounded up to whole periods (at least one); 0 when the product is not above zero.
// Returns false, leaving `frames` unchanged, when that length exceeds MaxFrames.
bool QUANTIZE(int period, unsigned rate, const float* duration, int32_t* frames,
              unsigned blockAlign);

// Seconds since the naming epoch.
long NewTime();

// "rec_chan_<input>_<seconds>.wav".
std::string GeneratedName(int input, long seconds);
