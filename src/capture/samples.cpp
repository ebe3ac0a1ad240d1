#include "samples.h"

#include <cstdio>
#include <cstring>

#include "console.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define NALVO_SSSE3 1
#endif

namespace {

// The measuring loops below run over every captured sample on a small CPU, so they are
// written for the vectoriser: no calls and no branches per sample, fixed-width loads, and
// the largest and smallest value tracked instead of magnitudes (max and min are single
// vector instructions; the magnitude is taken once at the end). Even and odd sample
// positions are tracked apart, so one pass measures both inputs of stereo frames.

// On x86-64 the baseline (SSE2) has no 32-bit vector max and min: let the loader pick a
// build of the hot loops for the CPU at hand. ARM builds vectorise with their baseline.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && defined(__linux__)
#define NALVO_HOT_LOOP __attribute__((target_clones("avx2", "arch=x86-64-v2", "default")))
#else
#define NALVO_HOT_LOOP
#endif

struct Extremes {
    int32_t max[2];
    int32_t min[2];
    // Folds one more sample into a lane (the few samples after the vector loop).
    void Take(int lane, int32_t v) {
        max[lane] = v > max[lane] ? v : max[lane];
        min[lane] = v < min[lane] ? v : min[lane];
    }
};

inline int32_t Load16(const uint8_t* p) {
    // Byte by byte: compilers fold this into one load where the host is little-endian.
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// Little-endian 32-bit words at any address (the samples are little-endian whatever the
// host; every ARM board we run on is little-endian too, where this is one plain load).
inline uint32_t Load32(const uint8_t* p) {
    uint32_t w;
    memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

inline uint64_t Load64(const uint8_t* p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

inline void Store64(uint8_t* p, uint64_t w) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    memcpy(p, &w, sizeof w);
}

inline void Store32(uint8_t* p, uint32_t w) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    memcpy(p, &w, sizeof w);
}

// 16-bit samples: extremes at even and odd positions of `count` samples.
NALVO_HOT_LOOP Extremes Extremes16(const uint8_t* p, int count) {
    int16_t max0 = 0, min0 = 0, max1 = 0, min1 = 0;
    const int pairs = count / 2;
    for (int i = 0; i < pairs; ++i) {
        const auto a = static_cast<int16_t>(Load16(p + 4 * i));
        const auto b = static_cast<int16_t>(Load16(p + 4 * i + 2));
        max0 = a > max0 ? a : max0;
        min0 = a < min0 ? a : min0;
        max1 = b > max1 ? b : max1;
        min1 = b < min1 ? b : min1;
    }
    Extremes e{{max0, max1}, {min0, min1}};
    if (count % 2 != 0) {
        e.Take(0, Load16(p + 4 * pairs));
    }
    return e;
}

// Packed 24-bit samples: the same, on values scaled by 256. Four samples fill exactly
// three 32-bit words; each sample is moved into the top three bytes of a word, so the
// word read as signed is the sample times 256 and no sign extension is needed.
NALVO_HOT_LOOP Extremes Extremes24(const uint8_t* p, int count) {
    int32_t max0 = 0, min0 = 0, max1 = 0, min1 = 0;
    const int groups = count / 4;
    for (int g = 0; g < groups; ++g) {
        const uint32_t w0 = Load32(p + 12 * g);
        const uint32_t w1 = Load32(p + 12 * g + 4);
        const uint32_t w2 = Load32(p + 12 * g + 8);
        const auto s0 = static_cast<int32_t>(w0 << 8);
        const auto s1 = static_cast<int32_t>(((w0 >> 16) & 0xff00u) | (w1 << 16));
        const auto s2 = static_cast<int32_t>(((w1 >> 8) & 0xffff00u) | (w2 << 24));
        const auto s3 = static_cast<int32_t>(w2 & 0xffffff00u);
        max0 = s0 > max0 ? s0 : max0;
        min0 = s0 < min0 ? s0 : min0;
        max1 = s1 > max1 ? s1 : max1;
        min1 = s1 < min1 ? s1 : min1;
        max0 = s2 > max0 ? s2 : max0;
        min0 = s2 < min0 ? s2 : min0;
        max1 = s3 > max1 ? s3 : max1;
        min1 = s3 < min1 ? s3 : min1;
    }
    Extremes e{{max0, max1}, {min0, min1}};
    for (int i = 4 * groups; i < count; ++i) {
        const uint8_t* q = p + 3 * i;
        e.Take(i & 1, static_cast<int32_t>((static_cast<uint32_t>(q[0]) << 8) |
                                           (static_cast<uint32_t>(q[1]) << 16) |
                                           (static_cast<uint32_t>(q[2]) << 24)));
    }
    return e;
}

Extremes Measure(const uint8_t* p, int count, unsigned sampleBytes) {
    return sampleBytes == 3 ? Extremes24(p, count) : Extremes16(p, count);
}

// Largest magnitude of one lane. Scaled 24-bit values are brought down before the
// negation, so the most negative sample does not overflow.
int32_t Magnitude(const Extremes& e, int lane, unsigned sampleBytes) {
    const int shift = sampleBytes == 3 ? 8 : 0;
    const int32_t top = e.max[lane] >> shift;
    const int32_t bottom = -(e.min[lane] >> shift);
    return top > bottom ? top : bottom;
}

}  // namespace

int32_t MaxMagnitude(const void* samples, int count, unsigned sampleBytes) {
    if (count < 1) {
        return 0;
    }
    const Extremes e = Measure(static_cast<const uint8_t*>(samples), count, sampleBytes);
    const int32_t even = Magnitude(e, 0, sampleBytes);
    const int32_t odd = Magnitude(e, 1, sampleBytes);
    return even > odd ? even : odd;
}

int32_t MaxMagnitudeOfInput(const void* frames, int count, unsigned sampleBytes, int channel) {
    int32_t pair[2];
    MaxMagnitudePair(frames, count, sampleBytes, pair);
    return pair[channel];
}

void MaxMagnitudePair(const void* frames, int count, unsigned sampleBytes, int32_t out[2]) {
    out[0] = out[1] = 0;
    if (count < 1) {
        return;
    }
    const Extremes e = Measure(static_cast<const uint8_t*>(frames), 2 * count, sampleBytes);
    out[0] = Magnitude(e, 0, sampleBytes);
    out[1] = Magnitude(e, 1, sampleBytes);
}

namespace {

// Stereo frames and per-input runs, converted a few 32-bit words at a time: two 16-bit
// frames are two words, four 24-bit frames are six, so every load and store is a whole
// word and the loops vectorise. The last frames that do not fill a group go byte by byte.

void CopyFrameTail(int from, int frames, unsigned sb, const uint8_t* left, const uint8_t* right,
                   uint8_t* out) {
    for (int i = from; i < frames; ++i) {
        memcpy(out + 2 * i * sb, left + i * sb, sb);
        memcpy(out + 2 * i * sb + sb, right + i * sb, sb);
    }
}

void SplitFrameTail(int from, int frames, unsigned sb, const uint8_t* in, uint8_t* left,
                    uint8_t* right) {
    for (int i = from; i < frames; ++i) {
        memcpy(left + i * sb, in + 2 * i * sb, sb);
        if (right != nullptr) {
            memcpy(right + i * sb, in + 2 * i * sb + sb, sb);
        }
    }
}

NALVO_HOT_LOOP void Interleave16(int frames, const uint8_t* left, const uint8_t* right,
                                 uint8_t* out) {
    const int pairs = frames / 2;
    for (int i = 0; i < pairs; ++i) {
        const uint32_t l = Load32(left + 4 * i);
        const uint32_t r = Load32(right + 4 * i);
        Store32(out + 8 * i, (l & 0xffffu) | (r << 16));
        Store32(out + 8 * i + 4, (l >> 16) | (r & 0xffff0000u));
    }
    CopyFrameTail(2 * pairs, frames, 2, left, right, out);
}

// Four 24-bit samples, each in the low bits of its own word.
struct Four {
    uint64_t s[4];
};

// Four packed samples from the three 32-bit words that hold them.
inline Four Unpack24(uint64_t w0, uint64_t w1, uint64_t w2) {
    return {{w0 & 0xffffffu, (w0 >> 24) | ((w1 << 8) & 0xffffffu),
             (w1 >> 16) | ((w2 << 16) & 0xffffffu), w2 >> 8}};
}

// Four packed samples into three 32-bit words.
inline void Pack24(uint8_t* out, const Four& f) {
    Store32(out, static_cast<uint32_t>(f.s[0] | (f.s[1] << 24)));
    Store32(out + 4, static_cast<uint32_t>((f.s[1] >> 8) | (f.s[2] << 16)));
    Store32(out + 8, static_cast<uint32_t>((f.s[2] >> 16) | (f.s[3] << 8)));
}

// Four stereo frames (24 bytes) as three 64-bit words, and back: even samples are input 1.
inline void SplitFrames24(const uint8_t* p, Four& left, Four& right) {
    const uint64_t i0 = Load64(p), i1 = Load64(p + 8), i2 = Load64(p + 16);
    left = {{i0 & 0xffffffu, (i0 >> 48) | ((i1 & 0xffu) << 16), (i1 >> 32) & 0xffffffu,
             (i2 >> 16) & 0xffffffu}};
    right = {{(i0 >> 24) & 0xffffffu, (i1 >> 8) & 0xffffffu, (i1 >> 56) | ((i2 & 0xffffu) << 8),
              (i2 >> 40) & 0xffffffu}};
}

inline void PackFrames24(uint8_t* out, const Four& l, const Four& r) {
    Store64(out, l.s[0] | (r.s[0] << 24) | (l.s[1] << 48));
    Store64(out + 8, (l.s[1] >> 16) | (r.s[1] << 8) | (l.s[2] << 32) | (r.s[2] << 56));
    Store64(out + 16, (r.s[2] >> 8) | (l.s[3] << 16) | (r.s[3] << 40));
}

NALVO_HOT_LOOP void Interleave24(int frames, const uint8_t* left, const uint8_t* right,
                                 uint8_t* out) {
    const int groups = frames / 4;
    for (int g = 0; g < groups; ++g) {
        const uint8_t* l = left + 12 * g;
        const uint8_t* r = right + 12 * g;
        PackFrames24(out + 24 * g, Unpack24(Load32(l), Load32(l + 4), Load32(l + 8)),
                     Unpack24(Load32(r), Load32(r + 4), Load32(r + 8)));
    }
    CopyFrameTail(4 * groups, frames, 3, left, right, out);
}

NALVO_HOT_LOOP void Split16(int frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
    const int pairs = frames / 2;
    for (int i = 0; i < pairs; ++i) {
        const uint32_t a = Load32(in + 8 * i);
        const uint32_t b = Load32(in + 8 * i + 4);
        Store32(left + 4 * i, (a & 0xffffu) | (b << 16));
        Store32(right + 4 * i, (a >> 16) | (b & 0xffff0000u));
    }
    SplitFrameTail(2 * pairs, frames, 2, in, left, right);
}

NALVO_HOT_LOOP void TakeLeft16(int frames, const uint8_t* in, uint8_t* left) {
    const int pairs = frames / 2;
    for (int i = 0; i < pairs; ++i) {
        const uint32_t a = Load32(in + 8 * i);
        const uint32_t b = Load32(in + 8 * i + 4);
        Store32(left + 4 * i, (a & 0xffffu) | (b << 16));
    }
    SplitFrameTail(2 * pairs, frames, 2, in, left, nullptr);
}

NALVO_HOT_LOOP void Split24(int frames, const uint8_t* in, uint8_t* left, uint8_t* right) {
    const int groups = frames / 4;
    for (int g = 0; g < groups; ++g) {
        Four l, r;
        SplitFrames24(in + 24 * g, l, r);
        Pack24(left + 12 * g, l);
        Pack24(right + 12 * g, r);
    }
    SplitFrameTail(4 * groups, frames, 3, in, left, right);
}

NALVO_HOT_LOOP void TakeLeft24(int frames, const uint8_t* in, uint8_t* left) {
    const int groups = frames / 4;
    for (int g = 0; g < groups; ++g) {
        Four l, r;
        SplitFrames24(in + 24 * g, l, r);
        Pack24(left + 12 * g, l);
    }
    SplitFrameTail(4 * groups, frames, 3, in, left, nullptr);
}

#ifdef NALVO_SSSE3
// Packed 24-bit frames need byte shuffles the vectoriser will not find on its own; x86 has
// them from SSSE3 on. Four frames at a time: 16-byte loads for a 12-byte group and 16-byte
// stores for 12, so these stop one group short of the end and return how many frames they
// did; the word loops above do the rest.

__attribute__((target("ssse3"))) int Interleave24Ssse3(int frames, const uint8_t* left,
                                                       const uint8_t* right, uint8_t* out) {
    const int groups = frames / 4 - 1;
    const __m128i headL = _mm_setr_epi8(0, 1, 2, -1, -1, -1, 3, 4, 5, -1, -1, -1, 6, 7, 8, -1);
    const __m128i headR = _mm_setr_epi8(-1, -1, -1, 0, 1, 2, -1, -1, -1, 3, 4, 5, -1, -1, -1, 6);
    const __m128i tailL =
        _mm_setr_epi8(-1, -1, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i tailR =
        _mm_setr_epi8(7, 8, -1, -1, -1, 9, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1);
    for (int g = 0; g < groups; ++g) {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + 12 * g));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + 12 * g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24 * g),
                         _mm_or_si128(_mm_shuffle_epi8(l, headL), _mm_shuffle_epi8(r, headR)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 24 * g + 16),
                         _mm_or_si128(_mm_shuffle_epi8(l, tailL), _mm_shuffle_epi8(r, tailR)));
    }
    return groups > 0 ? 4 * groups : 0;
}

