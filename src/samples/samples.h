// Sample work on one period: peak measurement and the stereo frame layout.
#pragma once

#include <cstdint>

// Full-scale magnitude of a sample width (2: 16-bit, 3: packed 24-bit).
inline int32_t FullScale(unsigned sampleBytes) {
    return sampleBytes == 3 ? 8388608 : 32768;
}

// Magnitude above which a sample counts as clipping: the two top codes of each width.
inline int32_t ClipThreshold(unsigned sampleBytes) {
    return sampleBytes == 3 ? 8388606 : 32766;
}

// Largest magnitude of `count` packed little-endian samples of `sampleBytes` bytes.
int32_t MaxMagnitude(const void* samples, int count, unsigned sampleBytes);

// Largest magnitude of one input (`channel` 0 or 1) of `count` interleaved stereo frames.
int32_t MaxMagnitudeOfInput(const void* frames, int count, unsigned sampleBytes, int channel);

// Largest magnitudes of both inputs of `count` interleaved stereo frames, in one pass.
void MaxMagnitudePair(const void* frames, int count, unsigned sampleBytes, int32_t out[2]);

// Raises recPeak[channel] and periodPeak[channel] to `peak`. Returns true when `peak`
// reaches the top two codes of the scale: the input clipped.
bool RaisePeak(int channel, int32_t peak, unsigned sampleBytes, int32_t* recPeak,
               int32_t* periodPeak);

// Measures `count` samples of input `channel` (0 or 1): raises recPeak[channel] and
// periodPeak[channel] to the largest magnitude found. Returns true when any sample reaches
// the top two codes of the scale: the input clipped.
bool CheckPeak(int channel, int count, unsigned sampleBytes, int32_t* recPeak, const void* samples,
               int32_t* periodPeak);

// Writes `frames` stereo frames to `out`: left sample i, then right sample i, bytes
// copied as they are. `out` receives exactly 2 * frames * sampleBytes bytes.
void Interleave(int frames, int sampleBytes, const uint8_t* left, const uint8_t* right,
                uint8_t* out);

// Splits `frames` interleaved stereo frames into input 1's samples (`left`) and input 2's
// (`right`); with a null `right` only input 1 is taken.
void Deinterleave(int frames, int sampleBytes, const uint8_t* in, uint8_t* left, uint8_t* right);
