// Recordings through the real binary from the fake capture device: device setup, the
// files (header and every sample), and the whole console stream.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "model.h"

namespace {

constexpr long kNamingEpoch = 1349885340;

const Format k1648 = {"1648", 48000, 2};
const Format k2496 = {"2496", 96000, 3};

TEST(Recording, EveryModeAndWidthHoldsTheDeviceSignalExactly) {
    const Source src = PatternSource();
    for (const Format& fmt : {k1648, k2496, Format{"2444", 44100, 3}, Format{"1688", 88200, 2},
                              Format{"1696", 96000, 2}, Format{"2488", 88200, 3}}) {
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(fmt.code) + " mode " + mode.arg);
            ScratchDir dir;
            const RunResult r =
                RunNalvo({.args = Args(fmt, "0.5", "nalvo_pattern", mode), .cwd = dir.path()});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            const int period = 4096;
            const int32_t total = static_cast<int32_t>(std::ceil(fmt.rate * 0.5 / period)) * period;
            EXPECT_EQ(r.out, ExpectedStream(mode, fmt, src, period, total));
            ExpectRecording(dir / "in1.wav", fmt, mode.stereo, 0, src, total, period);
            if (mode.files == 2) {
                ExpectRecording(dir / "in2.wav", fmt, false, 1, src, total, period);
            }
        }
    }
}

TEST(Recording, PeaksHoldWindowAndReportOverManyPeriods) {
    // Eight seconds span three hold windows. The pattern's period peaks rise and fall
    // within a window, so a window that restarts at the wrong period shows; the sines
    // give the report real levels.
    struct Case {
        const char* device;
        Source src;
        const char* line1;
    };
    const Case cases[] = {
        {"nalvo_sine",
         {{nalvo_fake::Sine(16384, 1000), nalvo_fake::Sine(8192, 440)}, {}},
         "\tchannel 1: -6.02 dBFS\n"},
        {"nalvo_pattern", PatternSource(), "\tchannel 1: -0.00 dBFS\n"},
    };
    for (const Case& c : cases) {
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(c.device) + " mode " + mode.arg);
            ScratchDir dir;
            const RunResult r =
                RunNalvo({.args = Args(k1648, "8", c.device, mode), .cwd = dir.path()});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, ExpectedStream(mode, k1648, c.src, 4096, 385024));
            EXPECT_NE(r.out.find(c.line1), std::string::npos);
        }
    }
}

TEST(Recording, SameFilesAndConsoleWhateverAccessTheDeviceOffers) {
    // Interleaved reads are preferred; devices offering only one layout are read in it.
    for (const Format& fmt : {k1648, k2496}) {
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(fmt.code) + " mode " + mode.arg);
            std::string reference;
            std::vector<std::vector<uint8_t>> referenceFiles;
            for (const char* device : {"nalvo_pattern", "nalvo_inter", "nalvo_noninter"}) {
                ScratchDir dir;
                const RunResult r =
                    RunNalvo({.args = Args(fmt, "0.3", device, mode), .cwd = dir.path()});
                ASSERT_EQ(r.status, 0) << device << r.err;
                std::vector<std::vector<uint8_t>> files;
                for (const auto& name : dir.Files()) {
                    files.push_back(ReadFile(dir / name));
                }
                if (reference.empty()) {
                    reference = r.out;
                    referenceFiles = files;
                    continue;
                }
                EXPECT_EQ(r.out, reference) << device;
                EXPECT_TRUE(files == referenceFiles) << device;
            }
        }
    }
}

