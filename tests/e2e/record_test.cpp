// Recordings through the real binary from the fake capture device: device setup, the
// files (header and every sample), and the whole console stream.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"
#include "model.h"

namespace {

const Format& k2496 = FormatOf("2496");

TEST(Recording, HoldsTheDeviceSignalExactlyAndPrintsTheWholeConsoleStream) {
    // Every width and rate from every layout: interleaved reads are preferred, a device that
    // offers one layout only is read in it. Eight seconds span three hold windows: the
    // pattern's period peaks rise and fall within a window, so a window that restarts at the
    // wrong period shows, and the sines give the report real levels. A period the device grants
    // sets the length (4800 frames round up to five periods of 1024) and every read. A console
    // redirected to a file keeps the whole stream, and d stands for the default device.
    const Source sines{{nalvo_fake::Sine(16384, 1000), nalvo_fake::Sine(8192, 440)}, {}};
    struct Case {
        const char* device;
        const char* code;
        const char* seconds;
        Source src;
        int period;
        int32_t total;
        bool toFile = false;
    };
    std::vector<Case> cases = {
        {"nalvo_sine", "1648", "8", sines, 4096, 385024},
        {"nalvo_pattern", "1648", "8", PatternSource(), 4096, 385024},
        {"nalvo_p1024", "1648", "0.1", PatternSource(), 1024, 5120},
        {"nalvo_pattern", "1648", "0.5", PatternSource(), 4096, 6 * 4096, true},
        {"d", "1644", "0.1", PatternSource(), 4096, 8192},
    };
    for (const char* code : {"1648", "2496", "2444", "1688", "1696", "2488"}) {
        for (const char* device : {"nalvo_pattern", "nalvo_inter", "nalvo_noninter"}) {
            const auto periods = static_cast<int32_t>(std::ceil(FormatOf(code).rate * 0.5 / 4096));
            cases.push_back({device, code, "0.5", PatternSource(), 4096, periods * 4096});
        }
    }
    const ScratchDir consoles;
    for (const Case& c : cases) {
        for (const Mode& mode : kModes) {
            SCOPED_TRACE(std::string(c.device) + " " + c.code + " " + c.seconds + " s mode " +
                         mode.arg + (c.toFile ? " into a file" : ""));
            ScratchDir dir;
            const Format& fmt = FormatOf(c.code);
            const RunResult r = Record(dir, fmt, c.seconds, mode, c.device, "",
                                       {.outFile = c.toFile ? consoles / "console.txt" : ""});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out, ExpectedStream(mode, fmt, c.src, c.period, c.total));
            EXPECT_EQ(dir.Files(), OutputFiles(mode));
            ExpectRecordings(dir, fmt, mode, c.src, c.total, c.period);
        }
    }
}

TEST(LongRecording, GoesOnInTheNextFileFrameForFrame) {
    // Just past what one 24-bit stereo file holds at 96 kHz: about 4 GiB, then a little more.
    if (RunsUnderEmulator()) {
        GTEST_SKIP() << "4 GiB through an emulator takes minutes; the native run covers it";
    }
    ScratchDir dir;
    struct statvfs fs;
    if (statvfs(dir.path().c_str(), &fs) != 0 ||
        static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) < 5e9) {
        GTEST_SKIP() << "needs 5 GB free in " << dir.path();
    }
    const RunResult r = RunNalvo({.args = {"2496", "7457", "nalvo_pattern", "s", "big.wav"},
                                  .cwd = dir.path(),
                                  .timeoutSeconds = 600});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Count(r.out, "\nContinuing in big-2.wav\n"), 1u);
    const int64_t total = 174774 * 4096;                   // 7457 s in whole periods
    const int64_t first = (int64_t{UINT32_MAX} - 44) / 6;  // what the first file holds
    const struct {
        const char* name;
        int64_t from, frames;
    } files[] = {{"big.wav", 0, first}, {"big-2.wav", first, total - first}};
    const Source src = PatternSource();
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        struct stat st;
        ASSERT_EQ(stat((dir / f.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 44 + f.frames * 6);
        EXPECT_LE(st.st_size, int64_t{UINT32_MAX});
        EXPECT_EQ(ReadLe(dir / f.name, 40, 4), static_cast<uint32_t>(f.frames * 6));
        // The frames on either side of the join: the device's, nothing lost or repeated.
        const int64_t at = f.from == 0 ? f.frames - 4096 : 0;
        const std::vector<uint8_t> frames = ReadFile(dir / f.name, 44 + at * 6, 4096 * 6);
        ASSERT_EQ(frames.size(), 4096u * 6);
        for (size_t i = 0; i < 4096; ++i) {
            for (size_t ch = 0; ch < 2; ++ch) {
                ASSERT_EQ(LeSample(&frames[i * 6 + ch * 3], 3),
                          src.Sample(f.from + at + static_cast<int64_t>(i), static_cast<int>(ch),
                                     k2496.rate, k2496.bits))
                    << at + static_cast<int64_t>(i);
            }
        }
    }
}

