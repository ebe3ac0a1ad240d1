// Deterministic test signals of the fake capture device.
//
// Header-only and free of ALSA so that the plugin, which produces the samples, and the tests,
// which check a recording against them, compute exactly the same value for any frame.
//
// "frame" is device time: the n-th frame since the stream first started, counting the frames
// that were lost to overruns or while the device was away (see README.md). Sample values are
// signed integers of the given width (16 or 24 bits); packing them is the plugin's business.
#ifndef NALVO_TESTS_FAKEDEV_FAKE_SIGNAL_H
#define NALVO_TESTS_FAKEDEV_FAKE_SIGNAL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nalvo_fake {

enum class SignalKind { kPattern, kSine, kSilence, kConst };

// What one channel of the device carries. Amplitudes (peak, value) are given in 16-bit units,
// so that one device definition means the same level whatever width the stream is opened with;
// a 24-bit stream scales them by 256.
struct ChannelSignal {
    SignalKind kind = SignalKind::kPattern;
    double peak = 16384.0;            // sine: peak magnitude
    double freq = 1000.0;             // sine: frequency in Hz
    double value = 0.0;               // const: the value
    std::vector<uint64_t> fullscale;  // frames whose sample is forced to the most negative value
};

inline ChannelSignal Pattern() {
    return ChannelSignal{};
}
inline ChannelSignal Sine(double peak, double freq) {
    ChannelSignal s;
    s.kind = SignalKind::kSine;
    s.peak = peak;
    s.freq = freq;
    return s;
}
inline ChannelSignal Silence() {
    ChannelSignal s;
    s.kind = SignalKind::kSilence;
    return s;
}
inline ChannelSignal Const(double value) {
    ChannelSignal s;
    s.kind = SignalKind::kConst;
    s.value = value;
    return s;
}

// Largest and smallest sample of the width; the most negative one is what "fullscale" frames
// carry, the pattern never gets within two steps of either end.
constexpr int32_t MaxSample(unsigned bits) {
    return (int32_t{1} << (bits - 1)) - 1;
}
constexpr int32_t MinSample(unsigned bits) {
    return -(int32_t{1} << (bits - 1));
}

// The pattern runs through PatternPeriod(bits) distinct values:
//   v = ((2 * frame + channel) mod (2^bits - 5)) - (2^(bits-1) - 3)
// i.e. 16-bit: ((2f + ch) mod 65531) - 32765, 24-bit: ((2f + ch) mod 16777211) - 8388605.
// |v| <= 32765 (16-bit) / 8388605 (24-bit), so a correct recording never looks clipped.
// Channels 0 and 1 of a frame differ by one step; beyond two channels the values repeat those
// of later frames of channels 0/1, so only two-channel streams identify their channel.
constexpr uint64_t PatternPeriod(unsigned bits) {
    return (uint64_t{1} << bits) - 5;
}
constexpr int32_t PatternOffset(unsigned bits) {
    return (int32_t{1} << (bits - 1)) - 3;
}

constexpr int32_t PatternSample(uint64_t frame, unsigned channel, unsigned bits) {
    const uint64_t period = PatternPeriod(bits);
    const uint64_t pos = ((frame % period) * 2 + channel) % period;
    return static_cast<int32_t>(pos) - PatternOffset(bits);
}

// Inverse of PatternSample for a known channel: the frame number modulo PatternPeriod(bits).
// Returns -1 when value is outside the pattern's range.
constexpr int64_t PatternFrame(int32_t value, unsigned channel, unsigned bits) {
    const int64_t period = static_cast<int64_t>(PatternPeriod(bits));
    const int64_t pos = int64_t{value} + PatternOffset(bits);
    if (pos < 0 || pos >= period) {
        return -1;
    }
    // The period is odd, so 2 has the inverse (period + 1) / 2.
    const int64_t twice =
        ((pos - static_cast<int64_t>(channel % period)) % period + period) % period;
    return twice * ((period + 1) / 2) % period;
}

inline int32_t ClampSample(double v, unsigned bits) {
    const double lo = MinSample(bits);
    const double hi = MaxSample(bits);
    return static_cast<int32_t>(std::lround(std::min(hi, std::max(lo, v))));
}

// Scale from 16-bit units to the width.
inline double UnitScale(unsigned bits) {
    return std::ldexp(1.0, static_cast<int>(bits) - 16);
}

// v = lround(peak * sin(2 * pi * freq * frame / rate)), peak in 16-bit units. The phase is
// reduced with fmod first, which is exact for whole-Hz frequencies and keeps long recordings
// as precise as their first second.
inline int32_t SineSample(uint64_t frame, double peak, double freq, unsigned rate, unsigned bits) {
    const double kTwoPi = 6.283185307179586476925286766559;
    const double phase = std::fmod(freq * static_cast<double>(frame), static_cast<double>(rate));
    const double v = peak * UnitScale(bits) * std::sin(kTwoPi * phase / static_cast<double>(rate));
    return ClampSample(v, bits);
}

// The sample a channel carries at a device frame.
inline int32_t SampleAt(const ChannelSignal& s, uint64_t frame, unsigned channel, unsigned rate,
                        unsigned bits) {
    if (std::find(s.fullscale.begin(), s.fullscale.end(), frame) != s.fullscale.end()) {
        return MinSample(bits);
    }
    switch (s.kind) {
        case SignalKind::kPattern:
            return PatternSample(frame, channel, bits);
        case SignalKind::kSine:
            return SineSample(frame, s.peak, s.freq, rate, bits);
        case SignalKind::kConst:
            return ClampSample(s.value * UnitScale(bits), bits);
        case SignalKind::kSilence:
            break;
    }
    return 0;
}

}  // namespace nalvo_fake

#endif  // NALVO_TESTS_FAKEDEV_FAKE_SIGNAL_H
