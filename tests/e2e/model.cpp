#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "display.h"
#include "harness.h"

const Mode kModes[3] = {{"1", 1, false}, {"2", 2, false}, {"s", 1, true}};

Source PatternSource() {
    return Source{{nalvo_fake::Pattern(), nalvo_fake::Pattern()}, {}};
}

namespace {

// Largest magnitude of one input over one period of the device, 0 for a lost period.
int32_t PeriodPeak(const Source& src, int k, int ch, int period, unsigned rate, unsigned bits) {
    if (k < 0 || src.lostPeriods.count(k)) {
        return 0;
    }
    int32_t best = 0;
    for (int64_t f = int64_t{k} * period; f < int64_t{k + 1} * period; ++f) {
        best = std::max(best, std::abs(src.Sample(f, ch, rate, bits)));
    }
    return best;
}

}  // namespace

std::string Dbfs(int input, int32_t peak, unsigned sampleBytes) {
    const double fs = sampleBytes == 3 ? 8388608.0 : 32768.0;
    char line[64];
    snprintf(line, sizeof line, "\tchannel %i: %.2f dBFS\n", input,
             static_cast<double>(static_cast<float>(-20.0 * log10(fs / peak))));
    return line;
}

// The console stream a complete recording must print: the announcement, one redraw per
// period with the peaks measured one period late, the hold window, and the report.
std::string ExpectedStream(const Mode& mode, const Format& fmt, const Source& src, int period,
                           int32_t total) {
    const unsigned bits = fmt.bits;
    const int inputs = mode.stereo || mode.files == 2 ? 2 : 1;
    const int32_t clip = fmt.bytes() == 3 ? 8388606 : 32766;
    std::string s = mode.stereo ? "Recording in Stereo\n" : "Recording\n";
    int32_t rec[2] = {0, 0}, per[2] = {0, 0}, hold[2] = {0, 0};
    int holdCount = 0, reset = 1;
    const int holdLen = static_cast<int>((3 * fmt.rate) >> 12);
    for (int k = 1; k <= total / period; ++k) {
        if (src.lostPeriods.count(k - 1)) {
            s += "\nRX\n";
        }
        for (int ch = 0; ch < inputs; ++ch) {
            per[ch] = PeriodPeak(src, k - 2, ch, period, fmt.rate, bits);
            rec[ch] = std::max(rec[ch], per[ch]);
            if (per[ch] > clip) {
                s += "\nInput Channel " + std::to_string(ch + 1) + " is Peaking!\n";
            }
        }
        char text[2 * kDisplayTextMax];
        int n = FormatClock(text, sizeof text, total, -k * period, fmt.rate);
        n += FormatMeter(text + n, sizeof text - n, per, 45.0f, reset, 11.25f,
                         static_cast<int>(fmt.bytes()), inputs, hold);
        s.append(text, static_cast<size_t>(n));
        ++holdCount;
        for (int ch = 0; ch < inputs; ++ch) {
            hold[ch] = std::max(hold[ch], per[ch]);
        }
        if (holdCount > holdLen) {
            for (int ch = 0; ch < inputs; ++ch) {
                hold[ch] = per[ch];
            }
            holdCount = 0;
        }
    }
    s += "\n\nInput Channel Peaks:\n";
    for (int ch = 0; ch < inputs; ++ch) {
        s += Dbfs(ch + 1, rec[ch], fmt.bytes());
    }
    if (!src.lostPeriods.empty()) {
        s += "\nRecord Overruns = " + std::to_string(src.lostPeriods.size()) + "\n";
    }
    return s + "Done\n";
}

// Checks a file's header and that it holds input `firstInput` (and the next one in a
// stereo file) sample for sample for `frames` frames.
void ExpectRecording(const std::string& path, const Format& fmt, bool stereo, int firstInput,
                     const Source& src, int64_t frames, int period, int64_t shiftFrom,
                     int64_t shift) {
    SCOPED_TRACE(path);
    const Wav w = ReadWav(path);
    ASSERT_TRUE(w.valid);
    EXPECT_EQ(w.rate, fmt.rate);
    EXPECT_EQ(w.bits, fmt.bits);
    EXPECT_EQ(w.channels, stereo ? 2 : 1);
    EXPECT_EQ(w.dataSize, w.data.size());
    ASSERT_EQ(static_cast<int64_t>(w.Frames()), frames);
    ASSERT_EQ(w.data.size() % w.blockAlign, 0u);
    const unsigned bits = fmt.bits;
    for (int64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < w.channels; ++c) {
            const int input = firstInput + c;
            const int64_t device = shiftFrom >= 0 && f >= shiftFrom ? f - shift : f;
            const int32_t want = src.lostPeriods.count(static_cast<int>(f / period))
                                     ? 0
                                     : src.Sample(device, input, fmt.rate, bits);
            ASSERT_EQ(w.Sample(static_cast<size_t>(f), c), want)
                << "frame " << f << " input " << input + 1;
        }
    }
}

std::vector<std::string> Args(const Format& fmt, const char* seconds, const char* device,
                              const Mode& mode) {
    std::vector<std::string> a = {fmt.code, seconds, device, mode.arg, "in1.wav"};
    if (mode.files == 2) {
        a.push_back("in2.wav");
    }
    return a;
}

std::string WithDevices(const ScratchDir& dir, const std::string& definitions) {
    WriteFile(dir / "devices.conf", definitions);
    return std::string(NALVO_ALSA_CONF) + ":" + (dir / "devices.conf");
}

std::string FakeDevice(const std::string& name, const std::string& keys) {
    return "pcm." + name + " {\n type nalvo_fake\n" + keys + "\n}\n";
}
