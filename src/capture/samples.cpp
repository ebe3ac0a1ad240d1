#include "samples.h"

#include <cstdio>
#include <cstring>

namespace {

// The loops below are written so the compiler can vectorise them: fixed-width loads,
// no calls and no branches per sample; the clipping test is done once on the maximum.

int32_t MaxMagnitude16(const uint8_t* p, int count) {
    int32_t best = 0;
    for (int i = 0; i < count; ++i) {
        const int32_t v =
            static_cast<int16_t>(static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)));
        const int32_t m = v < 0 ? -v : v;
        best = m > best ? m : best;
    }
    return best;
}

int32_t MaxMagnitude24(const uint8_t* p, int count) {
    int32_t best = 0;
    for (int i = 0; i < count; ++i) {
        // Place the three bytes in the top of a 32-bit word; the arithmetic shift brings
        // the sign down with them.
        const uint32_t word = (static_cast<uint32_t>(p[3 * i]) << 8) |
                              (static_cast<uint32_t>(p[3 * i + 1]) << 16) |
                              (static_cast<uint32_t>(p[3 * i + 2]) << 24);
        const int32_t v = static_cast<int32_t>(word) >> 8;
        const int32_t m = v < 0 ? -v : v;
        best = m > best ? m : best;
    }
    return best;
}

}  // namespace

int32_t MaxMagnitude(const void* samples, int count, unsigned sampleBytes) {
    if (count < 1) {
        return 0;
    }
    const auto* p = static_cast<const uint8_t*>(samples);
    return sampleBytes == 3 ? MaxMagnitude24(p, count) : MaxMagnitude16(p, count);
}

void CheckPeak(int channel, int count, unsigned sampleBytes, int32_t* recPeak, const void* samples,
               int32_t* periodPeak) {
    if (count < 1) {
        return;
    }
    const int32_t peak = MaxMagnitude(samples, count, sampleBytes);
    if (recPeak[channel] < peak) {
        recPeak[channel] = peak;
    }
    if (periodPeak[channel] < peak) {
        periodPeak[channel] = peak;
    }
    if (peak > ClipThreshold(sampleBytes)) {
        printf("\nInput Channel %i is Peaking!\n", channel + 1);
    }
}

void Interleave(int frames, int sampleBytes, const uint8_t* left, const uint8_t* right,
                uint8_t* out) {
    if (frames <= 0) {
        return;
    }
    if (sampleBytes == 2) {
        for (int i = 0; i < frames; ++i) {
            out[4 * i] = left[2 * i];
            out[4 * i + 1] = left[2 * i + 1];
            out[4 * i + 2] = right[2 * i];
            out[4 * i + 3] = right[2 * i + 1];
        }
        return;
    }
    for (int i = 0; i < frames; ++i) {
        out[6 * i] = left[3 * i];
        out[6 * i + 1] = left[3 * i + 1];
        out[6 * i + 2] = left[3 * i + 2];
        out[6 * i + 3] = right[3 * i];
        out[6 * i + 4] = right[3 * i + 1];
        out[6 * i + 5] = right[3 * i + 2];
    }
}
