// The duration plan: a recording's length in whole periods of the device.
#pragma once

#include <cstdint>

// The period the device is asked for; the front end checks durations against it before
// the device has granted its own.
constexpr int kRequestedPeriod = 4096;

// Largest whole number of `period`-frame periods whose frame count fits a signed 64-bit
// count: the longest recording.
int64_t MaxFrames(int period);

// The longest duration in whole seconds that MaxFrames allows at `rate`.
int64_t MaxWholeSeconds(int period, unsigned rate);

// Stores in `frames` the recording length: rate x duration, computed in single precision,
// rounded up to whole periods (at least one); 0 when the product is not above zero.
// Returns false, leaving `frames` unchanged, when that length exceeds MaxFrames.
bool QUANTIZE(int period, unsigned rate, const float* duration, int64_t* frames);
