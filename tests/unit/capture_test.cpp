#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "frames.h"
#include "kit.h"
#include "names.h"
#include "samples.h"
#include "timeline.h"

namespace {

struct PeakCase {
    const char* name;
    unsigned sampleBytes;
    std::vector<uint8_t> bytes;
    int32_t peak;
    bool warns;
};

const PeakCase kPeaks[] = {
    {"s16_top_quiet", 2, {0xFE, 0x7F}, 32766, false},
    {"s16_max", 2, {0xFF, 0x7F}, 32767, true},
    {"s16_min_plus_one", 2, {0x01, 0x80}, 32767, true},
    {"s16_min", 2, {0x00, 0x80}, 32768, true},
    {"s16_minus_one", 2, {0xFF, 0xFF}, 1, false},
    {"s16_256", 2, {0x00, 0x01}, 256, false},
    {"s16_picks_largest", 2, {0x10, 0x00, 0x00, 0xF0, 0x20, 0x00}, 4096, false},
    {"s24_top_quiet", 3, {0xFE, 0xFF, 0x7F}, 8388606, false},
    {"s24_max", 3, {0xFF, 0xFF, 0x7F}, 8388607, true},
    {"s24_min", 3, {0x00, 0x00, 0x80}, 8388608, true},
    {"s24_minus_one", 3, {0xFF, 0xFF, 0xFF}, 1, false},
    // The middle byte is unsigned and the top one signed.
    {"s24_mixed", 3, {0x34, 0xF2, 0xFE}, 69068, false},
    {"s24_picks_largest", 3, {0x01, 0x00, 0x00, 0x00, 0x80, 0xFF, 0x05, 0x00, 0x00}, 32768, false},
};

TEST(CheckPeak, DecodesEveryBoundaryAndWarnsOnTheTopTwoCodes) {
    for (const PeakCase& c : kPeaks) {
        for (int channel = 0; channel < 2; ++channel) {
            SCOPED_TRACE(std::string(c.name) + " channel " + std::to_string(channel));
            int32_t rec[2] = {0, 0}, per[2] = {0, 0};
            const bool clipped =
                CheckPeak(channel, static_cast<int>(c.bytes.size() / c.sampleBytes), c.sampleBytes,
                          rec, c.bytes.data(), per);
            EXPECT_EQ(rec[channel], c.peak);
            EXPECT_EQ(per[channel], c.peak);
            EXPECT_EQ(rec[1 - channel], 0);
            EXPECT_EQ(per[1 - channel], 0);
            EXPECT_EQ(clipped, c.warns);
        }
    }
}

TEST(CheckPeak, VectorLoopAgreesWithSampleBySampleDecoding) {
    // Lengths around vector widths, with the loudest sample at every position in turn.
    for (unsigned sb : {2u, 3u}) {
        for (int count : {1, 7, 8, 15, 16, 17, 33, 4096}) {
            std::vector<uint8_t> bytes(static_cast<size_t>(count) * sb);
            uint32_t seed = 12345;
            int32_t expected = 0;
            for (int i = 0; i < count; ++i) {
                seed = seed * 1103515245u + 12345u;
                int32_t v = static_cast<int32_t>(seed >> 8) % (sb == 2 ? 30000 : 8000000);
                if (seed & 1) {
                    v = -v;
                }
                for (unsigned b = 0; b < sb; ++b) {
                    bytes[i * sb + b] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
                }
                expected = std::max(expected, std::abs(v));
            }
            SCOPED_TRACE("width " + std::to_string(sb) + " count " + std::to_string(count));
            EXPECT_EQ(MaxMagnitude(bytes.data(), count, sb), expected);
        }
    }
}

TEST(InterleavedFrames, WavOrderAndSplitAndMeasureAgreeWithTheSeparateRuns) {
    // Interleaving puts each frame's input 1 before its input 2 and writes nothing past the
    // frames; splitting gives the inputs back, and measuring gives each input's own peak.
    // Lengths around vector widths and past a period.
    for (int sb : {2, 3}) {
        for (int frames : {1, 5, 16, 17, 1023, 4099}) {
            SCOPED_TRACE("width " + std::to_string(sb) + " frames " + std::to_string(frames));
            std::vector<uint8_t> left(frames * sb), right(frames * sb), both(2 * frames * sb + 1);
            uint32_t seed = 99;
            for (size_t i = 0; i < left.size(); ++i) {
                seed = seed * 1664525u + 1013904223u;
                left[i] = static_cast<uint8_t>(seed >> 24);
                right[i] = static_cast<uint8_t>(seed >> 16);
            }
            both.back() = 0xEE;
            Interleave(frames, sb, left.data(), right.data(), both.data());
            EXPECT_EQ(both.back(), 0xEE);
            for (int f = 0; f < frames; ++f) {
                for (int b = 0; b < sb; ++b) {
                    ASSERT_EQ(both[(2 * f) * sb + b], left[f * sb + b]) << f;
                    ASSERT_EQ(both[(2 * f + 1) * sb + b], right[f * sb + b]) << f;
                }
            }
            std::vector<uint8_t> l2(left.size() + 1, 0xEE), r2(right.size() + 1, 0xEE);
            Deinterleave(frames, sb, both.data(), l2.data(), r2.data());
            EXPECT_EQ(std::vector<uint8_t>(l2.begin(), l2.end() - 1), left);
            EXPECT_EQ(std::vector<uint8_t>(r2.begin(), r2.end() - 1), right);
            EXPECT_EQ(l2.back(), 0xEE);
            EXPECT_EQ(r2.back(), 0xEE);
            std::vector<uint8_t> onlyLeft(left.size(), 0);
            Deinterleave(frames, sb, both.data(), onlyLeft.data(), nullptr);
            EXPECT_EQ(onlyLeft, left);

            const int32_t wantL = MaxMagnitude(left.data(), frames, sb);
            const int32_t wantR = MaxMagnitude(right.data(), frames, sb);
            int32_t pair[2] = {-1, -1};
            MaxMagnitudePair(both.data(), frames, sb, pair);
            EXPECT_EQ(pair[0], wantL);
            EXPECT_EQ(pair[1], wantR);
            EXPECT_EQ(MaxMagnitudeOfInput(both.data(), frames, sb, 0), wantL);
            EXPECT_EQ(MaxMagnitudeOfInput(both.data(), frames, sb, 1), wantR);
        }
    }
    uint8_t untouched[4] = {9, 9, 9, 9};
    Interleave(0, 2, nullptr, nullptr, untouched);
    EXPECT_EQ(untouched[0], 9);
}

TEST(Quantize, RoundsUpToWholePeriods) {
    struct Case {
        int period;
        unsigned rate;
        float duration;
        int64_t frames;
    };
    const Case cases[] = {
        {4096, 44100, 60.0f, 2646016},  // 646 periods
        {4096, 48000, 10.0f, 483328},   // 118 periods
        {4096, 44100, 0.001f, 4096},    // under a period is one period
        {4096, 48000, 4096.0f / 48000.0f, 4096},
        {1024, 48000, 10.0f, 480256},
        {4096, 96000, 7456.0f, 715776000},
        // A week, far past 32-bit counts: the product is rounded to single precision first.
        {4096, 96000, 604800.0f, 58060800000},
    };
    for (const Case& c : cases) {
        int64_t frames = -1;
        EXPECT_TRUE(QUANTIZE(c.period, c.rate, &c.duration, &frames));
        EXPECT_EQ(frames, c.frames) << c.rate << " Hz, " << c.duration << " s";
    }
}

TEST(Quantize, RefusesLengthsA64BitCountCannotHold) {
    EXPECT_EQ(MaxWholeSeconds(4096, 48000), 192153584101141);
    const float justOver = 1.93e14f, inf = INFINITY, fits = 1.9e14f;
    int64_t frames = 123;
    EXPECT_FALSE(QUANTIZE(4096, 48000, &justOver, &frames));
    EXPECT_FALSE(QUANTIZE(4096, 96000, &inf, &frames));
    EXPECT_EQ(frames, 123);
    EXPECT_TRUE(QUANTIZE(4096, 48000, &fits, &frames));
    EXPECT_GT(frames, int64_t{1} << 62);
}

TEST(FileFrames, EveryFileStaysBelowFourGibibytes) {
    for (unsigned align : {2u, 3u, 4u, 6u}) {
        const int64_t frames = FileFrames(align);
        EXPECT_LE(44 + frames * align, int64_t{UINT32_MAX}) << align;
        EXPECT_GT(44 + (frames + 1) * align, int64_t{UINT32_MAX}) << align;
    }
}

TEST(FileNames, ContinuationsNumberedBeforeTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"a.wav", "a-2.wav"},           {"take", "take-2"},       {"dir.d/take", "dir.d/take-2"},
        {"/r/x.y.wav", "/r/x.y-2.wav"}, {".hidden", ".hidden-2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ContinuationName(c.first, 2), c.second);
    }
    EXPECT_EQ(ContinuationName("a.wav", 13), "a-13.wav");
}

