#include "model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

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

// dB below full scale: minus infinity for silence, and "-0.0" at full scale, as printed.
double Db(int32_t magnitude, unsigned bytes) {
    return -20.0 * log10(FullScale(bytes) / magnitude);
}

// "\tchannel N: X dBFS\n" for a recording peak.
std::string Dbfs(int input, int32_t peak, unsigned bytes) {
    char line[64];
    snprintf(line, sizeof line, "\tchannel %i: %.2f dBFS\n", input,
             static_cast<double>(static_cast<float>(Db(peak, bytes))));
    return line;
}

// The meter of the console line, as the manual page describes it, one period at a time. The
// bar follows one level: the peak of input 1, or the mean of both inputs' peaks (their
// magnitudes, not their dB values). It rises at once to a period louder than the one before
// and otherwise falls a fixed step; its cells fill from the bottom of the range, a cell lit
// by any part of it. Each readout shows the latest held peak that was not silence.
class Meter {
   public:
    std::string Line(const int32_t peak[2], const int32_t held[2], int inputs, unsigned bytes) {
        const int32_t shown = inputs == 2 ? (peak[0] + peak[1]) / 2 : peak[0];
        const double level = Db(shown, bytes);
        bar_ = level > previous_ ? level : bar_ - kMeterFallDb;
        previous_ = static_cast<float>(level);
        const double cells = (kMeterRangeDb + bar_) / (kMeterRangeDb / double{kMeterCells});
        const int lit = cells <= 0 ? 0 : std::min(kMeterCells, static_cast<int>(std::ceil(cells)));
        for (int ch = 0; ch < inputs; ++ch) {
            if (held[ch] != 0) {
                char text[16];
                snprintf(text, sizeof text, "%.1f", Db(held[ch], bytes));
                readout_[ch] = text;
            }
        }
        return MeterText(lit, readout_[0], inputs == 2 ? readout_[1].c_str() : nullptr);
    }

   private:
    double bar_ = -144.0;
    // The level of the period before, remembered in single precision as the display's
    // worked examples show: a steady level that lies above its single-precision value
    // (8000, 12288) counts as louder every period and holds the bar.
    float previous_ = -144.0f;
    std::string readout_[2] = {kNoPeakYet, kNoPeakYet};
};

}  // namespace

// The console stream a complete recording must print: the announcement, one redraw per
// period with the peaks measured one period late, and the report. A held peak is the
// loudest period of its window so far; a window starts with every HoldPeriods-th redraw.
std::string ExpectedStream(const Mode& mode, const Format& fmt, const Source& src, int period,
                           int32_t total) {
    const int inputs = mode.stereo || mode.files == 2 ? 2 : 1;
    // The two highest codes of the scale clip.
    const int32_t clip = static_cast<int32_t>(FullScale(fmt.bytes())) - 2;
    const int window = HoldPeriods(fmt.rate);
    std::string s = mode.stereo ? "Recording in Stereo\n" : "Recording\n";
    Meter meter;
    int32_t rec[2] = {0, 0}, per[2] = {0, 0}, held[2] = {0, 0};
    for (int k = 1; k <= total / period; ++k) {
        if (src.lostPeriods.count(k - 1)) {
            s += "\nRX\n";
        }
        for (int ch = 0; ch < inputs; ++ch) {
            per[ch] = PeriodPeak(src, k - 2, ch, period, fmt.rate, fmt.bits);
            rec[ch] = std::max(rec[ch], per[ch]);
            if (per[ch] > clip) {
                s += "\nInput Channel " + std::to_string(ch + 1) + " is Peaking!\n";
            }
        }
        s += ClockText(static_cast<double>(total - int64_t{k} * period) / fmt.rate);
        s += meter.Line(per, held, inputs, fmt.bytes());
        for (int ch = 0; ch < inputs; ++ch) {
            held[ch] = k % window == 0 ? per[ch] : std::max(held[ch], per[ch]);
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
    ASSERT_TRUE(w.Whole());
    EXPECT_EQ(w.rate, fmt.rate);
    EXPECT_EQ(w.bits, fmt.bits);
    EXPECT_EQ(w.channels, stereo ? 2 : 1);
    ASSERT_EQ(static_cast<int64_t>(w.Frames()), frames);
    ASSERT_EQ(w.data.size() % w.blockAlign, 0u);
    for (int64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < w.channels; ++c) {
            const int input = firstInput + c;
            const int64_t device = shiftFrom >= 0 && f >= shiftFrom ? f - shift : f;
            const bool lost = src.lostPeriods.count(static_cast<int>(f / period)) ||
                              (f >= src.lostFrames.first && f < src.lostFrames.second);
            const int32_t want = lost ? 0 : src.Sample(device, input, fmt.rate, fmt.bits);
            ASSERT_EQ(w.Sample(static_cast<size_t>(f), c), want)
                << "frame " << f << " input " << input + 1;
        }
    }
}

void ExpectRecordings(const ScratchDir& dir, const Format& fmt, const Mode& mode, const Source& src,
                      int64_t frames, int period) {
    for (size_t i = 0; i < OutputFiles(mode).size(); ++i) {
        ExpectRecording(dir / OutputFiles(mode)[i], fmt, mode.stereo, static_cast<int>(i), src,
                        frames, period);
    }
}

std::vector<std::string> OutputFiles(const Mode& mode) {
    return mode.files == 2 ? std::vector<std::string>{"in1.wav", "in2.wav"}
                           : std::vector<std::string>{"in1.wav"};
}

RunResult Record(const ScratchDir& dir, const Format& fmt, const char* seconds, const Mode& mode,
                 const char* device, const std::string& keys, RunOptions run) {
    std::vector<std::string> args = {fmt.code, seconds, device, mode.arg};
    if (*seconds == '\0') {
        args.erase(args.begin() + 1);  // no set length
    }
    for (const std::string& name : OutputFiles(mode)) {
        args.push_back(name);
    }
    run.args.insert(run.args.end(), args.begin(), args.end());  // options given go first
    run.cwd = dir.path();
    if (!keys.empty()) {
        run.alsaConfig = WithDevices(
            dir, "pcm." + std::string(device) + " {\n type nalvo_fake\n" + keys + "\n}\n");
    }
    return RunNalvo(run);
}