TEST(Recording, GrantedPeriodSetsLengthAndEveryRead) {
    ScratchDir dir;
    const Source src = PatternSource();
    const RunResult r =
        RunNalvo({.args = Args(k1648, "0.1", "nalvo_p1024", kModes[2]), .cwd = dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    // 4800 frames round up to five periods of 1024.
    EXPECT_EQ(r.out, ExpectedStream(kModes[2], k1648, src, 1024, 5120));
    ExpectRecording(dir / "in1.wav", k1648, true, 0, src, 5120, 1024);
}

TEST(Recording, ConsoleRedirectedToAFileKeepsTheWholeStream) {
    ScratchDir dir;
    const RunResult r = RunNalvo({.args = Args(k1648, "0.5", "nalvo_pattern", kModes[2]),
                                  .cwd = dir.path(),
                                  .outFile = dir / "console.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, ExpectedStream(kModes[2], k1648, PatternSource(), 4096, 6 * 4096));
}

TEST(Recording, ShortFormDReachesTheDefaultDevice) {
    ScratchDir dir;
    const RunResult r = RunNalvo({.args = {"1644", "0.1", "d", "1", "a.wav"}, .cwd = dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectRecording(dir / "a.wav", {"1644", 44100, 2}, false, 0, PatternSource(), 8192, 4096);
}

struct SetupFailure {
    std::vector<std::string> args;
    std::string out, err;
};

TEST(DeviceSetup, FailuresEndBeforeAnyFileWithTheirReport) {
    const std::string refused =
        "Could not set record hardware parameters:\nReturned Driver Parameters:\n"
        "\tBuf 1\tBuf 2\tRate\tChannels\n";
    const SetupFailure cases[] = {
        {{"1644", "1", "no_such_device"},
         "",
         "unable to open pcm record device: No such file or directory\n"},
        {{"2448", "1", "nalvo_16only"}, "", "Problem setting recording format: Invalid argument\n"},
        {{"1648", "1", "nalvo_44k"},
         refused + "Record\t4096\t32768\t44100\t2\n-------------------------\n",
         ""},
        {{"1648", "1", "nalvo_mono"},
         refused + "Record\t4096\t32768\t48000\t1\n-------------------------\n",
         ""},
        {{"1648", "1", "nalvo_mmaponly"},
         refused + "Record\t4096\t32768\t48000\t2\n-------------------------\n",
         ""},
        {{"1648", "1", "nalvo_badcommit"},
         refused + "Record\t4096\t32768\t48000\t2\n-------------------------\n",
         ""},
    };
    for (const SetupFailure& c : cases) {
        SCOPED_TRACE(c.args[2]);
        ScratchDir dir;
        const RunResult r = RunNalvo({.args = c.args, .cwd = dir.path()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(dir.Files().empty());
    }
}

TEST(DeviceSetup, LengthIsCheckedAgainWithTheGrantedPeriod) {
    // Fits in 4096-frame periods, but rounded up to 8192-frame ones it no longer fits a
    // signed 32-bit frame count.
    ScratchDir dir;
    const RunResult r = RunNalvo(
        {.args = {"1648", "44739.11", "big", "1", "a.wav"},
         .cwd = dir.path(),
         .alsaConfig = WithDevices(
             dir, FakeDevice("big", "formats [ \"S16_LE\" ]\n channels 2\n period_frames 8192"))});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Improper duration request: at most 44739 seconds in this format\n");
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"devices.conf"});
}

TEST(FileNames, GeneratedNamesNeverReplaceAnEarlierRecording) {
    ScratchDir dir;
    // Take the names of the next few seconds, as a run started just before would have.
    const long now = static_cast<long>(time(nullptr)) - kNamingEpoch;
    std::set<std::string> taken;
    for (long t = now; t < now + 4; ++t) {
        const std::string name = "rec_chan_1_" + std::to_string(t) + ".wav";
        WriteFile(dir / name, "keep");
        taken.insert(name);
    }
    const RunResult r =
        RunNalvo({.args = {"1644", "0.01", "nalvo_pattern", "s"}, .cwd = dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> fresh;
    for (const auto& name : dir.Files()) {
        if (taken.count(name)) {
            EXPECT_EQ(ReadFile(dir / name).size(), 4u) << name;
        } else {
            fresh.push_back(name);
        }
    }
    ASSERT_EQ(fresh.size(), 1u);
    long number = 0;
    ASSERT_EQ(sscanf(fresh[0].c_str(), "rec_chan_1_%ld.wav", &number), 1) << fresh[0];
    EXPECT_GE(number, now + 4);
    EXPECT_EQ(ReadWav(dir / fresh[0]).channels, 2);
}

TEST(FileNames, TwoInputsGetOneGeneratedFileEach) {
    ScratchDir dir;
    const long before = static_cast<long>(time(nullptr)) - kNamingEpoch;
    const RunResult r =
        RunNalvo({.args = {"2448", "0.01", "nalvo_pattern", "2"}, .cwd = dir.path()});
    const long after = static_cast<long>(time(nullptr)) - kNamingEpoch;
    ASSERT_EQ(r.status, 0) << r.err;
    const auto files = dir.Files();
    ASSERT_EQ(files.size(), 2u);
    for (int input = 1; input <= 2; ++input) {
        // Named after the moment the recording starts.
        long number = 0;
        const std::string pattern = "rec_chan_" + std::to_string(input) + "_%ld.wav";
        ASSERT_EQ(sscanf(files[input - 1].c_str(), pattern.c_str(), &number), 1)
            << files[input - 1];
        EXPECT_GE(number, before);
        EXPECT_LE(number, after);
    }
    ExpectRecording(dir / files[1], {"2448", 48000, 3}, false, 1, PatternSource(), 4096, 4096);
}

TEST(FileNames, UncreatableFileStopsBeforeCaptureAndLeavesNothing) {
    struct Case {
        std::vector<std::string> args;
        std::string bad;
    };
    const Case cases[] = {
        {{"1644", "1", "nalvo_pattern", "1", "nodir/a.wav"}, "nodir/a.wav"},
        {{"1644", "1", "nalvo_pattern", "2", "a.wav", "nodir/b.wav"}, "nodir/b.wav"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const RunResult r = RunNalvo({.args = c.args, .cwd = dir.path()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Can't open " + c.bad + " for recording\n");
        EXPECT_TRUE(dir.Files().empty());
    }
}

}  // namespace