TEST(GeneratedName, CarriesInputAndSecondsSinceTheNamingEpoch) {
    EXPECT_EQ(GeneratedName(1, 1700000000L - kit::NamingEpoch()), "rec_chan_1_350114660.wav");
    EXPECT_EQ(GeneratedName(2, 1700000000L - kit::NamingEpoch()), "rec_chan_2_350114660.wav");
}

TEST(Timeline, SilenceForALossIsTheTimeThatPassedAndNeverMore) {
    // 48 kHz: 48 frames a millisecond. A period of 4096 frames, a ring of 32768.
    constexpr int64_t kMs = 1000000;
    struct Anchor {
        int64_t frame, avail, ms;  // a read that noted the capture time
    };
    struct Case {
        const char* name;
        std::vector<Anchor> anchors;
        int64_t lastFrameRead;
        int restOfPeriod;
        int64_t restartMs, lost;
    };
    const Case cases[] = {
        {"capture time unknown: the rest of the period", {}, 1000, 3096, 1000, 3096},
        {"the time since the last frame was captured", {{4800, 0, 100}}, 4800, 3392, 1000, 43200},
        {"frames waiting in the ring came earlier", {{4800, 480, 110}}, 4800, 3392, 1000, 43200},
        {"a ring kept full tells no time", {{4800, 30000, 110}}, 4800, 1000, 1000, 1000},
        {"faster than real time: rest of the period", {{48000, 0, 100}}, 48000, 2000, 101, 2000},
        {"less time than the frames read: none", {{4800, 0, 100}}, 4900, 3292, 101, 0},
    };
    const auto timeline = [](const std::vector<Anchor>& anchors) {
        Timeline t;
        t.rate = 48000;
        t.period = 4096;
        for (const Anchor& a : anchors) {
            NoteCaptureTime(t, a.frame, a.avail, 32768, a.ms * kMs);
        }
        return t;
    };
    for (const Case& c : cases) {
        Timeline t = timeline(c.anchors);
        EXPECT_EQ(LostFrames(t, c.lastFrameRead, c.restOfPeriod, c.restartMs * kMs), c.lost)
            << c.name;
    }
    // The restart is where the timeline stands next: half a second later, with 12000
    // frames read since, 12000 more were lost.
    Timeline t = timeline({{4800, 0, 100}});
    ASSERT_EQ(LostFrames(t, 4800, 3392, 1000 * kMs), 43200);
    EXPECT_EQ(LostFrames(t, 48000 + 12000, 0, 1500 * kMs), 12000);
}

}  // namespace
