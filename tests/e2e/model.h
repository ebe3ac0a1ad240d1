// A model of what a recording must produce from a known device signal: the samples of
// each file and the whole console stream, built independently of the capture loop.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fake_signal.h"
#include "harness.h"

struct Mode {
    const char* arg;  // "1", "2" or "s"
    int files;
    bool stereo;
};
extern const Mode kModes[3];

// What the device carries, and which of its periods an injected fault loses.
struct Source {
    nalvo_fake::ChannelSignal ch[2];
    std::set<int> lostPeriods;
    // Frames [first, second) the files hold as silence: an overrun within a period.
    std::pair<int64_t, int64_t> lostFrames{0, 0};
    int32_t Sample(int64_t frame, int channel, unsigned rate, unsigned bits) const {
        return nalvo_fake::SampleAt(ch[channel], static_cast<uint64_t>(frame),
                                    static_cast<unsigned>(channel), rate, bits);
    }
};

Source PatternSource();

// The console stream of a complete recording: the announcement, one redraw per period with
// the peaks measured one period late, the hold window, the overrun marks and the report.
std::string ExpectedStream(const Mode& mode, const Format& fmt, const Source& src, int period,
                           int32_t total);

// Checks a file's header and that it holds input `firstInput` (and the next one in a
// stereo file) sample for sample for `frames` frames. Frame f of the file is device frame
// f + `shift` (a suspend delays the device's timeline without losing frames).
void ExpectRecording(const std::string& path, const Format& fmt, bool stereo, int firstInput,
                     const Source& src, int64_t frames, int period, int64_t shiftFrom = -1,
                     int64_t shift = 0);

// ExpectRecording for every file of a recording in `mode`, each with its input(s).
void ExpectRecordings(const ScratchDir& dir, const Format& fmt, const Mode& mode, const Source& src,
                      int64_t frames, int period);

// The files of a recording in `mode`: in1.wav, and in2.wav in mode "2".
std::vector<std::string> OutputFiles(const Mode& mode);

// Runs a recording of `seconds` in `fmt` and `mode` into OutputFiles(mode) in `dir`, with
// the other options of `run` (its `args` go before the format): from `device` of the tests' configuration or, given `keys`,
// from a fake device of that name with these settings.
RunResult Record(const ScratchDir& dir, const Format& fmt, const char* seconds, const Mode& mode,
                 const char* device, const std::string& keys = "", RunOptions run = {});