TEST(FileNames, GeneratedNamesNeverReplaceAnEarlierRecording) {
    ScratchDir dir;
    // Take the names of the next few seconds, as a run started just before would have.
    const long now = static_cast<long>(time(nullptr)) - NamingEpoch();
    const auto name = [](long t) { return "rec_chan_1_" + std::to_string(t) + ".wav"; };
    for (long t = now; t < now + 4; ++t) {
        WriteFile(dir / name(t), "keep");
    }
    const RunResult r =
        RunNalvo({.args = {"1644", "0.01", "nalvo_pattern", "s"}, .cwd = dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (long t = now; t < now + 4; ++t) {
        EXPECT_EQ(ReadFile(dir / name(t)).size(), 4u) << name(t);
    }
    // The new one, named after the ones taken, sorts last.
    const std::vector<std::string> files = dir.Files();
    ASSERT_EQ(files.size(), 5u);
    long number = 0;
    ASSERT_EQ(sscanf(files.back().c_str(), "rec_chan_1_%ld.wav", &number), 1) << files.back();
    EXPECT_GE(number, now + 4);
    EXPECT_EQ(ReadWav(dir / files.back()).channels, 2);
}

TEST(FileNames, TwoInputsGetOneGeneratedFileEach) {
    ScratchDir dir;
    const long before = static_cast<long>(time(nullptr)) - NamingEpoch();
    const RunResult r =
        RunNalvo({.args = {"2448", "0.01", "nalvo_pattern", "2"}, .cwd = dir.path()});
    const long after = static_cast<long>(time(nullptr)) - NamingEpoch();
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
    ExpectRecording(dir / files[1], FormatOf("2448"), false, 1, PatternSource(), 4096, 4096);
}

TEST(FileNames, TimeNamedFilesOfASetLengthAreOneCapture) {
    // 3.5 s in files of 1 s, or of 2 s that end on even seconds of UTC (the first one
    // shorter, or longer rather than a sliver). The fast device's frames are dated by their
    // count from the start.
    struct Case {
        std::vector<std::string> options;
        int64_t length;
        bool aligned;
    };
    const Case cases[] = {{{"--file-seconds=1", "--time-names"}, 48000, false},
                          {{"--file-seconds=2", "--align", "--time-names"}, 96000, true}};
    const Format fmt = FormatOf("1648");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[0]);
        ScratchDir dir;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"1648", "3.5", "nalvo_pattern", "2"});
        const time_t before = time(nullptr);
        const RunResult r = RunNalvo({.args = args, .cwd = dir.path()});
        const time_t after = time(nullptr);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> files = dir.Files();
        ASSERT_GE(files.size(), 4u);
        int64_t at = 0;
        time_t first = 0;
        for (size_t k = 0; k < files.size(); k += 2) {
            struct tm utc = {};
            char input = 0;
            ASSERT_EQ(
                sscanf(files[k].c_str(), "%4d%2d%2dT%2d%2d%2dZ_%c.wav", &utc.tm_year, &utc.tm_mon,
                       &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &input),
                7)
                << files[k];
            utc.tm_year -= 1900;
            utc.tm_mon -= 1;
            const time_t t = timegm(&utc);
            first = k == 0 ? t : first;
            EXPECT_EQ(input, '1');
            EXPECT_EQ(files[k + 1], files[k].substr(0, 17) + "2.wav");
            if (k == 0) {
                EXPECT_GE(t, before);
                EXPECT_LE(t, after);
            } else {
                EXPECT_EQ(t, c.aligned ? t / 2 * 2 : first + static_cast<time_t>(k / 2));
            }
            const auto frames = static_cast<int64_t>(ReadWav(dir / files[k]).Frames());
            const bool last = k + 2 == files.size();
            if (!last && (k > 0 || !c.aligned)) {
                EXPECT_EQ(frames, c.length) << files[k];
            }
            for (int i = 0; i < 2; ++i) {
                ExpectRecording(dir / files[k + i], fmt, false, i, PatternSource(), frames, 4096, 0,
                                -at);
                EXPECT_NE(r.out.find("\nFinished " + files[k + i] + "\n"), std::string::npos);
            }
            at += frames;
        }
        EXPECT_EQ(at, 42 * 4096);  // 3.5 s in whole periods
    }
}

}  // namespace