// Four frames (24 bytes) from two overlapping loads: bytes 0-15 and 8-23.
__attribute__((target("ssse3"))) int Split24Ssse3(int frames, const uint8_t* in, uint8_t* left,
                                                  uint8_t* right) {
    const int groups = frames / 4 - 1;
    const __m128i leftA = _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m128i leftB =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 10, 11, 12, -1, -1, -1, -1);
    const __m128i rightA =
        _mm_setr_epi8(3, 4, 5, 9, 10, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i rightB =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, 8, 9, 13, 14, 15, -1, -1, -1, -1);
    for (int g = 0; g < groups; ++g) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 24 * g));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 24 * g + 8));
        // Each store runs four bytes past its group; the next group's store covers them.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(left + 12 * g),
                         _mm_or_si128(_mm_shuffle_epi8(a, leftA), _mm_shuffle_epi8(b, leftB)));
        if (right != nullptr) {
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(right + 12 * g),
                _mm_or_si128(_mm_shuffle_epi8(a, rightA), _mm_shuffle_epi8(b, rightB)));
        }
    }
    return groups > 0 ? 4 * groups : 0;
}
#endif

}  // namespace

void RaisePeak(int channel, int32_t peak, unsigned sampleBytes, int32_t* recPeak,
               int32_t* periodPeak) {
    if (recPeak[channel] < peak) {
        recPeak[channel] = peak;
    }
    if (periodPeak[channel] < peak) {
        periodPeak[channel] = peak;
    }
    if (peak > ClipThreshold(sampleBytes)) {
        char text[48];
        const int n = snprintf(text, sizeof text, "\nInput Channel %i is Peaking!\n", channel + 1);
        ConsoleText(text, static_cast<size_t>(n), ConsoleLine::Droppable);
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
    if (sampleBytes == 3) {
        int done = 0;
#ifdef NALVO_SSSE3
        if (__builtin_cpu_supports("ssse3")) {
            done = Split24Ssse3(frames, in, left, right);
        }
#endif
        in += 6 * done;
        left += 3 * done;
        if (right == nullptr) {
            TakeLeft24(frames - done, in, left);
        } else {
            Split24(frames - done, in, left, right + 3 * done);
        }
    } else {
        right == nullptr ? TakeLeft16(frames, in, left) : Split16(frames, in, left, right);
    }
}

void Interleave(int frames, int sampleBytes, const uint8_t* left, const uint8_t* right,
                uint8_t* out) {
    if (frames <= 0) {
        return;
    }
    if (sampleBytes == 3) {
        int done = 0;
#ifdef NALVO_SSSE3
        if (__builtin_cpu_supports("ssse3")) {
            done = Interleave24Ssse3(frames, left, right, out);
        }
#endif
        Interleave24(frames - done, left + 3 * done, right + 3 * done, out + 6 * done);
    } else {
        Interleave16(frames, left, right, out);
    }
}
