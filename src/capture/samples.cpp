#include "samples.h"

#include <cstdio>
#include <cstring>

namespace {

// The loops below are written so the compiler can vectorise them: fixed-width loads with
// compile-time strides, no calls and no branches per sample; the clipping test is done
// once on the maximum.

template <unsigned SB>
inline int32_t Decode(const uint8_t* p) {
    if (SB == 2) {
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    }
    // Place the three bytes in the top of a 32-bit word; the arithmetic shift brings the
    // sign down with them.
    const uint32_t word = (static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                          (static_cast<uint32_t>(p[2]) << 24);
    return static_cast<int32_t>(word) >> 8;
}

template <unsigned SB>
inline int32_t Magnitude(const uint8_t* p) {
    const int32_t v = Decode<SB>(p);
    return v < 0 ? -v : v;
}

// Largest magnitude of `count` samples placed every STRIDE bytes.
template <unsigned SB, unsigned STRIDE>
int32_t MaxOf(const uint8_t* p, int count) {
    int32_t best = 0;
    for (int i = 0; i < count; ++i) {
        const int32_t m = Magnitude<SB>(p + static_cast<size_t>(i) * STRIDE);
        best = m > best ? m : best;
    }
    return best;
}

template <unsigned SB>
void MaxOfPair(const uint8_t* p, int frames, int32_t out[2]) {
    int32_t left = 0, right = 0;
    for (int i = 0; i < frames; ++i) {
        const int32_t l = Magnitude<SB>(p + static_cast<size_t>(i) * 2 * SB);
        const int32_t r = Magnitude<SB>(p + static_cast<size_t>(i) * 2 * SB + SB);
        left = l > left ? l : left;
        right = r > right ? r : right;
    }
    out[0] = left;
    out[1] = right;
}

template <unsigned SB>
void Split(int frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
    for (int i = 0; i < frames; ++i) {
        for (unsigned b = 0; b < SB; ++b) {
            left[i * SB + b] = in[2 * i * SB + b];
            right[i * SB + b] = in[2 * i * SB + SB + b];
        }
    }
}

template <unsigned SB>
void TakeLeft(int frames, const uint8_t* in, uint8_t* left) {
    for (int i = 0; i < frames; ++i) {
        for (unsigned b = 0; b < SB; ++b) {
            left[i * SB + b] = in[2 * i * SB + b];
        }
    }
}

}  // namespace

int32_t MaxMagnitude(const void* samples, int count, unsigned sampleBytes) {
    if (count < 1) {
        return 0;
    }
    const auto* p = static_cast<const uint8_t*>(samples);
    return sampleBytes == 3 ? MaxOf<3, 3>(p, count) : MaxOf<2, 2>(p, count);
}

int32_t MaxMagnitudeOfInput(const void* frames, int count, unsigned sampleBytes, int channel) {
    if (count < 1) {
        return 0;
    }
    const auto* p = static_cast<const uint8_t*>(frames) + channel * sampleBytes;
    return sampleBytes == 3 ? MaxOf<3, 6>(p, count) : MaxOf<2, 4>(p, count);
}

void MaxMagnitudePair(const void* frames, int count, unsigned sampleBytes, int32_t out[2]) {
    out[0] = out[1] = 0;
    if (count < 1) {
        return;
    }
    const auto* p = static_cast<const uint8_t*>(frames);
    if (sampleBytes == 3) {
        MaxOfPair<3>(p, count, out);
    } else {
        MaxOfPair<2>(p, count, out);
    }
}

void RaisePeak(int channel, int32_t peak, unsigned sampleBytes, int32_t* recPeak,
               int32_t* periodPeak) {
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

void CheckPeak(int channel, int count, unsigned sampleBytes, int32_t* recPeak, const void* samples,
               int32_t* periodPeak) {
    if (count < 1) {
        return;
    }
    RaisePeak(channel, MaxMagnitude(samples, count, sampleBytes), sampleBytes, recPeak, periodPeak);
}

void Deinterleave(int frames, int sampleBytes, const uint8_t* in, uint8_t* left, uint8_t* right) {
    if (frames <= 0) {
        return;
    }
    if (right == nullptr) {
        if (sampleBytes == 3) {
            TakeLeft<3>(frames, in, left);
        } else {
            TakeLeft<2>(frames, in, left);
        }
    } else if (sampleBytes == 3) {
        Split<3>(frames, in, left, right);
    } else {
        Split<2>(frames, in, left, right);
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
